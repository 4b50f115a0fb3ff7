"""pytest plugin for the suite's runs in .ci/run (-p ci_tools): a test that
skips because a tool is missing fails the run under CI=true, since .ci/setup
installs every tool the suite uses.  Other skips (another platform or
interpreter, an opt-in, numpy in the run without it) stay skips."""
import os
import re

# The reasons the suite gives when a compiler, binutils, pkg-config or mypy
# is missing.
MISSING_TOOL = re.compile(r"^(no |needs? ).*\b(compiler|toolchain|gcc|g\+\+|clang\+\+|c\+\+|cc|cmake)\b"
                          r"|^(nm|readelf|pkg-config) not available"
                          r"|^could not import 'mypy")

_missing = []


def pytest_runtest_logreport(report):
    if report.skipped and isinstance(report.longrepr, tuple):
        reason = re.sub(r"^Skipped: ", "", str(report.longrepr[2]))
        if MISSING_TOOL.search(reason):
            _missing.append("%s: %s" % (report.nodeid, reason))


def pytest_terminal_summary(terminalreporter):
    if _missing and os.environ.get("CI", "").lower() in ("true", "1", "yes"):
        terminalreporter.section("CI: skipped for a missing tool, which fails the run")
        for line in _missing:
            terminalreporter.line(line)


def pytest_sessionfinish(session):
    if _missing and os.environ.get("CI", "").lower() in ("true", "1", "yes") and session.exitstatus == 0:
        session.exitstatus = 1
