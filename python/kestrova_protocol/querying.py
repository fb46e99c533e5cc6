"""The central party's query: both stores' cells for every transaction, as query ciphertexts."""

from __future__ import annotations

import array
import contextlib
import mmap
import os
import struct
import tempfile
from typing import TYPE_CHECKING, Any, Iterator, List, Optional, Tuple

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.compute as pc
else:
    from .arrow import pa, pc

from . import batches, engine, memory, resume
from . import keying as rowkey  # how rows become keys (the name `keying` is the steps' parameter)
from .commit import Outputs
from .errors import PartyError
from .header import Header, Kind
from .inputs import Input
from .keyer import as_columns, keyer, numbered, portable, rebatched, store_rules
from .outputs import PayloadOutput, check_writable
from .progress import Report
from .steps import (ColumnSpec, Options, Summary, digests, local_output, read_public_key, run_batches,
                    store_fingerprint, stream, table_identity)
from .table_sources import TableSource, local_path
from .tables import Table


def query(sender_store: str, receiver_store: str, central_key_path: str, transactions: TableSource,
          sender_columns: ColumnSpec, receiver_columns: ColumnSpec, out: str, *, keying: Optional[str] = None,
          options: Optional[Options] = None) -> Summary:
    """One query ciphertext per transaction: `transactions` a CSV or Parquet file (a path or fsspec URL)
    or an in-memory table. Each side's columns are keyed as its store records (`keying.Column` rules
    need not be repeated). `keying` defaults to nfc; a bare store (read with raw_in) records no keying,
    so it needs `keying` given.

    One store is held at a time: the sender's lookups of every transaction
    first (their cells spilled to an unnamed temporary file beside the output,
    with the receivers' key bytes), then the receiver store's, each batch
    finished as its second lookups come. A store named as both sides is read
    once and both lookups made in one pass."""
    options = options or Options()
    explicit = keying is not None
    keying = keying or rowkey.NFC
    threads = engine.use_threads(options.threads)
    report = Report("query", options.quiet)
    out = local_output(out)
    claimed = resume.claim([out], options.resume)
    check_writable([out], options.force,
                   inputs=[sender_store, receiver_store, central_key_path, local_path(transactions)])
    sides = (as_columns(sender_columns), as_columns(receiver_columns))
    sources, rules = [], []
    for path, columns, option in zip((sender_store, receiver_store), sides, ("--sender-columns",
                                                                             "--receiver-columns")):
        source = Input(path, (Kind.STORE,), options.raw_in)
        if source.raw and not explicit:
            raise PartyError(f"{path}: a bare store does not say how its rows were keyed; give --keying "
                             "(plain for one built by kestrova.build_okvs)")
        header = source.header
        if header.keying and rowkey.NAMES.get(header.keying) != keying:
            raise PartyError(f"{path}: built with --keying {rowkey.NAMES.get(header.keying, header.keying)}, "
                             f"this query uses --keying {keying}")
        if header.tables and header.tables != rowkey.TABLES_VERSION:
            raise PartyError(f"{path}: keyed with rules tables version {header.tables}, this kestrova-party "
                             f"has version {rowkey.TABLES_VERSION}: both sides must key with one version")
        rules.append(store_rules(path, header, columns, keying, option))
        sources.append(source)
    a_source, b_source = sources
    one_store = _same_store(a_source, b_source)
    largest = max(s.payload_bytes for s in sources) * (1 if one_store or not options.dask else 2)
    # Beside the store: the interpreter and the tables' reader, and three batches in flight.
    memory.require("query", largest + _QUERY_WORKING_BYTES + 3 * 1024 * options.batch,
                   f"holding a store of {largest:,} bytes")
    central, central_fp = read_public_key(central_key_path, options.raw_in)
    # A column may serve both sides (one store as both): read once, handed to each.
    named = [c.name for c in sides[0] + sides[1]]
    table = Table(transactions, list(dict.fromkeys(named)))
    where = [list(dict.fromkeys(named)).index(name) for name in named]
    header = Header(Kind.QUERY, sender_store=store_fingerprint(a_source.header),
                    receiver_store=store_fingerprint(b_source.header), sender_key=a_source.header.key,
                    receiver_key=b_source.header.key, central_key=central_fp, batch=os.urandom(16))
    identity = {"stores": [resume.input_identity(s) for s in sources], "central": central_fp.hex(),
                "transactions": table_identity(transactions, options.resume), "keying": keying,
                "columns": [[(c.name, list(c.rules)) for c in side] for side in sides], "raw_out": options.raw_out}
    split = len(sides[0])
    sender_keys, receiver_keys = keyer(table, keying, rules[0]), keyer(table, keying, rules[1])

    invalid = 0

    def sides(batch):
        """Both sides' keys of a batch's transactions, those written before a resume passed over."""
        start, n, read = batch
        first = min(n, max(0, skip - start))
        if first == n:
            return None
        cells = [read[i].slice(first) if first else read[i] for i in where]
        return (sender_keys(start + first, n - first, cells[:split]),
                receiver_keys(start + first, n - first, cells[split:]))

    def keyed() -> Iterator[Tuple[pa.Array, pa.Array]]:
        """Both sides' keys per transaction, keyed on the engine's threads too (the sender's lookups
        alone keep them busy for less time than the keying takes)."""
        nonlocal invalid
        with contextlib.closing(batches.ahead(sides, numbered(table), threads)) as each:
            for found in each:
                if found is None:
                    continue
                (senders, s_bad), (receivers, r_bad) = found
                # A transaction's invalid IBAN is keyed as it stands: no store holds it, so it cannot match.
                masks = [m for m in (s_bad, r_bad) if m is not None]
                if masks:
                    invalid += (pc.or_(*masks) if len(masks) == 2 else masks[0]).true_count
                yield senders, receivers

    def pairs() -> Iterator[Tuple[engine.Keys, engine.Keys]]:
        for senders, receivers in rebatched(keyed(), options.batch):
            pair = engine.arrow_keys(senders), engine.arrow_keys(receivers)
            yield (portable(pair[0]), portable(pair[1])) if options.dask else pair

    with resume.Journal("query", identity, claimed) as journal, Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, header, options.raw_out, options.force))
        skip = journal.start([target])
        if one_store:
            b_source.file.close()
            with _held_store(report, a_source, "sender and receiver", options, journal) as store:
                results = run_batches(options, "query", engine.query, pairs(), store, store, central)
                done = stream(report, table.total, results, target.write, lambda r: len(r) // 128,
                              measure=table.progress, journal=journal)
                table.verify()
        else:
            with contextlib.closing(_Spill(os.path.dirname(os.path.abspath(out)))) as spill:
                with _held_store(report, a_source, "sender", options) as a_store:
                    _first_lookups(report, table, pairs(), a_store, spill, skip)
                    table.verify()
                    del a_store  # let go of before the receiver store is read
                with _held_store(report, b_source, "receiver", options, journal) as b_store:
                    report.phase("receiver lookups")
                    results = run_batches(options, "query", engine.query_second, spill.batches(), b_store,
                                          central, True)
                    done = stream(report, table.total, results, target.write, lambda r: len(r) // 128,
                                  journal=journal)
    if invalid:
        report.note(f"{table.name}: {invalid:,} transactions with an invalid IBAN (they cannot match)",
                    invalid_ibans=invalid)
    return report.done(done, "transactions", invalid_ibans=invalid, digests=digests(outputs))


# The interpreter, pyarrow and the table's reader beside the store: about 35 MB measured over a CSV
# at the default batch, with room for a Parquet file's row groups.
_QUERY_WORKING_BYTES = 512 << 20


def _same_store(a: Input, b: Input) -> bool:
    """The same file twice, or two files of the same digest: held and read once."""
    if os.path.samestat(os.fstat(a.file.fileno()), os.fstat(b.file.fileno())):
        return True
    return not a.raw and not b.raw and a.header.digest == b.header.digest


@contextlib.contextmanager
def _held_store(report: Report, source: Input, side: str, options: Options,
                journal: Optional[resume.Journal] = None) -> Iterator[Any]:
    """The store read into private memory, parsed once, and let go of at the end. Read, not mapped: another
    process truncating a mapped file would end this one with SIGBUS, and a file rewritten in place would
    change under the lookups. Its digest is checked on a thread beside the lookups, before the end (and
    before `journal` keeps a checkpoint made with it): read and hashed in turn, a large store would wait
    for a digest that is slower than the disk."""
    size = source.held_bytes
    report.phase(f"reading the {side} store {source.path}: {source.payload_bytes:,} bytes",
                 bytes=source.payload_bytes)
    try:
        # Private: a shared anonymous mapping is shared memory, which the kernel gives no huge pages.
        held = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    except OSError as e:
        raise PartyError(f"query: holding the {side} store needs {memory.size(size)} of memory, which this "
                         f"process cannot get ({e.strerror})") from None
    if hasattr(mmap, "MADV_HUGEPAGE"):
        held.madvise(mmap.MADV_HUGEPAGE)  # fewer TLB misses for lookups spread over the whole store
    start, end = source.payload_offset, source.payload_offset + source.payload_bytes
    payload = None
    try:
        with memoryview(held) as view, report.bar(end, "B", f"reading the {side} store") as bar:
            source.read_held(view, bar.update)
        payload = memoryview(held)[start:end]
        if journal is not None:
            journal.wait_for(source.hashed)
        yield bytes(payload) if options.dask else engine.parse_store(payload)
        if not source.hashed():
            report.phase(f"checking the {side} store's digest")
            source.verify()
    finally:
        source.close()
        # Unmapped now unless a parse is still referenced; then when the last reference goes.
        with contextlib.suppress(BufferError):
            if payload is not None:
                payload.release()
            held.close()


def _first_lookups(report: Report, table: Table, pairs: Iterator[Tuple[engine.Keys, engine.Keys]], store: Any,
                   spill: "_Spill", skip: int) -> None:
    report.phase("sender lookups")
    pending: List[engine.Keys] = []

    def keys_then_receivers() -> Iterator[Tuple[engine.Keys]]:
        for senders, receivers in pairs:
            pending.append(receivers)
            yield (senders,)

    cells = batches.in_order("query", engine.lookup, keys_then_receivers(), store)
    with contextlib.closing(cells), report.bar(table.total, "tx", "sender lookups", table.progress) as bar:
        if skip:
            bar.update(skip)
        for result in cells:
            spill.add(result, pending.pop(0))
            bar.update(len(result) // 64)


class _Spill:
    """The first side's cells and the second side's key bytes, batch by batch, in a file without a name
    (gone with the process, however it ends)."""

    FRAME = struct.Struct("<QQ")

    def __init__(self, folder: str):
        self.folder = folder
        try:
            self.file = tempfile.TemporaryFile(dir=folder)
        except OSError as e:
            raise PartyError(f"{folder}: cannot write a temporary file ({e.strerror})") from None

    def add(self, cells: bytes, keys: engine.Keys) -> None:
        key_bytes, offsets = keys
        # Arrow's offsets may start past 0 and be 32-bit: stored from 0, as 64-bit.
        first, last = offsets[0], offsets[len(offsets) - 1]
        wide = array.array("q", (o - first for o in offsets)) if first or offsets.typecode != "q" else offsets
        try:
            self.file.write(self.FRAME.pack(len(offsets) - 1, last - first))
            self.file.write(cells)
            self.file.write(wide.tobytes())
            self.file.write(memoryview(key_bytes)[first:last])
        except OSError as e:
            raise PartyError(f"{self.folder}: cannot write query's temporary file ({e.strerror})") from None

    def batches(self) -> Iterator[Tuple[bytes, engine.Keys]]:
        self.file.flush()
        self.file.seek(0)
        while True:
            frame = self.file.read(self.FRAME.size)
            if not frame:
                return
            n, length = self.FRAME.unpack(frame)
            cells = self.file.read(64 * n)
            offsets = array.array("q")
            offsets.frombytes(self.file.read(8 * (n + 1)))
            yield cells, (self.file.read(length), offsets)

    def close(self) -> None:
        self.file.close()
