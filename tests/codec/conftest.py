import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
# The helper module lives beside the tests, whatever import mode pytest uses.
if HERE not in sys.path:
    sys.path.insert(0, HERE)


@pytest.fixture
def gen():
    """A fresh generator, freed after the test."""
    import cbor_ffi

    g = cbor_ffi.new_generator()
    yield g
    cbor_ffi.lib.cbor_generator_free(g)
