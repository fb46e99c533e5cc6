"""Signal handlers run during long calls, and a handler's exception ends the call."""
import os

import pytest

import kestrova
from ticking import RAISE_ON, Stop, ticking

IDENTITY = bytes([1] + [0] * 31)
KEY = list(range(32))


# Each call runs far longer than RAISE_ON polls unless interrupted (sized for
# two threads, scaled for more). Inputs are made beforehand: Python code
# building them would meet the ticks itself.
SCALE = max(1, (int(os.environ.get("RAYON_NUM_THREADS") or 0) or len(os.sched_getaffinity(0))) // 2)
N = 20_000 * SCALE
PK = kestrova.key_gen()[0]
ROWS = [[f"row {i}"] for i in range(N)]
STORE = bytes(kestrova.build_okvs(PK, ROWS[:10]))
REPEATED = ROWS + [["row 7"]]
CALLS = {
    "build_okvs": (kestrova.build_okvs, PK, ROWS),
    "initiate_queries": (kestrova.initiate_queries, ROWS, ROWS, STORE, STORE, PK),
    "randomize": (kestrova.randomize, IDENTITY * 4 * N),
    "combine": (kestrova.combine, IDENTITY * 4 * 2 * N, IDENTITY * 4 * 2 * N),
    "decrypt": (kestrova.decrypt, IDENTITY * 5 * N, KEY),
    "finish": (kestrova.finish, *[IDENTITY * 4 * N] * 4, KEY),
}


@pytest.mark.parametrize("name", CALLS)
def test_handler_exception_ends_the_call_and_the_next_call_works(name):
    function, *args = CALLS[name]
    result = None
    with pytest.raises(Stop), ticking() as calls:
        result = function(*args)
    assert result is None and len(calls) >= RAISE_ON
    assert bytes(kestrova.randomize(IDENTITY * 4 * 3)) == IDENTITY * 4 * 3


def test_equal_rows_are_refused_before_any_row_is_encrypted():
    # Encryption would poll for signals and meet Stop; the refusal comes first.
    with pytest.raises(BaseException) as info, ticking():
        kestrova.build_okvs(PK, REPEATED)
    assert "same key bytes" in str(info.value) and not isinstance(info.value, Exception)
