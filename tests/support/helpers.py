"""Helpers shared across the suite: which interpreter this is, exact-message
assertions, objects with chosen conversion methods, strict decoding, and
running code in a thread with a small native stack or in a child process."""
import io
import math
import os
import platform
import re
import struct
import subprocess
import sys
import threading

import pytest

from support import texts

PYPY = platform.python_implementation() == "PyPy"
# The largest max_depth the platform accepts (size_t).
SIZE_MAX = sys.maxsize * 2 + 1
# Nesting that must still encode on the main thread.  PyPy's C API checks its
# own, much smaller, stack budget, so the walk stops far earlier there.
DEEP_OK = 1_000 if PYPY else 10_000
SMALL_STACK = 256 * 1024

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def is_stack_error(err):
    """Our guard's RecursionError; under PyPy its own check may trip first."""
    if type(err) is not RecursionError:
        return False
    return str(err) == texts.STACK_ERROR or (PYPY and str(err).startswith(texts.INTERPRETER_RECURSION))


def raises_exact(exc, text):
    """pytest.raises that insists on the whole message, not a prefix."""
    return pytest.raises(exc, match="^" + re.escape(text) + r"\Z")


def rejected_call():
    """pytest.raises for a call that matches no overload, whatever its arguments."""
    return pytest.raises(TypeError, match="^" + re.escape(texts.INCOMPATIBLE_HEAD))


# ---- values with chosen conversion methods --------------------------------------


def _method(result):
    def method(self, *args):
        if isinstance(result, BaseException):
            raise result
        return result

    return method


def sub(base, value, **methods):
    """An instance of a fresh subclass of base holding value, whose named
    dunder methods return (or, for exceptions, raise) the given results:
    sub(int, 5, eq=False), sub(float, 1.5, float=99.0)."""
    attrs = {f"__{name}__": _method(result) for name, result in methods.items()}
    if "eq" in methods:
        attrs["__hash__"] = base.__hash__
    name = ("Obj" if base is object else base.__name__.title() + "Sub") + "".join("_" + m for m in methods)
    if base is object:
        shown = ", ".join(f"{m}={r!r}" for m, r in methods.items())
        attrs.setdefault("__repr__", lambda self: f"obj({shown})")
        return type(name, (), attrs)()
    return type(name, (base,), attrs)(value)


def obj(**methods):
    """A plain object with only the given dunder methods: obj(index=5)."""
    return sub(object, None, **methods)


def ident(value):
    """Short test id that never calls an overridden repr."""
    kind = type(value)
    base = next(b for b in kind.__mro__ if b.__module__ == "builtins")
    text = repr(value) if base is object else base.__repr__(value)
    text = text if len(text) <= 30 else text[:24] + f"..{len(text)}"
    return text if kind is base or base is object else f"{kind.__name__}:{text}"


# ---- decoding and running ---------------------------------------------------------


def norm(value):
    """A comparable form: tuples as arrays, floats by bit pattern, all NaNs
    alike, bools apart from ints, map entries in order; anything else (tags,
    simple values, datetimes) by its own equality, but a Tag's value by
    this form."""
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, int):
        return ("int", value)
    if isinstance(value, float):
        return ("nan",) if math.isnan(value) else ("float", struct.pack(">d", value))
    if isinstance(value, (list, tuple)):
        return ("array", [norm(v) for v in value])
    if isinstance(value, dict):
        return ("map", [(norm(k), norm(v)) for k, v in value.items()])
    if type(value).__name__ == "Tag":
        return ("tag", value.number, norm(value.value))
    return (type(value).__name__, value)


def decode_strict(data):
    """The one item in data, decoded by cbor2; no byte may be left over."""
    import cbor2

    stream = io.BytesIO(data)
    value = cbor2.CBORDecoder(stream).decode()
    assert stream.tell() == len(data), "trailing bytes after the item"
    return value


def in_small_thread(fn, *args, stack_size=SMALL_STACK):
    """fn(*args) in a new thread whose native stack is stack_size bytes;
    returns its result or raises its exception here."""
    box = {}

    def run():
        try:
            box["result"] = fn(*args)
        except BaseException as e:  # handed to the caller's thread
            box["error"] = e

    old = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
    finally:
        threading.stack_size(old)
    thread.join()
    if "error" in box:
        raise box.pop("error")
    return box.get("result")


def run_checked(cmd, cwd=None, env=None, timeout=600):
    """Runs a build or check command; what it printed (stdout and stderr
    together), or a failure that shows the command and the end of its output."""
    proc = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=timeout)
    assert proc.returncode == 0, "{}\n{}".format(" ".join(cmd), proc.stdout[-6000:])
    return proc.stdout


def child_env(*dirs, env=None):
    """os.environ (or env) with tests/ and then dirs put first on PYTHONPATH,
    for a child interpreter that imports the support package or a test
    module."""
    env = dict(os.environ if env is None else env)
    paths = [*dirs, TESTS_DIR]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env
