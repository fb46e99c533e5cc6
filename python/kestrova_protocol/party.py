"""The protocol's steps, one function per step a party runs on its own machine.

Every function reads and writes files (see `files`), checks that its inputs
belong together before any work, and returns the closing figures of the step.
The streamed steps read their inputs in batches, hand each batch to a pure
function of `batches`, and write the results in order.
"""

from __future__ import annotations

import array
import contextlib
import csv
import dataclasses
import io
import itertools
import mmap
import os
import struct
import tempfile
from typing import Iterator, List, Optional, Sequence, Tuple, Union

from . import batches
from . import engine
from . import memory, resume
from . import keying as rowkey  # how rows become keys (the name `keying` is the steps' parameter)
from .errors import PartyError
from . import files, lineage
from .files import (Header, Input, Kind, Output, Outputs, PayloadOutput, check_writable, read_whole, verify_all,
                    write_whole)
from .lineage import ZERO, fingerprint, same
from .progress import Report
from .tables import Table

DEFAULT_BATCH = 10_000
COMPONENTS = ("sender", "receiver", "gamma", "delta")


@dataclasses.dataclass(frozen=True)
class Options:
    batch: int = DEFAULT_BATCH
    raw_in: bool = False   # accept inputs of bare protocol bytes (import)
    raw_out: bool = False  # write bare protocol bytes without a header (export)
    force: bool = False   # replace existing outputs
    quiet: bool = False   # no progress bars
    # Run the batches on this Dask scheduler, or on 'local:N' spawned workers (see `cluster`); these
    # import the calling script again, so a script keeps its work under `if __name__ == "__main__":`.
    dask: Optional[str] = None
    # The worker pool's size here, and on each local Dask worker (None: all cores here, shared out there).
    threads: Optional[int] = None
    # TLS settings for a cluster of one's own (a YAML or JSON file of distributed.Security's arguments).
    dask_security: Optional[str] = None
    # Continue an interrupted run of the same step from its last checkpoint.
    resume: bool = False

    @classmethod
    def from_args(cls, args) -> "Options":
        """From the command line's parsed arguments (a step's options that it lacks keep their defaults)."""
        raw = getattr(args, "raw", None)
        given = {name: getattr(args, name) for name in ("batch", "force", "quiet", "dask", "threads", "dask_security",
                                                            "resume")
                 if getattr(args, name, None) is not None}
        return cls(raw_in=raw in ("in", "both"), raw_out=raw in ("out", "both"), **given)


def _wipe(secret: bytearray) -> None:
    secret[:] = bytes(len(secret))


def _read_secret_key(path: str, raw: bool) -> Tuple[bytearray, bytes]:
    """The key (wipe it when done) and the fingerprint of its public key, worked out from the key itself."""
    _, secret = read_whole(path, Kind.SECRET_KEY, raw)
    return secret, fingerprint(batches.public_key_of(secret))


# p = 2^255 - 19; an encoding's y (its low 255 bits) must be below it.
_P = (1 << 255) - 19
_IDENTITY = bytes([1]) + bytes(31)
_EIGHT = bytes([8]) + bytes(31)


def _read_public_key(path: str, raw: bool) -> Tuple[bytes, bytes]:
    """A key to encrypt under: canonically encoded, on the curve, not of small order."""
    _, data = read_whole(path, Kind.PUBLIC_KEY, raw)
    key = bytes(data)
    if int.from_bytes(key, "little") & ((1 << 255) - 1) >= _P:
        raise PartyError(f"{path}: not a canonical point encoding")
    eight_times = batches.guarded(batches.decrypt_batch, key, _EIGHT)  # 8·P: the identity for small order
    if isinstance(eight_times, batches.Refused):
        raise PartyError(f"{path}: not a point of the curve")
    if eight_times == _IDENTITY:
        raise PartyError(f"{path}: a point of small order, which would reveal every row; not a public key")
    return key, fingerprint(key)


def _store_fingerprint(header: Header) -> bytes:
    return header.digest[:len(ZERO)]


def _refuse_other_batch(reference: Input, other: Input) -> None:
    mine, theirs = reference.header.batch_lineage(), other.header.batch_lineage()
    if not all(same(mine[name], theirs[name]) for name in mine):
        raise PartyError(f"{other.path}: belongs to another batch than {reference.path}")
    if reference.count != other.count:
        raise PartyError(f"{other.path}: {other.count:,} items, {reference.path} has {reference.count:,}")


def _call(step: str, fn, *args):
    """`fn(*args)`; a refusal by the module is one line."""
    result = batches.guarded(fn, *args)
    if isinstance(result, batches.Refused):
        raise PartyError(f"{step}: the module refused the data ({result.text})")
    return result


# ---------------------------------------------------------------- one call per step


def keygen(out: str, options: Optional[Options] = None) -> dict:
    """Writes OUT.pub and OUT.key (mode 0600)."""
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("keygen", True)
    if not out or out.endswith(os.sep) or os.path.basename(out) in ("", ".", ".."):
        raise PartyError(f"{out or 'an empty name'}: expected DIR/NAME for NAME.pub and NAME.key")
    check_writable([out + ".pub", out + ".key"], options.force, secret_keys=[out + ".key"])
    public, secret = engine.key_gen()
    own = fingerprint(public)
    try:
        with Outputs() as outputs:
            write_whole(outputs, out + ".pub", Header(Kind.PUBLIC_KEY, 1, key=own), public, options.raw_out,
                        options.force)
            write_whole(outputs, out + ".key", Header(Kind.SECRET_KEY, 1, key=own), secret, options.raw_out,
                        options.force, private=True)
    finally:
        _wipe(secret)
    return report.done(1, "key pair")


def _as_columns(columns: Sequence[Union[str, rowkey.Column]]) -> List[rowkey.Column]:
    return [c if isinstance(c, rowkey.Column) else rowkey.Column(c) for c in columns]


def _rules_of(columns: Sequence[rowkey.Column], keying: str) -> Optional[List[Tuple[str, ...]]]:
    if keying == rowkey.PLAIN:
        if any(c.rules for c in columns):
            raise PartyError("--keying plain keeps the strings as they are: no column normalisations")
        return None
    return [c.rules for c in columns]


def build_store(public_key_path: str, rows_path: str, columns: Sequence[Union[str, rowkey.Column]], out: str, *,
                keying: str = rowkey.NFC, options: Optional[Options] = None) -> dict:
    """`columns`: names, or `keying.Column`s with normalisations (recorded in the store)."""
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("build-store", options.quiet)
    check_writable([out], options.force, inputs=[public_key_path, rows_path])
    columns = _as_columns(columns)
    rules = _rules_of(columns, keying)
    try:
        packed = rowkey.pack_rules(columns) if rules is not None else bytes(rowkey.RULES_BYTES)
    except ValueError as e:
        raise PartyError(f"--columns: {e}") from None
    key, key_fp = _read_public_key(public_key_path, options.raw_in)
    table = Table(rows_path, [c.name for c in columns])
    with Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, Header(Kind.STORE, keying=rowkey.CODES[keying], rules=packed,
                                                       key=key_fp), options.raw_out, options.force))
        builder = engine.StoreBuilder(key, table.total or 0)
        # The module's own key bytes are the strings end to end: ["ab", "c"] and ["a", "bc"] are one row,
        # which the builder keeps once.
        held = 0
        with report.bar(table.total, "rows") as bar:
            for chunk in table.batches(options.batch, lambda cells: engine.key_bytes(rowkey.row_key(cells, keying,
                                                                                                  rules))):
                held = _built("build-store", builder.add, engine.pack_keys(chunk))
                bar.update(len(chunk))
        table.verify()
        report.phase(f"rows read: {held:,}")
        progress = _BuildProgress(report)
        try:
            counts = target.write_natively(lambda fd: _built("build-store", builder.write, fd, progress))
        finally:
            progress.close()
        if counts["duplicates"]:
            report.note(f"{rows_path}: {counts['duplicates']:,} repeated rows dropped (a store holds each row once)")
        target.header.count = counts["rows"]
        report.phase(f"store of {counts['bytes']:,} bytes built")
    return report.done(counts["rows"], "rows")


def _built(step: str, fn, *args):
    try:
        return fn(*args)
    except engine.Refusal as e:
        raise PartyError(f"{step}: {e}") from None


class _BuildProgress:
    """The builder's phases as progress lines; the encryption, the long one, as a bar."""

    def __init__(self, report: Report):
        self.report = report
        self.bar = None
        self.done = 0

    def __call__(self, phase: str, done: int, total: int) -> None:
        if phase != "rows encrypted":
            self.report.phase(f"{phase}: {done:,} rows")
            return
        if self.bar is None:
            self.report.phase(f"encrypting the rows' values: {total:,} rows")
            self.bar = self.report.bar(total, "rows")
            self.bar.__enter__()
        self.bar.update(done - self.done)
        self.done = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.__exit__(None, None, None)


# ---------------------------------------------------------------- streamed steps


def _batches(options: Options, step: str, fn, items, *shared) -> Iterator:
    if options.dask:
        from . import cluster
        return cluster.in_order(options.dask, options.threads, step, fn, items, *shared,
                                security=options.dask_security)
    return batches.in_order(step, fn, items, *shared)


def _stream(report: Report, total: Optional[int], results: Iterator, write, items_of,
            inputs: Sequence[Input] = (), journal: Optional[resume.Journal] = None) -> int:
    """Writes each batch's result (checkpointed by `journal`); then checks that the inputs were what their
    digests say. Returns the items written, those of a resumed run's earlier part included.

    A batch the module refuses is most often a damaged input: that is named
    instead, when the rest of the input shows it.
    """
    done = journal.items if journal else 0
    try:
        # Closed on a failed write too, which stops a cluster at once.
        with contextlib.closing(results), report.bar(total) as bar:
            if done:
                bar.update(done)
            for result in results:
                write(result)
                n = items_of(result)
                done += n
                if journal:
                    journal.advance(n)
                bar.update(n)
    except PartyError:
        verify_all(inputs)
        raise
    verify_all(inputs)
    return done


def _store_rules(path: str, header: Header, columns: Sequence[rowkey.Column], keying: str, option: str):
    """The normalisations the store was keyed with, applied to this side's columns."""
    given = _rules_of(columns, keying)
    if keying == rowkey.PLAIN:
        return None
    recorded = rowkey.unpack_rules(header.rules)
    if recorded is None:  # a bare store, or one that recorded nothing: NFC alone unless told otherwise
        return given if any(given) else None
    if len(recorded) != len(columns):
        raise PartyError(f"{path}: built over {len(recorded)} columns, {option} names {len(columns)}")
    if any(given) and [set(r) for r in given] != [set(r) for r in recorded]:
        raise PartyError(f"{path}: its columns were normalised as {rowkey.describe(recorded)}; "
                         f"{option} asks for {rowkey.describe(given)}")
    return recorded


def query(sender_store: str, receiver_store: str, central_key_path: str, transactions_path: str,
          sender_columns: Sequence[Union[str, rowkey.Column]], receiver_columns: Sequence[Union[str, rowkey.Column]],
          out: str, *, keying: str = rowkey.NFC, options: Optional[Options] = None) -> dict:
    """Each side's columns are keyed as its store records (`keying.Column` rules need not be repeated).

    One store is held at a time: the sender's lookups of every transaction
    first (their cells spilled to an unnamed temporary file beside the output,
    with the receivers' key bytes), then the receiver store's, each batch
    finished as its second lookups come. A store named as both sides is read
    once and both lookups made in one pass.
    """
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("query", options.quiet)
    claimed = resume.claim([out], options.resume)
    check_writable([out], options.force,
                   inputs=[sender_store, receiver_store, central_key_path, transactions_path])
    sides = (_as_columns(sender_columns), _as_columns(receiver_columns))
    sources, rules = [], []
    for path, columns, option in zip((sender_store, receiver_store), sides, ("--sender-columns",
                                                                             "--receiver-columns")):
        source = Input(path, (Kind.STORE,), options.raw_in)
        header = source.header
        if header.keying and rowkey.NAMES.get(header.keying) != keying:
            raise PartyError(f"{path}: built with --keying {rowkey.NAMES.get(header.keying, header.keying)}, "
                             f"this query uses --keying {keying}")
        rules.append(_store_rules(path, header, columns, keying, option))
        sources.append(source)
    a_source, b_source = sources
    one_store = _same_store(a_source, b_source)
    largest = max(s.payload_bytes for s in sources) * (1 if one_store or not options.dask else 2)
    # Beside the store: the interpreter and the tables' reader, and three batches in flight.
    memory.require("query", largest + _QUERY_WORKING_BYTES + 3 * 1024 * options.batch,
                   f"holding a store of {largest:,} bytes")
    central, central_fp = _read_public_key(central_key_path, options.raw_in)
    header = Header(Kind.QUERY, sender_store=_store_fingerprint(a_source.header),
                    receiver_store=_store_fingerprint(b_source.header), sender_key=a_source.header.key,
                    receiver_key=b_source.header.key, central_key=central_fp, batch=os.urandom(16))
    identity = {"stores": [resume.input_identity(s) for s in sources], "central": central_fp.hex(),
                "transactions": resume.file_identity(transactions_path), "keying": keying,
                "columns": [[(c.name, list(c.rules)) for c in side] for side in sides], "raw_out": options.raw_out}
    split = len(sides[0])

    def convert(cells):
        return (engine.key_bytes(rowkey.row_key(cells[:split], keying, rules[0])),
                engine.key_bytes(rowkey.row_key(cells[split:], keying, rules[1])))

    with resume.Journal("query", identity, claimed) as journal, Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, header, options.raw_out, options.force))
        skip = journal.start([target])
        if one_store:
            b_source.file.close()
            with _held_store(report, a_source, "sender and receiver", options) as store:
                table = Table(transactions_path, [c.name for c in sides[0] + sides[1]])
                keyed = ((engine.pack_keys([s for s, _ in chunk]), engine.pack_keys([r for _, r in chunk]))
                         for chunk in _rows_after(table, convert, skip, options.batch))
                results = _batches(options, "query", batches.query_batch, keyed, store, store, central)
                done = _stream(report, table.total, results, target.write, lambda r: len(r) // 128,
                               journal=journal)
                table.verify()
        else:
            with contextlib.closing(_Spill(os.path.dirname(os.path.abspath(out)))) as spill:
                with _held_store(report, a_source, "sender", options) as a_store:
                    table = Table(transactions_path, [c.name for c in sides[0] + sides[1]])
                    _first_lookups(report, table, _rows_after(table, convert, skip, options.batch), a_store,
                                   spill, skip)
                    table.verify()
                    del a_store  # let go of before the receiver store is read
                with _held_store(report, b_source, "receiver", options) as b_store:
                    report.phase("receiver lookups")
                    results = _batches(options, "query", batches.query_second_batch, spill.batches(), b_store,
                                       central, True)
                    done = _stream(report, table.total, results, target.write, lambda r: len(r) // 128,
                                   journal=journal)
    return report.done(done, "transactions")


# The interpreter, pyarrow and the table's reader beside the store: about 35 MB measured over a CSV
# at the default batch, with room for a Parquet file's row groups.
_QUERY_WORKING_BYTES = 512 << 20


def _same_store(a: Input, b: Input) -> bool:
    """The same file twice, or two files of the same digest: held and read once."""
    if os.path.samestat(os.fstat(a.file.fileno()), os.fstat(b.file.fileno())):
        return True
    return not a.raw and not b.raw and a.header.digest == b.header.digest


@contextlib.contextmanager
def _held_store(report: Report, source: Input, side: str, options: Options):
    """The store read into private memory (its digest checked as it is read), parsed once, and let go
    of at the end. Read, not mapped: another process truncating a mapped file would end this one with
    SIGBUS, and a file rewritten in place would change under the lookups."""
    size = source.payload_bytes
    report.phase(f"reading the {side} store {source.path}: {size:,} bytes")
    try:
        held = mmap.mmap(-1, size)
    except OSError as e:
        raise PartyError(f"query: holding the {side} store needs {memory.size(size)} of memory, which this "
                         f"process cannot get ({e.strerror})") from None
    if hasattr(mmap, "MADV_HUGEPAGE"):
        held.madvise(mmap.MADV_HUGEPAGE)  # fewer TLB misses for lookups spread over the whole store
    try:
        with memoryview(held) as view, report.bar(size, "B") as bar:
            source.read_into(view, bar.update)
        yield bytes(held) if options.dask else engine.as_store(held)
    finally:
        # Unmapped now unless a parse is still referenced; then when the last reference goes.
        with contextlib.suppress(BufferError):
            held.close()


def _rows_after(table: Table, convert, skip: int, size: int) -> Iterator[list]:
    """The table's rows, keyed, in chunks of `size`; the first `skip` (written before a resume) passed over."""
    seen = 0

    def keyed(cells):
        nonlocal seen
        seen += 1
        return None if seen <= skip else convert(cells)

    rows = itertools.islice(table.rows(keyed), skip, None)
    while True:
        chunk = list(itertools.islice(rows, size))
        if not chunk:
            return
        yield chunk


def _first_lookups(report: Report, table: Table, pairs, store, spill: "_Spill", skip: int):
    report.phase("sender lookups")
    halves = ((engine.pack_keys([s for s, _ in chunk]), engine.pack_keys([r for _, r in chunk])) for chunk in pairs)
    pending = []

    def keys_then_receivers():
        for senders, receivers in halves:
            pending.append(receivers)
            yield (senders,)

    cells = batches.in_order("query", batches.lookup_batch, keys_then_receivers(), store)
    with contextlib.closing(cells), report.bar(table.total, "tx") as bar:
        if skip:
            bar.update(skip)
        for result in cells:
            receivers = pending.pop(0)
            spill.add(result, receivers)
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
        try:
            self.file.write(self.FRAME.pack(len(offsets) - 1, len(key_bytes)))
            self.file.write(cells)
            self.file.write(offsets.tobytes())
            self.file.write(key_bytes)
        except OSError as e:
            raise PartyError(f"{self.folder}: cannot write query's temporary file ({e.strerror})") from None

    def batches(self) -> Iterator[tuple]:
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


def randomize(source: str, out: str, options: Optional[Options] = None) -> dict:
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("randomize", options.quiet)
    claimed = resume.claim([out], options.resume)
    check_writable([out], options.force, inputs=[source])
    queries = Input(source, (Kind.QUERY,), options.raw_in)
    identity = {"in": resume.input_identity(queries), "raw_out": options.raw_out}
    with resume.Journal("randomize", identity, claimed) as journal, Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, queries.header.derived(Kind.RANDOMIZED), options.raw_out,
                                           options.force))
        queries.skip(journal.start([target]))
        results = _batches(options, "randomize", batches.randomize_batch,
                           ((b,) for b in queries.batches(options.batch)))
        done = _stream(report, queries.count, results, target.write, lambda r: len(r) // 128, [queries], journal)
    return report.done(done, "ciphertexts")


def combine(first: str, second: str, out_prefix: str, options: Optional[Options] = None) -> dict:
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("combine", options.quiet)
    paths = [f"{out_prefix}.{c}" for c in COMPONENTS]
    if not out_prefix or out_prefix.endswith(os.sep):
        raise PartyError(f"{out_prefix or 'an empty prefix'}: expected DIR/PREFIX for PREFIX.sender and the rest")
    claimed = resume.claim(paths, options.resume)
    check_writable(paths, options.force, inputs=[first, second])
    a = Input(first, (Kind.RANDOMIZED,), options.raw_in)
    b = Input(second, (Kind.RANDOMIZED,), options.raw_in)
    _refuse_other_batch(a, b)
    if not a.raw and a.header.digest == b.header.digest:
        raise PartyError(f"{second}: the same ciphertexts as {first}; each bank randomises its own copy")
    kinds = (Kind.SENDER, Kind.RECEIVER, Kind.GAMMA, Kind.DELTA)
    known = a.header if a.header.batch != ZERO else b.header
    identity = {"in": [resume.input_identity(a), resume.input_identity(b)], "raw_out": options.raw_out}
    with resume.Journal("combine", identity, claimed) as journal, Outputs() as outputs:
        targets = [outputs.add(PayloadOutput(p, known.derived(k), options.raw_out, options.force))
                   for p, k in zip(paths, kinds)]
        skipped = journal.start(targets)
        a.skip(skipped)
        b.skip(skipped)

        def write(parts):
            for target, part in zip(targets, parts):
                target.write(part)

        pairs = zip(a.batches(options.batch), b.batches(options.batch))
        results = _batches(options, "combine", batches.combine_batch, pairs)
        done = _stream(report, a.count, results, write, lambda parts: len(parts[0]) // 32, [a, b], journal)
        # Each combination is a batch of its own: lists of two combinations of the same queries do not
        # mix. Set once both inputs are read, when a bare one's digest is known too.
        for target in targets:
            target.header.batch = fingerprint(known.batch + a.header.digest + b.header.digest)
    return report.done(done, "ciphertext pairs")


def decrypt(secret_key_path: str, source: str, out: str, *, side: Optional[str] = None,
            options: Optional[Options] = None) -> dict:
    """`side` (sender or receiver) only matters for a bare input read with --raw."""
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("decrypt", options.quiet)
    claimed = resume.claim([out], options.resume)
    check_writable([out], options.force, inputs=[secret_key_path, source])
    kinds = (Kind.SENDER, Kind.RECEIVER)
    if options.raw_in and side == "receiver":
        kinds = kinds[::-1]
    points = Input(source, kinds, options.raw_in)
    secret, own = _read_secret_key(secret_key_path, options.raw_in)
    try:
        is_sender = points.header.kind == Kind.SENDER
        bank = points.header.sender_key if is_sender else points.header.receiver_key
        if not same(bank, own):
            raise PartyError(f"{secret_key_path}: not the key of the bank whose store these "
                             f"{points.header.kind.label} were made with")
        result_kind = Kind.DECRYPTED_SENDER if is_sender else Kind.DECRYPTED_RECEIVER
        identity = {"in": resume.input_identity(points), "key": own.hex(), "raw_out": options.raw_out}
        with resume.Journal("decrypt", identity, claimed) as journal, Outputs() as outputs:
            target = outputs.add(PayloadOutput(out, points.header.derived(result_kind, decrypted_by=own),
                                               options.raw_out, options.force))
            points.skip(journal.start([target]))
            results = _batches(options, "decrypt", batches.decrypt_batch,
                               ((b,) for b in points.batches(options.batch)), secret)
            done = _stream(report, points.count, results, target.write, lambda r: len(r) // 32, [points],
                           journal)
    finally:
        _wipe(secret)
    return report.done(done, "points")


def finish(secret_key_path: str, sender: str, receiver: str, gamma: str, delta: str, out: str, *,
           transactions_path: Optional[str] = None, id_column: Optional[str] = None,
           options: Optional[Options] = None) -> dict:
    """Writes a CSV with a header: the transaction's id (or 0-based index) and true/false."""
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("finish", options.quiet)
    if id_column and not transactions_path:
        raise PartyError("--id-column needs --transactions")
    claimed = resume.claim([out], options.resume)
    check_writable([out], options.force, inputs=[secret_key_path, sender, receiver, gamma, delta, transactions_path])
    kinds = (Kind.DECRYPTED_SENDER, Kind.DECRYPTED_RECEIVER, Kind.GAMMA, Kind.DELTA)
    inputs = [Input(path, (kind,), options.raw_in) for path, kind in zip((sender, receiver, gamma, delta), kinds)]
    for other in inputs[1:]:
        _refuse_other_batch(inputs[0], other)
    for source, bank in ((inputs[0], "sender_key"), (inputs[1], "receiver_key")):
        if not same(source.header.decrypted_by, getattr(source.header, bank)):
            raise PartyError(f"{source.path}: decrypted with a key that is not the {bank.split('_')[0]} bank's")
    ids: Iterator[str] = (str(i) for i in itertools.count())
    table = None
    if transactions_path:
        table = Table(transactions_path, [id_column] if id_column else [])
        rows = table.rows(lambda cells: cells[0] if id_column else None)
        ids = (row if id_column else str(i) for i, row in enumerate(rows))
    secret, own = _read_secret_key(secret_key_path, options.raw_in)
    try:
        if not same(inputs[0].header.central_key, own):
            raise PartyError(f"{secret_key_path}: not the central key these points were made for")
        identity = {"in": [resume.input_identity(source) for source in inputs], "key": own.hex(),
                    "transactions": resume.file_identity(transactions_path) if transactions_path else None,
                    "id_column": id_column}
        with resume.Journal("finish", identity, claimed) as journal, Outputs() as outputs:
            target = outputs.add(Output(out, options.force))
            skipped = journal.start([target])
            if not skipped:
                target.write(_csv_line([id_column or "transaction", "match"]))
            for source in inputs:
                source.skip(skipped)
            for _ in itertools.islice(ids, skipped):
                pass
            matched = journal.extra.get("matched", 0)

            def write(flags: bytes):
                nonlocal matched
                matched += sum(flags)
                journal.extra["matched"] = matched
                lines = io.StringIO()
                writer = csv.writer(lines, lineterminator="\n")
                for flag in flags:
                    row_id = next(ids, None)
                    if row_id is None:
                        raise PartyError(f"{transactions_path}: fewer transactions than the {inputs[0].count:,} points")
                    writer.writerow([row_id, "true" if flag else "false"])
                target.write(lines.getvalue().encode("utf-8"))

            parts = zip(*(source.batches(options.batch) for source in inputs))
            results = _batches(options, "finish", batches.finish_batch, parts, secret)
            done = _stream(report, inputs[0].count, results, write, len, inputs, journal)
            if table and next(ids, None) is not None:
                raise PartyError(f"{transactions_path}: more transactions than the {inputs[0].count:,} points")
            if table:
                table.verify()
    finally:
        _wipe(secret)
    return report.done(done, "transactions", f"{matched:,} matched")


def inspect(path: str) -> List[str]:
    """A file's header in lines of text, its digest checked: for the people running the exchange."""
    source = Input(path, list(Kind))
    header = source.header
    lines = [f"file: {path}", f"kind: {header.kind.label}", f"format version: {files.VERSION}"]
    if header.kind == Kind.STORE:
        lines.append(f"rows: {header.count:,} ({source.payload_bytes:,} bytes)")
        lines.append(f"keying: {rowkey.NAMES.get(header.keying, 'not recorded')}")
        if header.keying == rowkey.CODES[rowkey.NFC]:
            lines.append(f"columns: {rowkey.describe(rowkey.unpack_rules(header.rules))}")
    else:
        lines.append(f"items: {header.count:,}")
    for name in lineage.fields_of(header.kind):
        value = getattr(header, name)
        lines.append(f"{LABELS[name]}: {value.hex() if value != ZERO else 'unknown (from a bare input)'}")
    try:
        source.verify()
        lines.append("checksum: matches")
    except PartyError as e:
        lines.append(f"checksum: {str(e).split(': ', 1)[1]}")
    return lines


LABELS = {"key": "key fingerprint", "sender_store": "sender store", "receiver_store": "receiver store",
          "sender_key": "sender bank key", "receiver_key": "receiver bank key", "central_key": "central key",
          "batch": "batch", "decrypted_by": "decrypted by key"}


def _csv_line(cells) -> bytes:
    lines = io.StringIO()
    csv.writer(lines, lineterminator="\n").writerow(cells)
    return lines.getvalue().encode("utf-8")
