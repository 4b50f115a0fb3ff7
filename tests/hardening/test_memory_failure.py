"""dumps when memory runs out: a child interpreter runs with the allocation
shim of fuzz/failalloc.c preloaded and fails, one at a time (and from some
point on), the allocations of at least a threshold size made during a
dumps call, which only the encoder's output makes.  Every such call must
raise MemoryError (or, when only the final bytes object could not be made,
RuntimeError "Could not allocate bytes object!") and return nothing; a call
with no failure returns the complete encoding; the interpreter lives on and
encodes correctly afterwards."""
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from support.paths import FUZZ_DIR
from support.texts import BYTES_ALLOCATION_ERROR

SHIM_SOURCE = os.path.join(FUZZ_DIR, "failalloc.c")
CC = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc") or shutil.which("clang")

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the shim interposes glibc's allocator"),
    pytest.mark.skipif("cpython" not in (sysconfig.get_config_var("SOABI") or ""), reason="CPython only"),
    pytest.mark.skipif(CC is None, reason="needs a C compiler to build the shim"),
    pytest.mark.skipif(not os.path.exists(SHIM_SOURCE), reason="fuzz/failalloc.c not in this tree"),
    # Under the sanitizers the allocator belongs to ASan; the C driver
    # fuzz/alloc_fail.cpp covers these paths there.
    pytest.mark.skipif(os.environ.get("TAVREL_SANITIZED") == "1" or "asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="allocator replaced by a sanitizer"),
]

CHILD = textwrap.dedent(r"""
    import ctypes, json, sys
    import tavrel_cbor

    shim = ctypes.CDLL(sys.argv[1])
    shim.failalloc_arm.argtypes = [ctypes.c_long, ctypes.c_size_t, ctypes.c_int]
    shim.failalloc_arm.restype = None
    for name in ("failalloc_disarm", "failalloc_failed", "failalloc_seen"):
        getattr(shim, name).restype = ctypes.c_long
    threshold = int(sys.argv[2])

    # Built before arming, so the only large allocations while armed are
    # the ones the encoding makes.
    values = {
        "big payload": [b"\x01" * 3_000_000, "tail"],
        "big text": {"t": "\u00e9" * 700_000},
        "many items": list(range(200_000)),
        "nested": [[i, float(i) + 0.5, str(i)] for i in range(30_000)],
    }
    report = {}
    for name, value in values.items():
        for indefinite in (True, False):
            expected = tavrel_cbor.dumps(value, indefinite)
            shim.failalloc_arm(0, threshold, 0)
            tavrel_cbor.dumps(value, indefinite)
            large = shim.failalloc_disarm()
            rows = []
            for k in range(1, large + 2):
                for sticky in (0, 1):
                    shim.failalloc_arm(k, threshold, sticky)
                    try:
                        out = tavrel_cbor.dumps(value, indefinite)
                    except MemoryError:
                        outcome = "MemoryError"
                    except RuntimeError as e:
                        outcome = "RuntimeError: " + str(e)
                    else:
                        outcome = "complete" if out == expected else "WRONG %d bytes" % len(out)
                    failed = shim.failalloc_failed()
                    shim.failalloc_disarm()
                    out = None
                    rows.append([k, sticky, failed, outcome])
            after = tavrel_cbor.dumps(value, indefinite) == expected
            report["%s/%s" % (name, indefinite)] = {"large": large, "rows": rows, "after": after}
    print(json.dumps(report))
""")


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    out = tmp_path_factory.mktemp("shim") / "libfailalloc.so"
    subprocess.run([CC, "-O2", "-shared", "-fPIC", "-o", str(out), SHIM_SOURCE], check=True,
                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return str(out)


def run_child(shim, threshold):
    env = dict(os.environ)
    env.pop("PYTHONMALLOC", None)
    env["LD_PRELOAD"] = shim
    result = subprocess.run([sys.executable, "-c", CHILD, shim, str(threshold)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
    assert result.returncode == 0, "child died (%d): %s" % (result.returncode, result.stderr[-2000:])
    return json.loads(result.stdout)


@pytest.mark.parametrize("threshold", [1 << 20, 16 << 10], ids=["1MiB", "16KiB"])
def test_failed_allocations_raise_memory_error(shim, threshold):
    report = run_child(shim, threshold)
    memory_errors = 0
    for case, data in report.items():
        assert data["after"], "%s: wrong output after the failures" % case
        for k, sticky, failed, outcome in data["rows"]:
            where = "%s, k=%d%s" % (case, k, " sticky" if sticky else "")
            if failed == 0:
                assert outcome == "complete", where + ": " + outcome
            else:
                assert outcome in ("MemoryError", "RuntimeError: " + BYTES_ALLOCATION_ERROR), \
                    where + ": " + outcome
                memory_errors += outcome == "MemoryError"
        # Where the output itself could not grow, that is a MemoryError.
        injected = [o for _, _, f, o in data["rows"] if f]
        assert not injected or "MemoryError" in injected, case
    # The multi-megabyte outputs cross every threshold used here.
    assert report["big payload/True"]["large"] >= 1 and memory_errors > 0
