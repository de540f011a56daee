"""QMP: a failure that leaves the stream out of step closes the connection; connect is bounded by its timeout."""
import os, socket, threading, time  # noqa: E401
import pytest
from corvane_core._ffi import _QmpClient
from hostile_peers import os_text, qmp_error
from qmp_peer import GREETING, Delay, QmpPeer, error_reply, reply


@pytest.mark.parametrize("actions, connections", [([b'{"event":"X","data":"\xff"}\n', reply(1)], 2),
    ([b'{"event":\n', reply(1)], 2), ([error_reply("GenericError", "no")], 1)])  # the last leaves it in step
def test_out_of_step_failure_closes_so_no_reply_shifts(actions, connections):
    with QmpPeer(lambda c, raw: actions if c["execute"] == "stop" else [reply(c["execute"])]) as peer:
        client = _QmpClient(peer.path)
        pytest.raises(RuntimeError, client.execute, "stop", None)
        assert (client.execute("query-block", None), peer.connections) == ('"query-block"', connections)


def test_connect_to_a_full_backlog_ends_at_its_timeout_and_close_waits_no_longer(tmp_dir):
    (listener := socket.socket(socket.AF_UNIX)).bind(os.path.join(tmp_dir, "s"))
    listener.listen(0)
    fillers = [socket.socket(socket.AF_UNIX) for _ in range(64)]
    next(f for f in fillers if f.setblocking(False) or f.connect_ex(listener.getsockname()) != 0)  # backlog full
    client, errors, started = _QmpClient(listener.getsockname()), [], time.monotonic()
    (thread := threading.Thread(target=lambda: errors.append(pytest.raises(RuntimeError, client.connect, 1, 1)))).start()
    time.sleep(0.2)
    client.close()  # waits for the connect, which gives up at its deadline
    assert time.monotonic() - started < 5 and (thread.join(5) or True)
    assert qmp_error(errors[0])["message"] == "Timed out waiting for QMP socket"


@pytest.mark.parametrize("on_accept, handler", [([Delay(1.5), GREETING], None),  # late greeting, late reply:
    (None, lambda c, raw: [Delay(1.5), reply({})])])  # each negotiation read used to be bounded by 1 s
def test_negotiation_waits_until_the_connect_deadline(on_accept, handler):
    with QmpPeer(handler or (lambda c, r: [reply({})]), on_accept=on_accept, negotiate=handler is None) as peer:
        _QmpClient(peer.path).connect(10.0, 0.2)
        excinfo = pytest.raises(RuntimeError, _QmpClient(peer.path).connect, 0.5, 5.0)
        assert qmp_error(excinfo)["message"] == os_text(11)
