"""One _QmpClient shared by several threads; the interpreter lock during blocking calls."""

import json
import threading
import time

import pytest

from corvane_core._ffi import _QmpClient
from qmp_peer import EMPTY_RETURN, Delay, QmpPeer, raw_arguments, reply
from other_thread import other_thread_ticking


def slow_echo(command, raw):
    """Echoes the arguments, in two pieces with a pause between them."""
    body = b'{"return":' + raw_arguments(raw) + b"}\n"
    half = len(body) // 2
    return [body[:half], Delay(0.001), body[half:]]


def test_shared_client_never_interleaves_commands():
    threads, rounds = 4, 40
    results = {}
    errors = []
    with QmpPeer(slow_echo) as peer:
        client = _QmpClient(peer.path)
        start = threading.Barrier(threads)

        def worker(index):
            try:
                start.wait()
                for n in range(rounds):
                    arguments = json.dumps({"thread": index, "n": n, "pad": "x" * (index * 300)}, sort_keys=True,
                                           separators=(",", ":"))
                    results[(index, n)] = (arguments, client.execute(f"cmd-{index}", arguments))
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)

        workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(60)
        assert not errors
        assert len(results) == threads * rounds
        for sent, received in results.values():
            assert received == sent  # each caller got the reply to its own command
        lines = peer.commands()
        assert len(lines) == threads * rounds
        for line in lines:
            command = json.loads(line)
            assert command["execute"] == f"cmd-{command['arguments']['thread']}"


@pytest.mark.parametrize(
    "blocking_call",
    [
        lambda c: c.execute("slow", None),
        lambda c: c.wait_for_job("never", 0.5, 0.05),
    ],
    ids=["slow reply", "job wait"],
)
def test_other_threads_run_while_a_call_blocks(blocking_call):
    def handler(command, raw):
        if command["execute"] == "slow":
            return [Delay(0.5), EMPTY_RETURN]
        return [reply([])]

    with QmpPeer(handler) as peer:
        client = _QmpClient(peer.path)
        client.connect(2.0, 5.0)
        with other_thread_ticking() as ticks:
            try:
                blocking_call(client)
            except RuntimeError:
                pass  # the job wait times out; what matters is the other thread
        assert ticks.count > 20


def test_connect_retry_loop_releases_the_lock(tmp_path):
    client = _QmpClient(str(tmp_path / "absent.sock"))
    with other_thread_ticking() as ticks:
        with pytest.raises(RuntimeError):
            client.connect(0.4, 1.0)
    assert ticks.count > 20


def test_second_call_waits_for_the_whole_job_wait():
    concluded_at = time.monotonic() + 0.4
    dismissed = threading.Event()

    def handler(command, raw):
        name = command["execute"]
        if name == "job-dismiss":
            dismissed.set()
            return [EMPTY_RETURN]
        if name == "query-jobs":
            if dismissed.is_set():
                return [reply([])]
            status = "concluded" if time.monotonic() >= concluded_at else "running"
            return [reply([{"id": "j1", "type": "snapshot-save", "status": status}])]
        return [EMPTY_RETURN]

    with QmpPeer(handler) as peer:
        client = _QmpClient(peer.path)
        client.connect(2.0, 5.0)
        outcome = {}
        waiter = threading.Thread(target=lambda: outcome.setdefault("wait", client.wait_for_job("j1", 5.0, 0.02)))
        waiter.start()
        assert peer.wait_for_lines(3)  # the wait is polling
        assert client.query_jobs() == "[]"  # ran only after the dismissal
        waiter.join(10)
        assert json.loads(outcome["wait"])["status"] == "concluded"
        lines = peer.commands()
        assert lines[-2:] == [b'{"arguments":{"id":"j1"},"execute":"job-dismiss"}\n', b'{"execute":"query-jobs"}\n']
        assert set(lines[:-2]) == {b'{"execute":"query-jobs"}\n'}


def test_close_waits_for_a_running_command():
    with QmpPeer(lambda command, raw: [Delay(0.4), reply("done")]) as peer:
        client = _QmpClient(peer.path)
        client.connect(2.0, 5.0)
        outcome = {}
        worker = threading.Thread(target=lambda: outcome.setdefault("r", client.execute("slow", None)))
        worker.start()
        assert peer.wait_for_lines(2)
        assert client.close() is None
        worker.join(10)
        assert outcome["r"] == '"done"'
        assert client.execute("again", None) == '"done"'
        assert peer.connections == 2


def test_parse_failure_while_a_command_runs_does_not_stall_other_threads():
    with QmpPeer(lambda command, raw: [Delay(0.4), reply("done")]) as peer:
        client = _QmpClient(peer.path)
        client.connect(2.0, 5.0)
        outcome = {}
        worker = threading.Thread(target=lambda: outcome.setdefault("r", client.execute("slow", None)))
        worker.start()
        assert peer.wait_for_lines(2)
        with pytest.raises(RuntimeError) as excinfo:
            client.execute("x", "[1")
        assert json.loads(str(excinfo.value)) == {
            "context": {"socket_path": peer.path},
            "message": "EOF while parsing a list at line 1 column 2",
        }
        worker.join(10)
        assert outcome["r"] == '"done"'
        assert len(peer.lines) == 2
