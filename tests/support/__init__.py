"""What the test suite shares: the CBOR reference model (model), the ctypes
view of the codec (codec_ffi), the texts the module shows its callers
(texts), where the codec's headers and sources are (paths), and small
helpers for building values and running code (helpers).

tests/ is on the import path through pytest's `pythonpath` setting; a child
process that needs this package gets it through PYTHONPATH
(helpers.child_env)."""
