import pyarrow as pa
import pytest

from kestrova_protocol.errors import PartyError
from kestrova_protocol.progress import Report
from kestrova_protocol.tables import Table
from kestrova_protocol.transaction_ids import Ids

IDS = [f"t{i}" for i in range(40)]


def reader(chunk: int, count: int = len(IDS)) -> Ids:
    ids = pa.array(IDS)
    batches = [pa.record_batch([ids.slice(s, chunk)], names=["id"]) for s in range(0, len(IDS), chunk)]
    return Ids(Report("finish", True), Table(pa.Table.from_batches(batches), ["id"], text=False), "id", count)


# The flags' batches and the table's fall anywhere against each other.
@pytest.mark.parametrize("chunk, cut", [(7, 5), (5, 7), (10, 10), (1, 3), (40, 1), (3, 40)])
def test_ids_are_handed_out_in_the_flags_batches_whatever_the_tables(chunk, cut):
    ids = reader(chunk)
    got = []
    for start in range(0, len(IDS), cut):
        n = min(cut, len(IDS) - start)
        assert ids.ready(start + n)
        got.extend(ids.take(start, n).to_pylist())
    assert got == IDS
    assert ids.column().to_pylist() == IDS


def test_a_resumed_finish_takes_its_ids_from_where_it_stopped():
    ids = reader(6)
    assert ids.ready(len(IDS))
    assert ids.take(17, 9).to_pylist() == IDS[17:26]
    assert ids.take(26, 14).to_pylist() == IDS[26:]


@pytest.mark.parametrize("count, message", [(39, "more transactions than the 39 points"),
                                            (41, "fewer transactions than the 41 points")])
def test_a_count_unlike_the_points_is_raised_to_the_caller(count, message):
    ids = reader(8, count)
    with pytest.raises(PartyError, match=message):
        ids.ready(count + 1)
    with pytest.raises(PartyError, match=message):
        ids.column()
    assert not ids.checked()
