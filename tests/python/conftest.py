import importlib
import os
import signal
import sys

import pytest
from hypothesis import settings

# Shared machines stall at random; a slow example is not a fault.
settings.register_profile("kestrova", deadline=None)
settings.load_profile("kestrova")

# A shell starts its background jobs with SIGINT and SIGQUIT ignored, and children inherit that: the steps
# these tests interrupt would never see the signal. As a terminal gives them, then.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
if signal.getsignal(signal.SIGQUIT) == signal.SIG_IGN:
    signal.signal(signal.SIGQUIT, signal.SIG_DFL)


@pytest.fixture(scope="session")
def internal():
    """The test-only extension module with the curve internals (built with the C++ tests)."""
    folder = os.environ.get("KESTROVA_INTERNAL_DIR")
    if not folder:
        pytest.skip("KESTROVA_INTERNAL_DIR is not set; build with -DKESTROVA_TESTS=ON and point it at tests/python/internal")
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module("_kestrova_internal")
