import pytest


@pytest.fixture
def gen():
    """A fresh codec generator, freed after the test."""
    from support import codec_ffi  # loads the module: only where a test asks for it

    g = codec_ffi.new_generator()
    yield g
    codec_ffi.lib.cbor_generator_free(g)
