"""The codec as a C library: built and installed alone with CMake, then used
from C the way a downstream project would, through pkg-config and through
find_package, against the shared and the static library."""
import ctypes
import os
import re
import shutil
import subprocess

import pytest
from support.helpers import run_checked as run
from support.paths import CODEC_PUBLIC_HEADER, VERSION

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = os.path.join(REPO, "examples", "c")
HEADER = CODEC_PUBLIC_HEADER

CMAKE = shutil.which("cmake")
CC = shutil.which(os.environ.get("CC", "cc"))
CXX = shutil.which(os.environ.get("CXX", "c++"))

pytestmark = pytest.mark.skipif(
    not (CMAKE and CC and CXX), reason="needs cmake and a C and C++ compiler")

# The example encodes
#   [1, -500, 1000000, "CBOR", 1.5, {"pi": 3.141592653589793, "big": 100000.0}]
# and its bytes follow from RFC 8949 alone:
EXPECTED_HEX = "".join([
    "86",                   # array of 6 items (major type 4, count in the initial byte)
    "01",                   # unsigned 1
    "3901f3",               # negative: argument 499 = 0x01f3 in two bytes (-1 - 499 = -500)
    "1a000f4240",           # unsigned 1000000 = 0x000f4240 needs four bytes
    "6443424f52",           # text of 4 bytes, "CBOR"
    "f93e00",               # 1.5 fits half precision: sign 0, exponent 15, mantissa 0x200
    "a2",                   # map of 2 pairs
    "627069",               # "pi"
    "fb400921fb54442d18",   # pi is no single: double 0x400921fb54442d18
    "63626967",             # "big"
    "fa47c35000",           # 100000 = 1.52587890625 * 2^16: too big for half, exact in single
])
# ... and the decoder hands back one record per head, floats widened to double.
EXPECTED_ITEMS = [
    "86 array of 6",
    "01 unsigned 1",
    "39 negative -500",
    "1a unsigned 1000000",
    '64 text "CBOR"',
    "f9 float 1.5",
    "a2 map of 2 pairs",
    '62 text "pi"',
    "fb float 3.1415926535897931",   # %.17g of the double nearest pi
    '63 text "big"',
    "fa float 100000",
]
EXPECTED_OUTPUT = "\n".join([EXPECTED_HEX] + EXPECTED_ITEMS) + "\n"


def exported_names():
    """Every function and object the public header declares with CBOR_API."""
    with open(HEADER) as f:
        text = f.read()
    names = re.findall(r"^CBOR_API\b[^;(]*?\b(_?cbor_\w+)\s*(?:\(|\[)", text, re.M)
    assert len(names) > 60, names
    return sorted(set(names))


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    """The C library configured, built and installed into a fresh prefix.

    Python and pybind11 are made unfindable: building only the C library
    must not look for them."""
    root = tmp_path_factory.mktemp("c_library")
    build, prefix = str(root / "build"), str(root / "prefix")
    run([CMAKE, "-S", REPO, "-B", build,
         "-DTAVREL_CBOR_C_LIBRARY=ON", "-DTAVREL_CBOR_PYTHON_MODULE=OFF",
         "-DTAVREL_CBOR_WERROR=ON", "-DCMAKE_BUILD_TYPE=Release",
         "-DCMAKE_INSTALL_LIBDIR=lib",
         "-DCMAKE_DISABLE_FIND_PACKAGE_Python=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON",
         "-DCMAKE_C_COMPILER=" + CC, "-DCMAKE_CXX_COMPILER=" + CXX])
    run([CMAKE, "--build", build, "--parallel", "2"])
    run([CMAKE, "--install", build, "--prefix", prefix])
    return prefix


def test_installed_layout(prefix):
    lib = os.path.join(prefix, "lib")
    for path in ("include/tavrel_cbor/cbor.h",
                 "lib/libtavrel_cbor_codec.a",
                 "lib/libtavrel_cbor_codec.so",
                 "lib/pkgconfig/tavrel_cbor_codec.pc",
                 "lib/cmake/tavrel_cbor_codec/tavrel_cbor_codec-config.cmake",
                 "lib/cmake/tavrel_cbor_codec/tavrel_cbor_codec-config-version.cmake"):
        assert os.path.exists(os.path.join(prefix, path)), path
    # The header is installed unchanged; the module's private headers are not.
    with open(HEADER, "rb") as a, open(os.path.join(prefix, "include/tavrel_cbor/cbor.h"), "rb") as b:
        assert a.read() == b.read()
    assert sorted(os.listdir(os.path.join(prefix, "include", "tavrel_cbor"))) == ["cbor.h"]
    assert os.path.islink(os.path.join(lib, "libtavrel_cbor_codec.so"))


def test_shared_library_exports_the_header_and_nothing_else(prefix):
    path = os.path.join(prefix, "lib", "libtavrel_cbor_codec.so")
    lib = ctypes.CDLL(path)
    missing = [name for name in exported_names() if not hasattr(lib, name)]
    assert missing == []
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available to list the dynamic symbols")
    out = run([nm, "-D", "--defined-only", path])
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols - set(exported_names()) == set()


def test_shared_library_needs_no_cxx_runtime(prefix):
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf not available")
    out = run([readelf, "-d", os.path.join(prefix, "lib", "libtavrel_cbor_codec.so")])
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    assert not [n for n in needed if "stdc++" in n or "gcc_s" in n], needed


def test_example_through_pkg_config(prefix, tmp_path):
    pkg_config = shutil.which("pkg-config")
    if pkg_config is None:
        pytest.skip("pkg-config not available")
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
    flags = run([pkg_config, "--cflags", "--libs", "tavrel_cbor_codec"], env=env).split()
    assert run([pkg_config, "--modversion", "tavrel_cbor_codec"], env=env).strip() == VERSION
    exe = str(tmp_path / "encode_decode")
    run([CC, "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror",
         os.path.join(EXAMPLE, "encode_decode.c"), "-o", exe] + flags
        + ["-Wl,-rpath," + os.path.join(prefix, "lib")])
    assert run([exe]) == EXPECTED_OUTPUT


def test_example_through_find_package(prefix, tmp_path):
    build = str(tmp_path / "build")
    run([CMAKE, "-S", EXAMPLE, "-B", build, "-DCMAKE_PREFIX_PATH=" + prefix,
         "-DCMAKE_C_COMPILER=" + CC, "-DCMAKE_C_FLAGS=-Wall -Wextra -pedantic -Werror"])
    run([CMAKE, "--build", build])
    shared = os.path.join(build, "encode_decode")
    static = os.path.join(build, "encode_decode_static")
    assert run([shared]) == EXPECTED_OUTPUT
    assert run([static]) == EXPECTED_OUTPUT
    readelf = shutil.which("readelf")
    if readelf is not None:
        assert "libtavrel_cbor_codec" in run([readelf, "-d", shared])
        assert "libtavrel_cbor_codec" not in run([readelf, "-d", static])


def test_find_package_checks_the_version(prefix, tmp_path):
    """A project asking for another major version is refused."""
    src = tmp_path / "src"
    src.mkdir()
    (src / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.15)\n"
        "project(wants_seven LANGUAGES C)\n"
        "find_package(tavrel_cbor_codec 7 CONFIG REQUIRED)\n")
    result = subprocess.run([CMAKE, "-S", str(src), "-B", str(tmp_path / "build"),
                             "-DCMAKE_PREFIX_PATH=" + prefix],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True)
    assert result.returncode != 0
    assert VERSION in result.stdout


def test_module_build_still_exports_the_codec():
    """The extension module keeps exporting the codec's C interface itself."""
    tavrel_cbor = pytest.importorskip("tavrel_cbor")
    lib = ctypes.CDLL(tavrel_cbor.__file__)
    assert [name for name in exported_names() if not hasattr(lib, name)] == []
