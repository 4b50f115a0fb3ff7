"""Errors that must reach the caller as they are: interrupts and exits raised
by the value's own code, memory exhaustion, and rejected calls whose text
does not depend on the data."""
import subprocess
import sys
import textwrap

import pytest

from support.helpers import PYPY, obj, raises_exact, sub
from support.texts import incompatible
from tavrel_cbor import dumps


class Stop(BaseException):
    """Neither an Exception nor one of the interpreter's own."""


INTERRUPTS = [KeyboardInterrupt, SystemExit, Stop]

# Every place where dumps runs the value's code while matching or
# describing it.
HOOKS = {
    "__index__": lambda exc: obj(index=exc()),
    "__bool__": lambda exc: obj(bool=exc()),
    "int __eq__": lambda exc: sub(int, 5, eq=exc()),
    "int __str__": lambda exc: sub(int, 2**70, str=exc()),
}


@pytest.mark.parametrize("where", ["top", "list", "dict value", "dict key"])
@pytest.mark.parametrize("hook", HOOKS.values(), ids=HOOKS.keys())
@pytest.mark.parametrize("exc", INTERRUPTS)
def test_interrupts_raised_by_the_value_propagate(exc, hook, where, indefinite):
    value = hook(exc)
    if where == "list":
        value = [1, value]
    elif where == "dict value":
        value = {"a": value}
    elif where == "dict key":
        value = {value: 1} if getattr(type(value), "__hash__", None) else [value]
    with pytest.raises(exc):
        dumps(value, indefinite)


@pytest.mark.parametrize("exc", INTERRUPTS)
@pytest.mark.parametrize(
    "kwargs",
    [
        {"indefinite": "bool"},
        {"max_depth": "index"},
        {"max_depth": "int"},
    ],
    ids=lambda k: next(iter(k)),
)
def test_interrupts_raised_by_flags_propagate(exc, kwargs):
    (name, method), = kwargs.items()
    with pytest.raises(exc):
        dumps([1], **{name: obj(**{method: exc()})})


def test_interrupt_in_the_repr_of_a_rejected_call_propagates():
    with pytest.raises(KeyboardInterrupt):
        dumps(set(), bogus=obj(repr=KeyboardInterrupt()))


@pytest.mark.parametrize("value, invoked", [({"std::x"}, "{'std::x'}"), (set(), "set()")])
def test_rejected_call_text_does_not_depend_on_the_data(value, invoked):
    with raises_exact(TypeError, incompatible(invoked)):
        dumps(value)
    with raises_exact(TypeError, incompatible("1; kwargs: indefinite=" + invoked)):
        dumps(1, indefinite=value)


@pytest.mark.skipif(PYPY, reason="allocation failures are injected through CPython's _testcapi")
def test_memory_error_from_utf8_conversion_is_raised():
    # A fresh non-ASCII str has no UTF-8 form yet: making it is the first
    # allocation of the call, and the only one before the output outgrows
    # its inline area.
    script = textwrap.dedent(
        """
        import _testcapi
        from tavrel_cbor import dumps
        for where in ("top", "list"):
            text = "".join(["\\u00e9"] * 50)
            value = text if where == "top" else [text]
            _testcapi.set_nomemory(0)
            try:
                dumps(value)
            except MemoryError:
                outcome = "MemoryError"
            except BaseException as err:
                outcome = type(err).__name__ + ": " + str(err)
            else:
                outcome = "no error"
            finally:
                _testcapi.remove_mem_hooks()
            print(outcome)
        """
    )
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("this interpreter has no _testcapi")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["MemoryError", "MemoryError"]
