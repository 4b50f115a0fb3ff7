# Types of the tavrel_cbor extension module.
from typing import Any, Protocol, SupportsIndex, Union

__version__: str

class _SupportsBool(Protocol):
    def __bool__(self) -> bool: ...

# What dumps encodes: the builtin types it maps to CBOR, plus the objects it
# takes by conversion.  An object with __index__ becomes an integer; any other
# object with __bool__ (Decimal, Fraction, complex, numpy scalars) becomes
# true or false.  Objects with neither (set, bytearray, memoryview, a plain
# object) are refused with TypeError.
_Value = Union[
    None, bool, int, float, str, bytes,
    list[Any], tuple[Any, ...], dict[Any, Any],
    SupportsIndex, _SupportsBool,
]

def dumps(value: _Value, indefinite: bool = True, max_depth: int = 0) -> bytes: ...
