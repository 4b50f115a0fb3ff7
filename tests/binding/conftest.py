import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
# The shared oracles live beside the tests, whatever import mode pytest uses.
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# All four serializer instantiations: framing x (no limit, limit 1).
MODES = [{"indefinite": i, "max_depth": m} for i in (True, False) for m in (0, 1)]


@pytest.fixture(params=MODES, ids=lambda m: f"{'indef' if m['indefinite'] else 'def'}-limit{m['max_depth']}")
def mode(request):
    """Keyword arguments selecting one serializer instantiation."""
    return request.param


@pytest.fixture(params=[True, False], ids=["indef", "def"])
def indefinite(request):
    return request.param
