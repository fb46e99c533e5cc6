"""Signal handlers run during long calls, and a handler's exception ends the call.

The signal comes at a point of the work, not of the clock: the test builds of
both modules (beside the internals in KESTROVA_INTERNAL_DIR, the same sources
plus the pool's seam) raise it when the pool starts its PIECE-th piece, and
that piece waits for the caller's next check for signals, so the call always
sees the signal with work still to do, on any machine.
"""
import array
import contextlib
import importlib
import signal

import pytest

import kestrova
from kestrova_protocol import _engine

IDENTITY = bytes([1] + [0] * 31)
KEY = list(range(32))
PIECE = 3
N = 2_000  # enough rows for more than PIECE pieces on any pool size
PK = kestrova.key_gen()[0]
ROWS = [[f"row {i}"] for i in range(N)]
STORE = bytes(kestrova.build_okvs(PK, ROWS[:10]))
CALLS = {
    "build_okvs": (PK, ROWS),
    "initiate_queries": (ROWS, ROWS, STORE, STORE, PK),
    "randomize": (IDENTITY * 4 * N,),
    "combine": (IDENTITY * 4 * 2 * N, IDENTITY * 4 * 2 * N),
    "decrypt": (IDENTITY * 5 * N, KEY),
    "finish": (*[IDENTITY * 4 * N] * 4, KEY),
}


class Stop(Exception):
    pass


@pytest.fixture(scope="module")
def hooked(internal):
    return importlib.import_module("kestrova_hooked")


@pytest.fixture(scope="module")
def hooked_engine(internal):
    return importlib.import_module("_engine_hooked")


@contextlib.contextmanager
def signal_at_piece(module, piece):
    """SIGUSR1 at the piece-th piece of pool work; its handler raises Stop. Yields the signals seen."""
    seen = []

    def handler(signum, frame):
        seen.append(signum)
        raise Stop

    previous = signal.signal(signal.SIGUSR1, handler)
    module._signal_at_piece(piece, signal.SIGUSR1)
    try:
        yield seen
    finally:
        module._signal_at_piece(-1, 0)
        signal.signal(signal.SIGUSR1, previous)


def test_the_test_builds_are_the_installed_functions_plus_the_seam(hooked, hooked_engine):
    seam = {"_signal_at_piece", "_items_left"}
    assert set(hooked.__all__) == set(kestrova.__all__) | seam
    assert seam <= set(dir(hooked_engine)) and not seam & set(dir(_engine))


@pytest.mark.parametrize("name", CALLS)
def test_handler_exception_ends_the_call_early_and_the_next_call_works(hooked, name):
    result = None
    with pytest.raises(Stop), signal_at_piece(hooked, PIECE) as seen:
        result = getattr(hooked, name)(*CALLS[name])
    assert result is None and seen == [signal.SIGUSR1]
    assert hooked._items_left() > 0
    assert bytes(hooked.randomize(IDENTITY * 4 * 3)) == IDENTITY * 4 * 3


def test_equal_rows_are_refused_before_any_pool_work(hooked):
    with pytest.raises(BaseException) as info, signal_at_piece(hooked, 0) as seen:
        hooked.build_okvs(PK, ROWS + [["row 7"]])
    assert "same key bytes" in str(info.value) and not isinstance(info.value, Exception)
    assert seen == []


def build_store(engine, tmp_path):
    builder = engine.Builder(bytes(PK))
    keys = [b"row %d" % i for i in range(N)]
    offsets = array.array("q", [0])
    for key in keys:
        offsets.append(offsets[-1] + len(key))
    builder.add(b"".join(keys), offsets)
    with open(tmp_path / "store", "wb") as out:
        builder.write(out.fileno())


@pytest.mark.parametrize("call", [
    lambda engine, tmp_path: engine.randomize(IDENTITY * 4 * N),
    build_store,
], ids=["randomize", "build"])
def test_engine_runs_handlers_while_the_lock_is_released(hooked_engine, call, tmp_path):
    with pytest.raises(Stop), signal_at_piece(hooked_engine, PIECE) as seen:
        call(hooked_engine, tmp_path)
    assert seen == [signal.SIGUSR1] and hooked_engine._items_left() > 0
    assert hooked_engine.randomize(IDENTITY * 4) == IDENTITY * 4
