import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The helpers live beside the tests, whatever import mode pytest uses.
if HERE not in sys.path:
    sys.path.insert(0, HERE)
