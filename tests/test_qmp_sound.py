"""QMP failures that leave the stream out of step close the connection; connect is bounded by its timeout."""

import os
import socket
import threading
import time

import pytest

from corvane_core._ffi import _QmpClient
from hostile_peers import os_text, qmp_error
from qmp_peer import GREETING, Delay, QmpPeer, error_reply, reply

EVENT_FF = b'{"event":"X","data":"\xff"}\n'


@pytest.mark.parametrize("actions, connections", [
    ([EVENT_FF, reply("stop")], 2),  # undecodable event: the reply is still on its way
    ([b'{"event":\n', reply("stop")], 2),  # unparsable event
    ([error_reply("GenericError", "no")], 1),  # an error reply leaves the stream in step
], ids=["undecodable event", "unparsable event", "error reply"])
def test_out_of_step_failure_closes_so_no_reply_shifts(actions, connections):
    handler = lambda command, raw: actions if command["execute"] == "stop" else [reply(command["execute"])]
    with QmpPeer(handler) as peer:
        client = _QmpClient(peer.path)
        client.connect(5.0, 5.0)
        with pytest.raises(RuntimeError):
            client.execute("stop", None)
        assert client.execute("query-block", None) == '"query-block"'
        assert peer.connections == connections


def test_connect_to_a_full_backlog_ends_at_its_timeout_and_close_waits_no_longer(tmp_dir):
    path = os.path.join(tmp_dir, "full.sock")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(0)
    fillers = []
    while len(fillers) < 64:
        fillers.append(socket.socket(socket.AF_UNIX))
        fillers[-1].setblocking(False)
        try:
            fillers[-1].connect(path)
        except (BlockingIOError, ConnectionRefusedError):
            break
    client, errors = _QmpClient(path), []
    connecting = threading.Thread(target=lambda: errors.append(pytest.raises(RuntimeError, client.connect, 1.0, 1.0)))
    started = time.monotonic()
    connecting.start()
    time.sleep(0.2)
    client.close()  # waits for the connect, which gives up at its deadline
    connecting.join(10)
    assert time.monotonic() - started < 5
    assert qmp_error(errors[0])["message"] == "Timed out waiting for QMP socket"


@pytest.mark.parametrize("on_accept, negotiate, handler", [
    ([Delay(1.5), GREETING], True, None),  # the greeting comes late
    (None, False, lambda command, raw: [Delay(1.5), reply({})]),  # so does the capabilities reply
])
def test_negotiation_waits_until_the_connect_deadline(on_accept, negotiate, handler):
    with QmpPeer(handler or (lambda c, r: [reply({})]), on_accept=on_accept, negotiate=negotiate) as peer:
        _QmpClient(peer.path).connect(10.0, 0.2)  # each negotiation read used to be bounded by 1 s
        with pytest.raises(RuntimeError) as excinfo:
            _QmpClient(peer.path).connect(0.5, 5.0)
        assert qmp_error(excinfo)["message"] == os_text(11)
