"""The float width chosen on the double's bits (codec/include/cbor_encoding.hpp) against
cbor_write_float's decode-back choice: fuzz/float_choice_proof.cpp at its CI
size.  fuzz/README.md says how to run it over every float32 pattern."""
import os
import re
import shutil
import subprocess

import pytest

from support.paths import CODEC_SOURCES, FUZZ_DIR, include_flags

CXX = shutil.which("c++")


@pytest.mark.skipif(CXX is None, reason="no C++ compiler")
def test_float_choice_agrees_with_decode_back(tmp_path):
    exe = str(tmp_path / "float_choice_proof")
    subprocess.run([CXX, "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", *include_flags(),
                    os.path.join(FUZZ_DIR, "float_choice_proof.cpp"), *CODEC_SOURCES, "-o", exe], check=True)
    proc = subprocess.run([exe], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout[-3000:]
    checked = re.search(r"checked (\d+) finite doubles, (\d+) also through cbor_write_float", proc.stdout)
    # Strided float32 patterns, every half, the boundaries and 10^6 random doubles.
    assert checked and int(checked.group(1)) > 2_000_000 and int(checked.group(2)) > 500_000, proc.stdout
    assert proc.stdout.splitlines()[-1] == "0 mismatches"
