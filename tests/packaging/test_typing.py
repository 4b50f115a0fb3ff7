"""The PEP 561 stub package: installed with the module, understood by mypy,
and in step with the signature the module itself reports."""
import ast
import os
import re
import sys
import textwrap

import pytest

import tavrel_cbor

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUB = os.path.join(REPO, "stubs", "tavrel_cbor-stubs", "__init__.pyi")


def stub_dumps():
    with open(STUB) as f:
        tree = ast.parse(f.read())
    (func,) = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == "dumps"]
    return tree, func


def doc_dumps():
    """dumps as the module describes itself: the first line of its __doc__,
    parsed as the header of a Python function."""
    line = tavrel_cbor.dumps.__doc__.splitlines()[0]
    assert line.startswith("dumps(") and line.endswith(") -> bytes"), line
    (func,) = ast.parse("def " + line + ": ...").body
    return func


def params(func):
    args = func.args
    assert not (getattr(args, "posonlyargs", None) or args.kwonlyargs or args.vararg or args.kwarg)
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    return [(a.arg, None if d is None else ast.literal_eval(d)) for a, d in zip(args.args, defaults)]


def union_members(annotation):
    """Names of a Union[...] annotation's members, a bare name as itself."""
    if isinstance(annotation, ast.Subscript) and getattr(annotation.value, "id", None) == "Union":
        node = annotation.slice
        node = getattr(node, "value", node)  # ast.Index before Python 3.9
        return [union_member_name(e) for e in node.elts]
    return [union_member_name(annotation)]


def union_member_name(node):
    if isinstance(node, ast.Subscript):  # list[Any] -> list
        node = node.value
    # None parses as ast.NameConstant before Python 3.8 (the name is deprecated after).
    constant = ast.NameConstant if sys.version_info < (3, 8) else ast.Constant
    if isinstance(node, constant) and node.value is None:
        return "None"
    return node.id


def test_names_and_defaults_match_the_module():
    _, stub = stub_dumps()
    doc = doc_dumps()
    assert params(stub) == params(doc) == [("value", None), ("indefinite", True), ("max_depth", 0)]
    # Same types for the flags and the result.
    for i in (1, 2):
        assert ast.dump(stub.args.args[i].annotation) == ast.dump(doc.args.args[i].annotation)
    assert ast.dump(stub.returns) == ast.dump(doc.returns)


def test_value_type_covers_every_alternative_of_the_module():
    tree, stub = stub_dumps()
    doc_types = set(union_members(doc_dumps().args.args[0].annotation))
    assert doc_types == {"bool", "float", "int", "list", "tuple", "dict", "bytes", "str", "None"}
    # The stub names its union once, as a module-level alias.
    alias = stub.args.args[0].annotation.id
    (assign,) = [n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == alias]
    stub_types = set(union_members(assign.value))
    assert doc_types <= stub_types
    # Widened by exactly the conversions dumps makes: __index__ and __bool__.
    assert stub_types - doc_types == {"SupportsIndex", "_SupportsBool"}


def test_the_stub_is_installed_with_the_module():
    metadata = pytest.importorskip("importlib.metadata")
    files = {str(p).replace("\\", "/"): p for p in metadata.files("tavrel_cbor") or []}
    assert "tavrel_cbor-stubs/__init__.pyi" in files
    with open(STUB) as f:
        assert files["tavrel_cbor-stubs/__init__.pyi"].read_text() == f.read()


USER_CODE = textwrap.dedent("""\
    from decimal import Decimal
    from tavrel_cbor import __version__, dumps

    reveal_type(dumps(1))
    reveal_type(__version__)
    dumps([1, 2.5, "a"], indefinite=False, max_depth=3)
    dumps({"k": (None, b"x")}, False, 0)
    dumps(Decimal("0.5"))
    dumps({1, 2})
    dumps(1, max_depth="3")
    dumps(1, depth=3)
    text: str = dumps(None)
""")


def test_mypy_reads_the_stub(tmp_path):
    api = pytest.importorskip("mypy.api")
    path = tmp_path / "user.py"
    path.write_text(USER_CODE)
    stdout, stderr, status = api.run([
        "--no-incremental", "--cache-dir", os.devnull, "--hide-error-context",
        "--no-error-summary", "--show-error-codes", str(path)])
    lines = [re.sub(r"^.*user\.py:", "", line) for line in stdout.splitlines() if "user.py:" in line]
    by_line = {}
    for line in lines:
        number, rest = line.split(":", 1)
        by_line.setdefault(int(number), []).append(rest.strip())

    def on(number):
        return " ".join(by_line.get(number, []))

    # No "missing library stubs" complaint about the import.
    assert not on(2), stdout + stderr
    # Older mypy releases qualify builtin names, newer ones do not.
    assert re.search(r'Revealed type is "(builtins\.)?bytes"', on(4)), on(4)
    assert re.search(r'Revealed type is "(builtins\.)?str"', on(5)), on(5)
    # What dumps accepts passes ...
    assert not on(6) and not on(7) and not on(8)
    # ... and what it refuses does not.
    assert "[arg-type]" in on(9)        # a set has neither __index__ nor __bool__
    assert "[arg-type]" in on(10)       # max_depth is an int
    assert "[call-arg]" in on(11)       # no such keyword
    assert "[assignment]" in on(12)     # the result is bytes
    assert set(by_line) == {4, 5, 9, 10, 11, 12}, stdout
    assert status == 1


def test_stub_names_every_public_attribute_of_the_module():
    with open(STUB) as f:
        tree = ast.parse(f.read())
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
    public = {name for name in names if not name.startswith("_")}
    assert public == {name for name in dir(tavrel_cbor) if not name.startswith("_")}


def test_loads_parameters_in_the_stub():
    with open(STUB) as f:
        tree = ast.parse(f.read())
    (loads,) = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == "loads"]
    assert [a.arg for a in loads.args.args] == ["data"]
    defaults = [ast.literal_eval(d) for d in loads.args.kw_defaults]
    assert list(zip([a.arg for a in loads.args.kwonlyargs], defaults)) == [
        ("tag_hook", None), ("object_hook", None), ("max_depth", 10000), ("unsafe_keys", False)]
    if sys.version_info >= (3, 8) and not hasattr(sys, "pypy_version_info"):
        import inspect

        signature = inspect.signature(tavrel_cbor.loads)
        assert [(p.name, p.default) for p in signature.parameters.values()] == [
            ("data", inspect.Parameter.empty), ("tag_hook", None), ("object_hook", None),
            ("max_depth", 10000), ("unsafe_keys", False)]
