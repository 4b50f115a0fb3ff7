"""The codec built for 32-bit x86, where a double moved through the x87 stack
loses a signalling NaN's bits: the matrix's C check program (which includes
signalling NaNs through cbor_write_float64 and the float64 decoder), linked
with the codec sources compiled by each compiler at several optimisation
levels, with and without SSE math."""
import os
import shutil
import subprocess

import pytest

from support.helpers import run_checked as run
from support.paths import CODEC_SOURCES, ci_file, include_flags

CC = shutil.which("gcc")


@pytest.fixture(scope="module")
def check_object(tmp_path_factory):
    """The check program, compiled as the matrix compiles it."""
    check = ci_file("matrix.d", "codec_check.c")
    if CC is None:
        pytest.skip("no gcc")
    d = tmp_path_factory.mktemp("i386")
    probe = subprocess.run([CC, "-m32", "-x", "c", "-", "-o", str(d / "probe")],
                           input="int main(void) { return 0; }\n", capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip("no 32-bit x86 toolchain (gcc-multilib)")
    run([CC, "-m32", "-std=c99", "-O1", "-Wall", "-Wextra", "-Werror", *include_flags(), "-c", check,
         "-o", "check.o"], d)
    return d / "check.o"


# Clang at -O0 on x87 spills every double parameter through the FPU stack on
# entry, before any code of ours runs: no source can keep the bits there.
BUILDS = [("g++", "-O0", ""), ("g++", "-O2", ""), ("g++", "-O2", "-msse2 -mfpmath=sse"),
          ("clang++", "-O2", ""), ("clang++", "-O0", "-msse2 -mfpmath=sse")]


@pytest.mark.parametrize("cxx, opt, fpmath", BUILDS, ids=[" ".join(b).strip() for b in BUILDS])
def test_codec_check_on_i386(check_object, tmp_path, cxx, opt, fpmath):
    if shutil.which(cxx) is None:
        pytest.skip(f"no {cxx}")
    objects = [str(check_object)]
    for src in CODEC_SOURCES:
        obj = os.path.basename(src).replace(".cpp", ".o")
        run([cxx, "-m32", "-std=c++17", opt, *fpmath.split(), "-Wall", "-Wextra", "-Werror", *include_flags(),
             "-c", src, "-o", obj], tmp_path)
        objects.append(obj)
    run([CC, "-m32", *objects, "-lm", "-o", "check"], tmp_path)
    proc = subprocess.run([str(tmp_path / "check")], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stdout
    assert proc.stdout.splitlines()[-1].startswith("32-bit: ")
