import pytest

# All four serializer instantiations: framing x (no limit, limit 1).
MODES = [{"indefinite": i, "max_depth": m} for i in (True, False) for m in (0, 1)]


@pytest.fixture(params=MODES, ids=lambda m: f"{'indef' if m['indefinite'] else 'def'}-limit{m['max_depth']}")
def mode(request):
    """Keyword arguments selecting one serializer instantiation."""
    return request.param


@pytest.fixture(params=[True, False], ids=["indef", "def"])
def indefinite(request):
    return request.param
