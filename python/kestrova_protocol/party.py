"""The protocol's steps, one function per step a party runs on its own machine.

Every function reads and writes files (see `files`), checks that its inputs
belong together before any work, and returns the closing figures of the step.
The streamed steps read their inputs in batches, hand each batch to a pure
function of `batches`, and write the results in order.
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import io
import os
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import pyarrow as pa
import pyarrow.compute as pc

from . import batches
from . import engine
from . import keying as rowkey  # how rows become keys (the name `keying` is the steps' parameter)
from .errors import PartyError
from . import files, lineage
from .files import (Header, Input, Kind, Output, Outputs, PayloadOutput, check_writable, read_whole, verify_all,
                    write_whole)
from .lineage import ZERO, fingerprint, same
from .progress import Report
from .tables import Table, TableSource, is_url, local_path

# What each step returns: its closing figures (step, items, seconds, and the step's own).
Summary = Dict[str, Any]
ColumnSpec = Sequence[Union[str, rowkey.Column]]

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

    @classmethod
    def from_args(cls, args) -> "Options":
        """From the command line's parsed arguments (a step's options that it lacks keep their defaults)."""
        raw = getattr(args, "raw", None)
        given = {name: getattr(args, name) for name in ("batch", "force", "quiet", "dask", "threads", "dask_security")
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


def keygen(out: str, options: Optional[Options] = None) -> Summary:
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
    return report.done(1, "key pair", digests=_digests(outputs))


def _as_columns(columns: Sequence[Union[str, rowkey.Column]]) -> List[rowkey.Column]:
    return [c if isinstance(c, rowkey.Column) else rowkey.Column(c) for c in columns]


def _rules_of(columns: Sequence[rowkey.Column], keying: str) -> Optional[List[Tuple[str, ...]]]:
    if keying == rowkey.PLAIN:
        if any(c.rules for c in columns):
            raise PartyError("--keying plain keeps the strings as they are: no column normalisations")
        return None
    return [c.rules for c in columns]


def build_store(public_key_path: str, rows: TableSource, columns: ColumnSpec, out: str, *,
                keying: str = rowkey.NFC, options: Optional[Options] = None) -> Summary:
    """A bank's store over its rows: `rows` a CSV or Parquet file (a path or fsspec URL) or an in-memory
    table (pyarrow, pandas, Polars...); `columns`: names, or `keying.Column`s with normalisations
    (recorded in the store)."""
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("build-store", options.quiet)
    out = _local_output(out)
    check_writable([out], options.force, inputs=[public_key_path, local_path(rows)])
    columns = _as_columns(columns)
    rules = _rules_of(columns, keying)
    try:
        packed = rowkey.pack_rules(columns) if rules is not None else bytes(rowkey.RULES_BYTES)
    except ValueError as e:
        raise PartyError(f"--columns: {e}") from None
    key, key_fp = _read_public_key(public_key_path, options.raw_in)
    table = Table(rows, [c.name for c in columns])
    keys_of = _keyer(table, keying, rules)
    with Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, Header(Kind.STORE, keying=rowkey.CODES[keying], rules=packed,
                                                       key=key_fp), options.raw_out, options.force))
        builder = engine.StoreBuilder(key, table.total or 0)
        # The module's own key bytes are the strings end to end: ["ab", "c"] and ["a", "bc"] are one row,
        # which the builder keeps once.
        held = 0
        with report.bar(table.total, "rows", f"reading {table.name}", table.progress) as bar:
            for n, cells in table.batches():
                if n:
                    held = _built("build-store", builder.add, engine.arrow_keys(keys_of(n, cells)))
                bar.update(n)
        table.verify()
        # What Arrow's allocator keeps of the table's batches goes back before the store takes its memory.
        pa.default_memory_pool().release_unused()
        report.phase(f"rows read: {held:,}", rows=held)
        progress = _BuildProgress(report)
        try:
            counts = target.write_natively(lambda fd: _built("build-store", builder.write, fd, progress))
        finally:
            progress.close()
        if counts["duplicates"]:
            report.note(f"{table.name}: {counts['duplicates']:,} repeated rows dropped (a store holds each row once)",
                        duplicates=counts["duplicates"])
        target.header.count = counts["rows"]
        report.phase(f"store of {counts['bytes']:,} bytes built", bytes=counts["bytes"])
    return report.done(counts["rows"], "rows", duplicates=counts["duplicates"], digests=_digests(outputs))


def _local_output(path: str) -> str:
    """Outputs are committed all or nothing on this machine's file system only."""
    path = os.fspath(path)
    if is_url(path):
        local = local_path(path)
        if local is None:
            raise PartyError(f"{path}: outputs are written on this machine only (object storage cannot take "
                             "them all or nothing); write the file here, then copy it")
        return local
    return path


def _digests(outputs: Outputs) -> Dict[str, str]:
    return {o.path: o.header.digest.hex() for o in outputs.items
            if isinstance(o, PayloadOutput) and not o.raw}


def _keyer(table: Table, keying: str, rules: Optional[Sequence[Sequence[str]]]
           ) -> Callable[[int, List[pa.Array]], pa.Array]:
    """Text columns to one key column, in bulk: as `keying.row_key` does per row."""

    def keys(n: int, columns: List[pa.Array]) -> pa.Array:
        if keying == rowkey.PLAIN:
            return columns[0] if len(columns) == 1 else pc.binary_join_element_wise(*columns, "")
        normal = [rowkey.normalise_column(c, r) for c, r in zip(columns, rules or [()] * len(columns))]
        try:
            return rowkey.join_columns(normal)
        except ValueError as e:
            first = min(i for i in (pc.index(pc.match_substring(c, rowkey.SEPARATOR), True).as_py()
                                     for c in columns) if i >= 0)
            raise PartyError(f"{table.where(table.rows_read - n + first + 1)}: {e}") from None
    return keys


def _contiguous(values: pa.ChunkedArray) -> pa.Array:
    return values.chunk(0) if values.num_chunks == 1 else pa.concat_arrays(values.chunks)


def _rebatched(pieces: Iterator[Tuple[pa.Array, ...]], size: int) -> Iterator[Tuple[pa.Array, ...]]:
    """Aligned columns in batches of exactly `size` rows (the last one shorter)."""
    held: List[Tuple[pa.Array, ...]] = []
    count = 0
    for piece in pieces:
        if not len(piece[0]):
            continue
        held.append(piece)
        count += len(piece[0])
        while count >= size:
            columns = [pa.chunked_array([h[i] for h in held], held[0][i].type) for i in range(len(held[0]))]
            yield tuple(_contiguous(c.slice(0, size)) for c in columns)
            held = list(zip(*(c.slice(size).chunks for c in columns)))
            count -= size
    if count:
        columns = [pa.chunked_array([h[i] for h in held], held[0][i].type) for i in range(len(held[0]))]
        yield tuple(_contiguous(c) for c in columns)


def _portable(keys: engine.Keys) -> engine.Keys:
    """Key bytes a Dask worker can be sent (views of Arrow buffers cannot be pickled)."""
    data, offsets = keys
    return bytes(data), offsets


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
            inputs: Sequence[Input] = (), measure=None) -> int:
    """Writes each batch's result; then checks that the inputs were what their digests say.

    A batch the module refuses is most often a damaged input: that is named
    instead, when the rest of the input shows it.
    """
    done = 0
    try:
        # Closed on a failed write too, which stops a cluster at once.
        with contextlib.closing(results), report.bar(total, measure=measure) as bar:
            for result in results:
                write(result)
                n = items_of(result)
                done += n
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


def query(sender_store: str, receiver_store: str, central_key_path: str, transactions: TableSource,
          sender_columns: ColumnSpec, receiver_columns: ColumnSpec, out: str, *, keying: str = rowkey.NFC,
          options: Optional[Options] = None) -> Summary:
    """One query ciphertext per transaction: `transactions` a CSV or Parquet file (a path or fsspec URL)
    or an in-memory table. Each side's columns are keyed as its store records (`keying.Column` rules
    need not be repeated)."""
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("query", options.quiet)
    out = _local_output(out)
    check_writable([out], options.force,
                   inputs=[sender_store, receiver_store, central_key_path, local_path(transactions)])
    sides = (_as_columns(sender_columns), _as_columns(receiver_columns))
    stores, rules = [], []
    for path, columns, option in zip((sender_store, receiver_store), sides, ("--sender-columns",
                                                                             "--receiver-columns")):
        source = Input(path, (Kind.STORE,), options.raw_in)
        # Read into memory once, its digest checked, and parsed once for every batch. Not mapped:
        # another process truncating a mapped file would end this one with SIGBUS.
        with report.bar(source.payload_bytes, "bytes", f"reading {path}") as bar:
            data = source.read_all(bar.update)
        header = source.header
        if header.keying and rowkey.NAMES.get(header.keying) != keying:
            raise PartyError(f"{path}: built with --keying {rowkey.NAMES.get(header.keying, header.keying)}, "
                             f"this query uses --keying {keying}")
        rules.append(_store_rules(path, header, columns, keying, option))
        # A worker elsewhere gets the bytes once and parses them per batch, without a copy.
        stores.append((header, bytes(data) if options.dask else engine.as_store(data)))
    (a_header, a_store), (b_header, b_store) = stores
    central, central_fp = _read_public_key(central_key_path, options.raw_in)
    table = Table(transactions, [c.name for c in sides[0] + sides[1]])
    split = len(sides[0])
    sender_keys, receiver_keys = _keyer(table, keying, rules[0]), _keyer(table, keying, rules[1])

    def keyed() -> Iterator[Tuple[pa.Array, ...]]:
        for n, cells in table.batches():
            yield sender_keys(n, cells[:split]), receiver_keys(n, cells[split:])

    def transposed() -> Iterator[Tuple[engine.Keys, engine.Keys]]:
        for senders, receivers in _rebatched(keyed(), options.batch):
            pair = engine.arrow_keys(senders), engine.arrow_keys(receivers)
            yield (_portable(pair[0]), _portable(pair[1])) if options.dask else pair

    header = Header(Kind.QUERY, sender_store=_store_fingerprint(a_header),
                    receiver_store=_store_fingerprint(b_header), sender_key=a_header.key,
                    receiver_key=b_header.key, central_key=central_fp, batch=os.urandom(16))
    with Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, header, options.raw_out, options.force))
        results = _batches(options, "query", batches.query_batch, transposed(), a_store, b_store, central)
        done = _stream(report, table.total, results, target.write, lambda r: len(r) // 128,
                       measure=table.progress)
        table.verify()
    return report.done(done, "transactions", digests=_digests(outputs))


def randomize(source: str, out: str, options: Optional[Options] = None) -> Summary:
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("randomize", options.quiet)
    check_writable([out], options.force, inputs=[source])
    queries = Input(source, (Kind.QUERY,), options.raw_in)
    with Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, queries.header.derived(Kind.RANDOMIZED), options.raw_out,
                                           options.force))
        results = _batches(options, "randomize", batches.randomize_batch,
                           ((b,) for b in queries.batches(options.batch)))
        done = _stream(report, queries.count, results, target.write, lambda r: len(r) // 128, [queries])
    return report.done(done, "ciphertexts", digests=_digests(outputs))


def combine(first: str, second: str, out_prefix: str, options: Optional[Options] = None) -> Summary:
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("combine", options.quiet)
    paths = [f"{out_prefix}.{c}" for c in COMPONENTS]
    if not out_prefix or out_prefix.endswith(os.sep):
        raise PartyError(f"{out_prefix or 'an empty prefix'}: expected DIR/PREFIX for PREFIX.sender and the rest")
    check_writable(paths, options.force, inputs=[first, second])
    a = Input(first, (Kind.RANDOMIZED,), options.raw_in)
    b = Input(second, (Kind.RANDOMIZED,), options.raw_in)
    _refuse_other_batch(a, b)
    if not a.raw and a.header.digest == b.header.digest:
        raise PartyError(f"{second}: the same ciphertexts as {first}; each bank randomises its own copy")
    kinds = (Kind.SENDER, Kind.RECEIVER, Kind.GAMMA, Kind.DELTA)
    known = a.header if a.header.batch != ZERO else b.header
    with Outputs() as outputs:
        targets = [outputs.add(PayloadOutput(p, known.derived(k), options.raw_out, options.force))
                   for p, k in zip(paths, kinds)]

        def write(parts):
            for target, part in zip(targets, parts):
                target.write(part)

        pairs = zip(a.batches(options.batch), b.batches(options.batch))
        results = _batches(options, "combine", batches.combine_batch, pairs)
        done = _stream(report, a.count, results, write, lambda parts: len(parts[0]) // 32, [a, b])
        # Each combination is a batch of its own: lists of two combinations of the same queries do not
        # mix. Set once both inputs are read, when a bare one's digest is known too.
        for target in targets:
            target.header.batch = fingerprint(known.batch + a.header.digest + b.header.digest)
    return report.done(done, "ciphertext pairs", digests=_digests(outputs))


def decrypt(secret_key_path: str, source: str, out: str, *, side: Optional[str] = None,
            options: Optional[Options] = None) -> Summary:
    """`side` (sender or receiver) only matters for a bare input read with --raw."""
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("decrypt", options.quiet)
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
        with Outputs() as outputs:
            target = outputs.add(PayloadOutput(out, points.header.derived(result_kind, decrypted_by=own),
                                               options.raw_out, options.force))
            results = _batches(options, "decrypt", batches.decrypt_batch,
                               ((b,) for b in points.batches(options.batch)), secret)
            done = _stream(report, points.count, results, target.write, lambda r: len(r) // 32, [points])
    finally:
        _wipe(secret)
    return report.done(done, "points", digests=_digests(outputs))


def finish(secret_key_path: str, sender: str, receiver: str, gamma: str, delta: str, out: Optional[str] = None,
           *, transactions: Optional[TableSource] = None, id_column: Optional[str] = None,
           options: Optional[Options] = None, transactions_path: Optional[str] = None) -> Summary:
    """The flags: returned as `summary["flags"]`, a pyarrow Table aligned with the transactions (the id
    column, or `transaction` for the 0-based index, then `match`), with `summary["matched"]`; also
    written to `out` where given, as CSV with a header, or Parquet for a name ending in .parquet.

    `transactions` (a file, URL or in-memory table; `transactions_path` is its older name) gives the ids.
    """
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("finish", options.quiet)
    transactions = transactions if transactions is not None else transactions_path
    if id_column and transactions is None:
        raise PartyError("--id-column needs --transactions")
    if out is not None:
        out = _local_output(out)
    check_writable([out] if out is not None else [], options.force,
                   inputs=[secret_key_path, sender, receiver, gamma, delta, local_path(transactions)])
    kinds = (Kind.DECRYPTED_SENDER, Kind.DECRYPTED_RECEIVER, Kind.GAMMA, Kind.DELTA)
    inputs = [Input(path, (kind,), options.raw_in) for path, kind in zip((sender, receiver, gamma, delta), kinds)]
    for other in inputs[1:]:
        _refuse_other_batch(inputs[0], other)
    for source, bank in ((inputs[0], "sender_key"), (inputs[1], "receiver_key")):
        if not same(source.header.decrypted_by, getattr(source.header, bank)):
            raise PartyError(f"{source.path}: decrypted with a key that is not the {bank.split('_')[0]} bank's")
    count = inputs[0].count
    ids: Optional[pa.ChunkedArray] = None
    if transactions is not None:
        ids = _read_ids(report, Table(transactions, [id_column] if id_column else [], text=False), id_column,
                        count)
    id_name = id_column or "transaction"
    secret, own = _read_secret_key(secret_key_path, options.raw_in)
    try:
        if not same(inputs[0].header.central_key, own):
            raise PartyError(f"{secret_key_path}: not the central key these points were made for")
        flags: List[pa.Array] = []
        parquet = out is not None and out.lower().endswith(".parquet")
        with Outputs() as outputs:
            target = outputs.add(Output(out, options.force)) if out is not None else None
            if target is not None and not parquet:
                target.write(_csv_line([id_name, "match"]))
            written = 0

            def write(result: bytes) -> None:
                nonlocal written
                n = len(result)
                match = pc.not_equal(pa.Array.from_buffers(pa.uint8(), n, [None, pa.py_buffer(result)]), 0)
                flags.append(match)
                if target is not None and not parquet:
                    cells = ids.slice(written, n) if ids is not None else _index(written, n)
                    target.write(_csv_rows(cells, match))
                written += n

            parts = zip(*(source.batches(options.batch) for source in inputs))
            results = _batches(options, "finish", batches.finish_batch, parts, secret)
            done = _stream(report, count, results, write, len, inputs)
            flag_column = pa.chunked_array(flags, pa.bool_())
            table = pa.table({id_name: ids if ids is not None else _index(0, done), "match": flag_column})
            if target is not None and parquet:
                import pyarrow.parquet as pq
                pq.write_table(table, target.file)
    finally:
        _wipe(secret)
    matched = int(pc.sum(flag_column).as_py() or 0)
    return report.done(done, "transactions", f"{matched:,} matched", matched=matched, flags=table)


def _read_ids(report: Report, table: Table, id_column: Optional[str], count: int) -> Optional[pa.ChunkedArray]:
    """The transactions' ids (None without an id column), read before any work: their number must be
    the points'."""
    pieces: List[pa.Array] = []
    rows = 0
    with report.bar(table.total, "rows", f"reading {table.name}", table.progress) as bar:
        for n, cells in table.batches():
            rows += n
            if rows > count:
                raise PartyError(f"{table.name}: more transactions than the {count:,} points")
            if id_column:
                pieces.append(cells[0])
            bar.update(n)
    table.verify()
    if rows < count:
        raise PartyError(f"{table.name}: fewer transactions than the {count:,} points")
    if not id_column:
        return None
    kind = pieces[0].type if pieces else pa.string()
    return pa.chunked_array(pieces, kind)


def _index(start: int, n: int) -> pa.Array:
    """start, start + 1, ... as int64, without a Python object per row."""
    if not n:
        return pa.array([], pa.int64())
    return pc.add(pc.cumulative_sum(pa.repeat(pa.scalar(1, pa.int64()), n)), start - 1)


def _csv_rows(ids: Any, match: pa.Array) -> memoryview:
    """CSV lines of id and true/false, quoted as the csv module quotes, made in bulk."""
    text = ids.cast(pa.string())
    if isinstance(text, pa.ChunkedArray):
        text = _contiguous(text) if text.num_chunks else pa.array([], pa.string())
    text = pc.fill_null(text, "")
    quoted = pc.binary_join_element_wise('"', pc.replace_substring(text, '"', '""'), '"', "")
    cells = pc.if_else(pc.match_substring_regex(text, '[",\r\n]'), quoted, text)
    lines = pc.binary_join_element_wise(cells, pc.if_else(match, "true\n", "false\n"), ",")
    lines = lines.cast(pa.string()) if lines.type != pa.string() else lines
    _, offsets, data = lines.buffers()
    bounds = memoryview(offsets).cast("B")[lines.offset * 4:].cast("i")
    first, last = bounds[0], bounds[len(lines)]
    return memoryview(data)[first:last] if data is not None else memoryview(b"")


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


def _csv_line(cells: Sequence[str]) -> bytes:
    lines = io.StringIO()
    csv.writer(lines, lineterminator="\n").writerow(cells)
    return lines.getvalue().encode("utf-8")
