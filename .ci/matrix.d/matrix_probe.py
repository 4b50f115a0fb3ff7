"""pytest plugin used by .ci/matrix, so that a test which kills the
interpreter (a segfault or abort in native code) costs only itself.

- TAVREL_MATRIX_CURRENT: file holding the node id of the test being run,
  empty between tests; after a crash it names the culprit.
- TAVREL_MATRIX_RESULTS: file to which each finished test appends one JSON
  line {"id": ..., "outcome": "passed" | "failed" | "skipped", "why": ...}
  (why: the first line of a failure, or the reason for a skip); collection errors are appended as
  outcome "error".  Written as the run goes, so the
  results before a crash survive it.
- TAVREL_MATRIX_DONE: node ids (one a line) that earlier attempts already
  ran or crashed in; they are deselected, so a rerun resumes after the crash.
"""
import json
import os

_CURRENT = os.environ.get("TAVREL_MATRIX_CURRENT")
_RESULTS = os.environ.get("TAVREL_MATRIX_RESULTS")
_DONE = os.environ.get("TAVREL_MATRIX_DONE")
_phases = {}
_why = {}


def _message(report):
    crash = getattr(report.longrepr, "reprcrash", None)
    text = getattr(crash, "message", None) or str(report.longrepr or "")
    return text.strip().splitlines()[0][:300] if text.strip() else ""


def _write(path, text, mode="w"):
    if path:
        with open(path, mode) as f:
            f.write(text)


def pytest_collection_modifyitems(session, config, items):
    if not _DONE or not os.path.exists(_DONE):
        return
    with open(_DONE) as f:
        done = set(line.rstrip("\n") for line in f if line.strip())
    drop = [item for item in items if item.nodeid in done]
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = [item for item in items if item.nodeid not in done]


def pytest_collectreport(report):
    if report.failed:
        _write(_RESULTS, json.dumps({"id": report.nodeid or "<collection>", "outcome": "error",
                                     "why": _message(report)}) + "\n", "a")


def pytest_runtest_logstart(nodeid, location):
    _write(_CURRENT, nodeid)


def pytest_runtest_logreport(report):
    phases = _phases.setdefault(report.nodeid, set())
    if report.failed:
        phases.add("failed")
        _why.setdefault(report.nodeid, ("%s: " % report.when if report.when != "call" else "") + _message(report))
    elif report.skipped:
        phases.add("skipped")  # skips and xfails alike
        if isinstance(report.longrepr, tuple):  # (file, line, "Skipped: reason")
            _why.setdefault(report.nodeid, str(report.longrepr[2])[:300])
    elif report.when == "call":
        phases.add("passed")


def pytest_runtest_logfinish(nodeid, location):
    phases = _phases.pop(nodeid, set())
    for outcome in ("failed", "skipped", "passed"):
        if outcome in phases:
            break
    else:
        outcome = "failed"
    _write(_RESULTS, json.dumps({"id": nodeid, "outcome": outcome, "why": _why.pop(nodeid, "")}) + "\n", "a")
    _write(_CURRENT, "")
