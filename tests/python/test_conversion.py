"""Conversion of byte vectors and string rows, fast paths against the generic path."""
import collections.abc
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import kestrova

KEY = list(range(32))  # any 32 bytes are a valid secret key
IDENTITY = [1] + [0] * 31


class Seq(collections.abc.Sequence):
    """A sequence that only the generic (iterator) path can read."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class StrSub(str):
    pass


def forms(items):
    """The same byte items in every accepted container."""
    out = [list(items), tuple(items), Seq(items), iter_only(items)]
    if all(isinstance(i, int) and not isinstance(i, bool) and 0 <= i <= 255 for i in items):
        out += [bytes(items), bytearray(items)]
    return out


def iter_only(items):
    class IterSeq(Seq):
        def __getitem__(self, i):  # a sequence by type, iterated by __iter__
            raise AssertionError("not used")

        def __iter__(self):
            return iter(self.items)

    return IterSeq(items)


def outcome(f, *args):
    try:
        return ("ok", f(*args))
    except BaseException as e:  # noqa: B902 - panics are BaseException
        return ("err", type(e), str(e))


@settings(max_examples=25, deadline=None)
@given(st.lists(st.sampled_from([IDENTITY, [0] * 32, list(range(1, 33)), [5] * 32]), max_size=4))
def test_every_container_gives_the_same_result(points):
    flat = [b for p in points for b in p]
    results = {repr(outcome(kestrova.decrypt, form, KEY)) for form in forms(flat)}
    assert len(results) == 1


@pytest.mark.parametrize(
    "items, exc, message",
    [
        ([1, 256], OverflowError, "out of range integral type conversion attempted"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([2**70], OverflowError, None),
        ([1, 1.0], TypeError, "argument 'points': 'float' object cannot be interpreted as an integer"),
        ([1, "a"], TypeError, None),
        ([None], TypeError, None),
    ],
)
def test_item_errors_are_the_same_on_every_path(items, exc, message):
    seen = set()
    for form in forms(items):
        with pytest.raises(exc) as info:
            kestrova.decrypt(form, KEY)
        assert type(info.value) is exc
        seen.add(str(info.value))
    assert len(seen) == 1
    if message is not None:
        assert seen == {message}
    if exc is TypeError:
        assert seen.pop().startswith("argument 'points': ")
    else:
        assert not seen.pop().startswith("argument")


def test_index_objects_and_bools_are_bytes():
    ones = kestrova.decrypt([], [True] * 32)
    assert ones == []
    assert kestrova.decrypt(IDENTITY, [Index(1)] * 32) == kestrova.decrypt(IDENTITY, [1] * 32)
    assert kestrova.decrypt([Index(b) for b in IDENTITY], KEY) == kestrova.decrypt(IDENTITY, KEY)


@pytest.mark.parametrize(
    "value, exc, message",
    [
        ("abc", ValueError, "Can't extract `str` to `Vec`"),
        (StrSub("abc"), ValueError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'points': 'int' object cannot be converted to 'Sequence'"),
        ({1, 2}, TypeError, "argument 'points': 'set' object cannot be converted to 'Sequence'"),
        ((x for x in [1]), TypeError, "argument 'points': 'generator' object cannot be converted to 'Sequence'"),
        ({1: 2}, TypeError, "argument 'points': 'dict' object cannot be converted to 'Sequence'"),
    ],
)
def test_byte_vector_refusals(value, exc, message):
    with pytest.raises(exc) as info:
        kestrova.decrypt(value, KEY)
    assert type(info.value) is exc and str(info.value) == message


def test_range_and_memoryview_are_sequences():
    assert kestrova.decrypt(range(0), KEY) == []
    assert kestrova.decrypt(memoryview(bytes(IDENTITY)), KEY) == kestrova.decrypt(IDENTITY, KEY)


def test_conversion_stops_at_first_failing_argument():
    # The key is converted after the points: its error is not reached.
    with pytest.raises(OverflowError):
        kestrova.decrypt([300], "not even bytes")
    with pytest.raises(ValueError):
        kestrova.decrypt([], "str key")


def test_iterator_errors_pass_through_with_prefix_only_for_type_error():
    class Boom(Seq):
        def __init__(self, exc):
            super().__init__([])
            self.exc = exc

        def __iter__(self):
            raise self.exc

    with pytest.raises(ValueError, match="^boom$"):
        kestrova.decrypt(Boom(ValueError("boom")), KEY)
    with pytest.raises(TypeError, match="^argument 'points': boom$"):
        kestrova.decrypt(Boom(TypeError("boom")), KEY)

    class MyTypeError(TypeError):
        pass

    with pytest.raises(MyTypeError, match="^boom$"):
        kestrova.decrypt(Boom(MyTypeError("boom")), KEY)


def test_wrapped_type_error_keeps_the_cause():
    cause = KeyError("root")

    class Bad:
        def __index__(self):
            raise TypeError("inner") from cause

    with pytest.raises(TypeError) as info:
        kestrova.decrypt([Bad()], KEY)
    assert str(info.value) == "argument 'points': inner"
    assert info.value.__cause__ is cause


def test_failing_length_is_only_a_hint():
    class NoLen(Seq):
        def __len__(self):
            raise RuntimeError("no length")

    assert kestrova.decrypt(NoLen(IDENTITY), KEY) == kestrova.decrypt(IDENTITY, KEY)


LYING_LENGTH = r"""
import collections.abc, resource, sys
import kestrova

class Lying(collections.abc.Sequence):
    def __init__(self, items, claim):
        self.items, self.claim = list(items), claim
    def __len__(self):
        return self.claim
    def __getitem__(self, i):
        return self.items[i]  # IndexError past the real items ends the iteration

key, identity = list(range(32)), [1] + [0] * 31
expected = kestrova.decrypt(identity, key)  # also starts the worker threads
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
# No room for a gigabyte reservation.
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
claim = int(sys.argv[1])
assert kestrova.decrypt(Lying(identity, claim), key) == expected
assert kestrova.decrypt(Lying(identity, claim), Lying(key, claim)) == expected
rows = Lying([Lying(["a"], claim), Lying(["b"], claim)], claim)
assert len(kestrova.build_okvs(kestrova.key_gen()[0], rows)) == 2072 + 64 * 5
print("ok")
"""


@pytest.mark.parametrize("claim", [2**62, 10**9])
def test_lying_length_neither_fails_nor_reserves_its_claim(claim):
    done = subprocess.run([sys.executable, "-c", LYING_LENGTH, str(claim)], capture_output=True, text=True,
                          timeout=120)
    assert done.stdout == "ok\n", done.stderr


@pytest.mark.parametrize("where", [0, 1])  # first item, or after plain ints
def test_list_mutated_during_conversion_is_read_like_its_iterator(where):
    data = [1, 2, 3]

    class Shrink:
        def __index__(self):
            del data[2:]
            return 0

    data[where] = Shrink()
    # Both paths stop after the list shrank: 2 items converted, length check fails on them.
    with pytest.raises(BaseException, match=r"source slice length \(2\)"):
        kestrova.decrypt([], data)


ROWS = [["alice", "Zürich"], [], ["\U0001f600", StrSub("x")], ["bob", ""]]


def test_string_rows_in_every_container_alike():
    # Equal key bytes are refused with the same message whatever container carried the rows.
    rows = [["ab", "c"], ["abc"]]
    variants = [rows, tuple(map(tuple, rows)), Seq([Seq(r) for r in rows]), [Seq(r) for r in rows]]
    seen = {repr(outcome(kestrova.build_okvs, kestrova.key_gen()[0], v)[1:]) for v in variants}
    assert len(seen) == 1


@pytest.mark.parametrize(
    "rows, exc, message",
    [
        ("abc", ValueError, "Can't extract `str` to `Vec`"),
        (["ab"], ValueError, "Can't extract `str` to `Vec`"),
        ([["a", 1]], TypeError, "argument 'strings_in_each_row': 'int' object cannot be converted to 'PyString'"),
        ([[b"a"]], TypeError, "argument 'strings_in_each_row': 'bytes' object cannot be converted to 'PyString'"),
        ([5], TypeError, "argument 'strings_in_each_row': 'int' object cannot be converted to 'Sequence'"),
        ([{"a"}], TypeError, "argument 'strings_in_each_row': 'set' object cannot be converted to 'Sequence'"),
        (iter([]), TypeError, "argument 'strings_in_each_row': 'list_iterator' object cannot be converted to 'Sequence'"),
        ([["\ud800"]], UnicodeEncodeError, None),
    ],
)
def test_string_row_refusals(rows, exc, message):
    pk = kestrova.key_gen()[0]
    with pytest.raises(exc) as info:
        kestrova.build_okvs(pk, rows)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_string_rows_accept_subclasses_and_unicode():
    pk = kestrova.key_gen()[0]
    store = kestrova.build_okvs(pk, ROWS)
    assert len(store) == 2072 + 64 * 10  # m = ceil(2.4 * 4)


def test_result_types():
    pk, sk = kestrova.key_gen()
    assert type(pk) is list and type(sk) is list
    assert all(type(b) is int for b in pk + sk)
    parts = kestrova.combine([], [])
    assert type(parts) is tuple and len(parts) == 4 and all(p == [] for p in parts)
    flags = kestrova.finish(IDENTITY, IDENTITY, IDENTITY, IDENTITY, KEY)
    assert flags == [True] and type(flags[0]) is bool
