"""One version everywhere it is written down, and a wheel-building
configuration that selects the interpreters and platforms the README names."""
import os
import re
import subprocess
import sys

import pytest

import tavrel_cbor
from support.paths import ci_file

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def read(name):
    with open(os.path.join(REPO, name)) as f:
        return f.read()


def test_one_version_everywhere():
    version = tavrel_cbor.__version__
    assert re.search(r'(?m)^version = "([^"]+)"$', read("pyproject.toml")).group(1) == version
    # The build takes it from pyproject.toml: no other file may spell it out.
    for name in ["CMakeLists.txt"] + ["binding/" + n for n in os.listdir(os.path.join(REPO, "binding"))]:
        assert version not in read(name), name
    assert re.search(r"(?m)^## (\S+)", read("CHANGELOG.md")).group(1) == version
    metadata = pytest.importorskip("importlib.metadata")
    assert metadata.version("tavrel_cbor") == version


def test_classifiers_name_the_cpython_versions_the_matrix_tests():
    out = subprocess.run([sys.executable, ci_file("matrix"), "--list"], stdout=subprocess.PIPE,
                         universal_newlines=True, check=True).stdout
    tested = {int(m) for m in re.findall(r"(?m)^cpython3\.(\d+)\s+python\s", out)}
    declared = {int(m) for m in re.findall(r'"Programming Language :: Python :: 3\.(\d+)"', read("pyproject.toml"))}
    assert tested and declared == tested
    assert re.search(r'(?m)^requires-python = ">=3\.(\d+)"$', read("pyproject.toml")).group(1) == str(min(tested))


def test_licence_is_mit_with_our_copyright():
    text = read("LICENSE")
    assert text.startswith("MIT License\n")
    assert "Copyright (c) 2026 The tavrel_cbor developers" in text


def test_cibuildwheel_selects_the_documented_builds():
    pytest.importorskip("cibuildwheel")
    from importlib.metadata import version

    env = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    out = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", "--platform", "linux", "--print-build-identifiers", REPO],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env, cwd=REPO)
    assert out.returncode == 0, out.stderr
    found = set(out.stdout.split())
    # CPython 3.8 left cibuildwheel with its 4.0 release.
    first = 8 if int(version("cibuildwheel").split(".")[0]) < 4 else 9
    wanted = {"cp3{}-{}_{}".format(minor, libc, arch)
              for minor in range(first, 14)
              for libc in ("manylinux", "musllinux")
              for arch in ("x86_64", "i686")}
    assert wanted <= found, sorted(wanted - found)
    assert any(b.startswith("pp") for b in found), found
    # Nothing beyond those: no free-threaded, no other architectures.
    assert {b.split("-")[1].split("_", 1)[1] for b in found} == {"x86_64", "i686"}
    assert not [b for b in found if re.match(r"cp3\d+t-", b)]
