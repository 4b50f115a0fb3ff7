"""Hypothesis strategies for the values dumps accepts, shared by the
encoding and decoding properties."""
from hypothesis import strategies as st

BOUNDARIES = [0, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1]
ints = st.integers(-(2**63), 2**64 - 1) | st.sampled_from(BOUNDARIES + [-1 - b for b in BOUNDARIES[:-2]])
floats = st.floats() | st.floats(width=32) | st.floats(width=16)
scalars = st.none() | st.booleans() | ints | floats | st.text(max_size=30) | st.binary(max_size=30)
short_keys = st.text(max_size=8) | ints


def trees(keys=short_keys, max_size=5, max_leaves=30):
    """Nested lists, tuples and dicts of scalars, with dict keys from `keys`."""
    return st.recursive(
        scalars,
        lambda kids: (st.lists(kids, max_size=max_size) | st.lists(kids, max_size=max_size).map(tuple)
                      | st.dictionaries(keys, kids, max_size=max_size)),
        max_leaves=max_leaves,
    )
