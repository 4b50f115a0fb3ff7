"""Where the codec's headers and sources are, for the tests that compile C
or C++ against it.  Every such test takes its -I flags and source list from
here, so moving the headers means changing this file alone."""
import os
import re

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CODEC_DIR = os.path.join(REPO, "codec")

# The public header, as installed (<tavrel_cbor/cbor.h>) and as callers
# include it ("cbor.h" with CODEC_INCLUDE_DIRS on the path).
CODEC_PUBLIC_HEADER = os.path.join(CODEC_DIR, "include", "cbor.h")
# Public headers first, then the private ones the sources and the
# white-box fuzz programs include.
CODEC_INCLUDE_DIRS = [os.path.join(CODEC_DIR, "include"), CODEC_DIR]
CODEC_SOURCES = [os.path.join(CODEC_DIR, name)
                 for name in ("copy.cpp", "decoders.cpp", "float_writer.cpp", "generator.cpp", "parser.cpp",
                              "utf8.cpp")]

FUZZ_DIR = os.path.join(REPO, "fuzz")

# The CI scripts and the matrix's C check program; a checkout has them, the
# sdist leaves them out.
CI_DIR = os.path.join(REPO, ".ci")


def ci_file(*parts):
    """The path of a file under .ci/; skips the calling test where there is
    no .ci/ (an unpacked sdist)."""
    if not os.path.isdir(CI_DIR):
        pytest.skip("no CI scripts in this tree (an unpacked sdist)")
    return os.path.join(CI_DIR, *parts)


def include_flags():
    """-I flags for the codec's headers."""
    flags = []
    for directory in CODEC_INCLUDE_DIRS:
        flags += ["-I", directory]
    return flags


def _project_version():
    # pyproject.toml is where the version is written; the build hands it to
    # the module and the C library's package files.
    with open(os.path.join(REPO, "pyproject.toml"), encoding="utf-8") as f:
        match = re.search(r'^version = "(\d+\.\d+\.\d+)"$', f.read(), re.M)
    assert match, "pyproject.toml has no version"
    return match.group(1)


VERSION = _project_version()
