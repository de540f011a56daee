"""QMP jobs: JobInfo conversion, query_jobs, the job wait and dismissal, against a scripted peer."""

import json
import math
import time

import pytest

from corvane_core._ffi import _QmpClient
from qmp_peer import EMPTY_RETURN, QmpPeer, error_reply, reply

QUERY = b'{"execute":"query-jobs"}\n'


def dismiss(job_id):
    return b'{"arguments":{"id":"' + job_id.encode() + b'"},"execute":"job-dismiss"}\n'


def qmp_error(excinfo):
    assert type(excinfo.value) is RuntimeError
    return json.loads(excinfo.value.args[0])


class JobsScript:
    """Answers query-jobs with successive job lists (the last one repeats)."""

    def __init__(self, *listings, dismiss_reply=EMPTY_RETURN):
        self.listings = list(listings)
        self.queries = 0
        self.dismiss_reply = dismiss_reply

    def __call__(self, command, raw):
        name = command.get("execute") if isinstance(command, dict) else None
        if name == "query-jobs":
            listing = self.listings[min(self.queries, len(self.listings) - 1)]
            self.queries += 1
            if isinstance(listing, bytes):
                return [listing]
            return [reply(listing)]
        if name == "job-dismiss":
            return [self.dismiss_reply]
        return [EMPTY_RETURN]


def job(job_id="j1", status="concluded", **extra):
    record = {"id": job_id, "type": "snapshot-save", "status": status, "current-progress": 1, "total-progress": 1}
    record.update(extra)
    return record


# -- JobInfo conversion -------------------------------------------------------------

MISSING = object()
DEFAULT = {"job_id": "j", "job_type": "t", "status": "s", "current_progress": 0, "total_progress": 0, "error": None}

CONVERSIONS = [
    ("all members", {"id": "j", "type": "t", "status": "s", "current-progress": 3, "total-progress": 9},
     {"current_progress": 3, "total_progress": 9}),
    ("missing texts", {"id": MISSING, "type": MISSING, "status": MISSING},
     {"job_id": "null", "job_type": "null", "status": "null"}),
    ("null texts", {"id": None, "type": None, "status": None}, {"job_id": "null", "job_type": "null", "status": "null"}),
    ("other texts as JSON", {"id": 7, "type": True, "status": {"b": 1, "a": [1.5]}},
     {"job_id": "7", "job_type": "true", "status": '{"a":[1.5],"b":1}'}),
    ("string with quotes", {"id": 'a"b'}, {"job_id": 'a"b'}),
    ("progress from a decimal string", {"current-progress": "42", "total-progress": "-7"},
     {"current_progress": 42, "total_progress": -7}),
    ("progress with a plus sign", {"current-progress": "+5"}, {"current_progress": 5}),
    ("progress fraction", {"current-progress": 1.5, "total-progress": 2.0}, {}),
    ("progress exponent", {"current-progress": 1e3}, {}),
    ("progress largest", {"current-progress": 9223372036854775807, "total-progress": -9223372036854775808},
     {"current_progress": 9223372036854775807, "total_progress": -9223372036854775808}),
    ("progress above the range", {"current-progress": 9223372036854775808, "total-progress": 18446744073709551615}, {}),
    ("progress strings at the limits", {"current-progress": "9223372036854775807", "total-progress": "-9223372036854775808"},
     {"current_progress": 9223372036854775807, "total_progress": -9223372036854775808}),
    ("progress strings beyond", {"current-progress": "9223372036854775808", "total-progress": "-9223372036854775809"}, {}),
    ("malformed strings", {"current-progress": " 1", "total-progress": "1e3"}, {}),
    ("sign only and empty", {"current-progress": "-", "total-progress": ""}, {}),
    ("double sign", {"current-progress": "+-1", "total-progress": "0x10"}, {}),
    ("other progress types", {"current-progress": True, "total-progress": [1]}, {}),
    ("error text", {"error": "disk full"}, {"error": "disk full"}),
    ("error null is the text null", {"error": None}, {"error": "null"}),
    ("error object", {"error": {"z": 1, "a": 2}}, {"error": '{"a":2,"z":1}'}),
]


@pytest.mark.parametrize("members, expected", [c[1:] for c in CONVERSIONS], ids=[c[0] for c in CONVERSIONS])
def test_job_info_conversion(members, expected):
    record = {"id": "j", "type": "t", "status": "s"}
    record.update(members)
    record = {k: v for k, v in record.items() if v is not MISSING}
    with QmpPeer(JobsScript([record])) as peer:
        text = _QmpClient(peer.path).query_jobs()
    want = dict(DEFAULT)
    want.update(expected)
    assert json.loads(text) == [want]
    # Members in their declared order, not sorted.
    assert list(json.loads(text)[0]) == list(DEFAULT)


def test_job_text_is_exact():
    with QmpPeer(JobsScript([job("snap0")])) as peer:
        assert _QmpClient(peer.path).query_jobs() == (
            '[{"job_id":"snap0","job_type":"snapshot-save","status":"concluded",'
            '"current_progress":1,"total_progress":1,"error":null}]'
        )


def test_query_jobs_lists():
    with QmpPeer(JobsScript([], [job("a"), job("b", "running", error="x")])) as peer:
        client = _QmpClient(peer.path)
        assert client.query_jobs() == "[]"
        jobs = json.loads(client.query_jobs())
        assert [(j["job_id"], j["status"], j["error"]) for j in jobs] == [("a", "concluded", None), ("b", "running", "x")]


@pytest.mark.parametrize(
    "listing, result",
    [
        (b'{"return":{}}\n', {}),
        (b'{"return":[1]}\n', [1]),
        (b'{"return":null}\n', None),
        (b'{"return":"jobs"}\n', "jobs"),
        (b'{"return":[{"id":"a"},2]}\n', [{"id": "a"}, 2]),
        (b'{"return":[[]]}\n', [[]]),
    ],
    ids=["object", "array of a number", "null", "string", "object then number", "nested array"],
)
def test_unexpected_jobs_response(listing, result):
    with QmpPeer(JobsScript(listing)) as peer:
        with pytest.raises(RuntimeError) as excinfo:
            _QmpClient(peer.path).query_jobs()
    assert qmp_error(excinfo) == {"context": {"result": result}, "message": "Unexpected QMP query-jobs response"}
    assert str(excinfo.value).startswith('{"context":{"result":')


# -- the job wait ---------------------------------------------------------------------

@pytest.mark.parametrize("timeout", [0.0, -1.0, math.nan, -math.inf], ids=["zero", "negative", "nan", "-inf"])
def test_wait_with_zero_timeout_fails_at_once(timeout):
    with QmpPeer(JobsScript([job()])) as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(RuntimeError) as excinfo:
            client.wait_for_job("j1", timeout, 0.01)
        assert str(excinfo.value) == (
            '{"context":{"job_id":"j1","last_status":null,"socket_path":"' + peer.path
            + '"},"message":"Timed out waiting for QMP job"}'
        )
        assert peer.connections == 0 and peer.lines == []


def test_wait_returns_the_concluded_job_and_dismisses_it():
    script = JobsScript([job("j1", "running")], [job("other"), job("j1", "concluded")])
    with QmpPeer(script) as peer:
        client = _QmpClient(peer.path)
        text = client.wait_for_job("j1", 5.0, 0.01)
        assert text == (
            '{"job_id":"j1","job_type":"snapshot-save","status":"concluded",'
            '"current_progress":1,"total_progress":1,"error":null}'
        )
        assert peer.commands() == [QUERY, QUERY, dismiss("j1")]


def test_wait_reports_a_failed_job_without_dismissing_it():
    with QmpPeer(JobsScript([job("j1", "concluded", error="Device 'x' not found")])) as peer:
        client = _QmpClient(peer.path)
        with pytest.raises(RuntimeError) as excinfo:
            client.wait_for_job("j1", 5.0, 0.01)
        assert qmp_error(excinfo) == {
            "context": {"error": "Device 'x' not found", "job_id": "j1", "job_type": "snapshot-save",
                        "socket_path": peer.path, "status": "concluded"},
            "message": "QMP job failed",
        }
        assert peer.commands() == [QUERY]


@pytest.mark.parametrize(
    "listing, last_status",
    [
        ([job("j1", "running")], "running"),
        ([job("j1", "aborted")], "aborted"),
        ([job("j1", "null")], "null"),
        ([{"id": "j1"}], "null"),
        ([job("J1"), job("j1 ")], None),
        ([], None),
    ],
    ids=["running", "aborted", "status null", "status missing", "not listed (similar ids)", "no jobs"],
)
def test_wait_runs_until_the_deadline(listing, last_status):
    with QmpPeer(JobsScript(listing)) as peer:
        client = _QmpClient(peer.path)
        started = time.monotonic()
        with pytest.raises(RuntimeError) as excinfo:
            client.wait_for_job("j1", 0.3, 0.02)
        assert 0.25 < time.monotonic() - started < 3.0
        assert qmp_error(excinfo) == {
            "context": {"job_id": "j1", "last_status": last_status, "socket_path": peer.path},
            "message": "Timed out waiting for QMP job",
        }
        assert dismiss("j1") not in peer.commands()
        assert len(peer.commands()) >= 2


def test_wait_keeps_the_last_status_when_the_job_disappears():
    with QmpPeer(JobsScript([job("j1", "running")], [])) as peer:
        with pytest.raises(RuntimeError) as excinfo:
            _QmpClient(peer.path).wait_for_job("j1", 0.2, 0.01)
        assert qmp_error(excinfo)["context"]["last_status"] == "running"


def test_wait_without_poll_interval_does_not_sleep():
    script = JobsScript(*([[job("j1", "running")]] * 5 + [[job("j1")]]))
    with QmpPeer(script) as peer:
        client = _QmpClient(peer.path)
        client.wait_for_job("j1", 10.0, 0.0)
        assert peer.commands() == [QUERY] * 6 + [dismiss("j1")]


def test_wait_uses_the_first_job_with_the_id():
    with QmpPeer(JobsScript([job("j1", "concluded", error="first"), job("j1", "concluded")])) as peer:
        with pytest.raises(RuntimeError) as excinfo:
            _QmpClient(peer.path).wait_for_job("j1", 2.0, 0.0)
        assert qmp_error(excinfo)["context"]["error"] == "first"


def test_failed_dismissal_is_ignored():
    script = JobsScript([job("j1")], dismiss_reply=error_reply("GenericError", "Job 'j1' not found"))
    with QmpPeer(script) as peer:
        client = _QmpClient(peer.path)
        assert json.loads(client.wait_for_job("j1", 2.0, 0.0))["status"] == "concluded"
        assert peer.commands() == [QUERY, dismiss("j1")]
        # The dismissal's error reply was read, so the stream is in step.
        assert client.query_jobs().startswith('[{"job_id":"j1"')


def test_wait_passes_query_errors_on():
    with QmpPeer(JobsScript(error_reply("GenericError", "busy"))) as peer:
        with pytest.raises(RuntimeError) as excinfo:
            _QmpClient(peer.path).wait_for_job("j1", 2.0, 0.0)
        assert qmp_error(excinfo)["context"]["command"] == "query-jobs"


def test_dismiss_job_error_is_command_failed():
    with QmpPeer(JobsScript([], dismiss_reply=error_reply("GenericError", "No such job"))) as peer:
        with pytest.raises(RuntimeError) as excinfo:
            _QmpClient(peer.path).dismiss_job("nope")
        assert qmp_error(excinfo) == {
            "context": {"class": "GenericError", "command": "job-dismiss", "desc": "No such job", "socket_path": peer.path},
            "message": "QMP command 'job-dismiss' failed",
        }
