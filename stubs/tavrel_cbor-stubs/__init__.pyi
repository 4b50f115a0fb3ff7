# Types of the tavrel_cbor extension module.
from typing import Any, Callable, Dict, Optional, Protocol, SupportsIndex, Union, final

__version__: str

class _SupportsBool(Protocol):
    def __bool__(self) -> bool: ...

# What dumps encodes: the builtin types it maps to CBOR, plus the objects it
# takes by conversion.  An object with __index__ becomes an integer; any other
# object with __bool__ (Decimal, Fraction, complex, numpy scalars) becomes
# true or false.  Objects with neither (set, bytearray, memoryview, a plain
# object) are refused with TypeError.  On 3.15 an exact frozendict is
# written as a dict is.
_Value = Union[
    None, bool, int, float, str, bytes,
    list[Any], tuple[Any, ...], dict[Any, Any],
    SupportsIndex, _SupportsBool,
]

def dumps(value: _Value, indefinite: bool = True, max_depth: int = 0) -> bytes: ...

# ---- Decoding ----------------------------------------------------------------

class _ReadableBinary(Protocol):
    def read(self) -> bytes: ...

class _WritableBinary(Protocol):
    def write(self, data: bytes) -> Any: ...

class CBORDecodeError(ValueError): ...

@final
class Tag:
    def __init__(self, number: int, value: Any) -> None: ...
    @property
    def number(self) -> int: ...
    @property
    def value(self) -> Any: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Simple:
    def __init__(self, value: int) -> None: ...
    @property
    def value(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class _UndefinedType:
    def __bool__(self) -> bool: ...

undefined: _UndefinedType

# What loads returns: the Python counterpart of each CBOR item, or whatever a
# hook returned in its place.
def loads(
    data: Union[bytes, bytearray, memoryview],
    *,
    tag_hook: Optional[Callable[[int, Any], Any]] = None,
    object_hook: Optional[Callable[[Dict[Any, Any]], Any]] = None,
    max_depth: int = 10000,
    unsafe_keys: bool = False,
) -> Any: ...
def load(
    fp: _ReadableBinary,
    *,
    tag_hook: Optional[Callable[[int, Any], Any]] = None,
    object_hook: Optional[Callable[[Dict[Any, Any]], Any]] = None,
    max_depth: int = 10000,
    unsafe_keys: bool = False,
) -> Any: ...
def dump(value: _Value, fp: _WritableBinary, indefinite: bool = True, max_depth: int = 0) -> None: ...
