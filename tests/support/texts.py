"""Every text of the module that the tests compare against, byte for byte:
error messages (binding/errors.h), the docstrings, the signature, the
version gate's refusal and the codec's diagnostic line.  Written here once
so that a changed text fails in one obvious place."""
import re

# RuntimeError for a value, element or key that matches no alternative, or
# a str whose contents cannot be read.
CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"

# RuntimeError for an int outside int64 and uint64: this text, then at most
# 40 bytes of the value's str().
RANGE_ERROR = "dumps received an integer out of range for both int64_t and uint64_t"

# RuntimeError past max_depth: this text, then the limit.
DEPTH_ERROR = "Exceeded recursion limit:"

# RecursionError of the native stack guard; the interpreter's own
# RecursionError texts start with INTERPRETER_RECURSION.
STACK_ERROR = "maximum recursion depth exceeded while encoding a nested value"
INTERPRETER_RECURSION = "maximum recursion depth exceeded"
# repr, == and hash of Tags nested past what the thread's stack holds.
TAG_RECURSION = "maximum recursion depth exceeded in nested Tags"

# RuntimeError when the final bytes object cannot be made.
BYTES_ALLOCATION_ERROR = "Could not allocate bytes object!"

# A walked container changed by Python code that the walk ran.
LIST_CHANGED = "list changed size during iteration"
DICT_CHANGED = "dictionary changed size during iteration"
KEYS_CHANGED = "dictionary keys changed during iteration"
CHANGED_ERRORS = (LIST_CHANGED, DICT_CHANGED, KEYS_CHANGED)

SIGNATURE = (
    "(value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
    "indefinite: bool = True, max_depth: int = 0) -> bytes"
)
TEXT_SIGNATURE = "(value, indefinite=True, max_depth=0)"

# TypeError of a call that matches no overload: this text, then the
# arguments as incompatible() shows them.
INCOMPATIBLE_HEAD = "dumps(): incompatible function arguments. "
INCOMPATIBLE = (
    INCOMPATIBLE_HEAD + "The following argument types are supported:\n"
    "    1. " + SIGNATURE + "\n\nInvoked with: "
)

MODULE_DOC = (
    "\n        Tavrel cbor\n        -----------------------\n\n"
    "        .. currentmodule:: tavrel_cbor\n\n"
    "        .. autosummary::\n           :toctree: _generate\n\n"
    "           dumps\n    "
)
DUMPS_DOC = "dumps" + SIGNATURE + "\n\n" + "\n    Dump a Python object to cbor\n    " + "\n"

# ImportError of the version gate: % (build's major.minor, sys.version).
VERSION_MISMATCH = ("Python version mismatch: module was compiled for Python %s, "
                    "but the interpreter version is incompatible: %s.")

# The codec's line on stderr for an initial byte it does not implement.
UNIMPLEMENTED_CODE = "Unimplemented CBOR code: %02x\n"


def depth_error(limit):
    return DEPTH_ERROR + str(limit)


def incompatible(invoked):
    """The complete TypeError text of a call that matches no overload."""
    return INCOMPATIBLE + invoked


def own_runtime_error(text):
    """Whether text is one of the RuntimeErrors dumps raises itself."""
    if text in CHANGED_ERRORS or text == CAST_ERROR or text.startswith(RANGE_ERROR):
        return True
    return text.startswith(DEPTH_ERROR) and re.fullmatch(r"\d+", text[len(DEPTH_ERROR):]) is not None


# ---- loads ---------------------------------------------------------------------

def decode_error(what, offset):
    """The complete CBORDecodeError text: what was wrong, then where."""
    return "%s at byte %d" % (what, offset)


def refused_key(kind):
    return "map key of type %s is refused: pass unsafe_keys=True for trusted input" % kind


# TypeError and ValueError of a loads, load or dump call that cannot be bound
# or whose option is refused: % (function name, ...).
TOO_MANY_POSITIONAL = "%s() takes 1 positional argument but %d were given"
MISSING_ARGUMENT = "%s() missing required argument '%s'"
UNEXPECTED_KEYWORD = "%s() got an unexpected keyword argument '%s'"
REPEATED_ARGUMENT = "%s() got multiple values for argument '%s'"
# % (option, type name)
HOOK_NOT_CALLABLE = "%s must be callable or None, not %s"
MAX_DEPTH_NOT_INT = "max_depth must be an int, not %s"
MAX_DEPTH_NEGATIVE = "max_depth must be >= 0"
# The interpreter's own text from 3.9 on, and ours before it.
KEYWORDS_NOT_STR = "keywords must be strings"

# The decoding side's docstrings, after their text signatures; the
# interpreter takes the signature off __doc__ and offers it as
# __text_signature__.
LOADS_TEXT_SIGNATURE = "(data, *, tag_hook=None, object_hook=None, max_depth=10000, unsafe_keys=False)"
LOADS_DOC = (
    "Decode exactly one CBOR data item from a bytes-like object.\n\n"
    "tag_hook(number, value) is called for every tag loads has no meaning for, and\n"
    "its result replaces the tag (default: Tag(number, value)); object_hook(dict)\n"
    "for every map, its result replacing the dict.  An item nested inside more than\n"
    "max_depth arrays, maps and tags is refused (0: no limit).  Map keys that are\n"
    "arrays or tags are refused unless unsafe_keys is true: such keys can be chosen\n"
    "to collide in Python's hash.  Raises CBORDecodeError for malformed or refused\n"
    "input."
)
LOAD_TEXT_SIGNATURE = "(fp, **options)"
LOAD_DOC = "loads(fp.read(), **options)."
DUMP_TEXT_SIGNATURE = "(value, fp, indefinite=True, max_depth=0)"
DUMP_DOC = "fp.write(dumps(value, indefinite, max_depth))."
TAG_TEXT_SIGNATURE = "(number, value)"
TAG_DOC = ("A CBOR tag that loads has no meaning for: its number and its decoded value.  "
           "Immutable; hashable when the value is.")
SIMPLE_TEXT_SIGNATURE = "(value)"
SIMPLE_DOC = "A CBOR simple value that has no Python counterpart.  Immutable and hashable."
UNDEFINED_DOC = "The type of tavrel_cbor.undefined, CBOR's undefined value."
DECODE_ERROR_DOC = ("Raised by loads for input that is not exactly one well-formed CBOR data item, or that it "
                    "refuses; the message ends with the byte offset of the item at fault.")
MODULE_STATE_DOC = ("What dumps and loads keep between calls: dumps' keyword names, the types loads returns and "
                    "its cache of map keys.")
