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
import mmap
import os
import struct
import tempfile
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import pyarrow as pa
import pyarrow.compute as pc

from . import batches
from . import undumpable
from . import engine
from . import memory, resume
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
    # Seconds to reach the scheduler, to see a worker, and for a lost worker's batches to run elsewhere.
    dask_timeout: float = 30.0
    # Continue an interrupted run of the same step from its last checkpoint.
    resume: bool = False

    @classmethod
    def from_args(cls, args) -> "Options":
        """From the command line's parsed arguments (a step's options that it lacks keep their defaults)."""
        raw = getattr(args, "raw", None)
        given = {name: getattr(args, name) for name in ("batch", "force", "quiet", "dask", "threads", "dask_security",
                                                  "dask_timeout", "resume")
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


_D = -121665 * pow(121666, -1, _P) % _P


def _on_curve(key: bytes) -> bool:
    """Whether the encoding's y has an x on the curve (the engine's decoding, which takes either sign of 0).

    Worked out here, so that only a key that is not a point is called one:
    the engine can fail for other reasons (memory, threads, its settings).
    """
    y = int.from_bytes(key, "little") & ((1 << 255) - 1)
    yy = y * y % _P
    xx = (yy - 1) * pow(_D * yy + 1, -1, _P) % _P
    return xx == 0 or pow(xx, (_P - 1) // 2, _P) == 1


def _read_public_key(path: str, raw: bool) -> Tuple[bytes, bytes]:
    """A key to encrypt under: canonically encoded, on the curve, not of small order."""
    _, data = read_whole(path, Kind.PUBLIC_KEY, raw)
    key = bytes(data)
    if int.from_bytes(key, "little") & ((1 << 255) - 1) >= _P:
        raise PartyError(f"{path}: not a canonical point encoding")
    if not _on_curve(key):
        raise PartyError(f"{path}: not a point of the curve")
    eight_times = batches.guarded(batches.decrypt_batch, key, _EIGHT)  # 8·P: the identity for small order
    if isinstance(eight_times, batches.Refused):
        raise PartyError(f"{path}: {eight_times.text}")
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
    with undumpable.secret_held():
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


class _Merges:
    """The table's distinct rows that end on one key, and the rows left out for an invalid IBAN.

    A row costs 16 bytes here, a hash of its key and one of its values, so that a table larger than
    memory can be counted; the rows are listed (with their text) only when asked, from a second
    reading of the table or, for a table that can be read once only, from text held all along.
    """

    def __init__(self, hold_text: bool) -> None:
        self.hashes: List[pa.Table] = []  # key, values: hashes of the rows keyed into the store
        self.invalid: List[pa.Table] = []  # row, key, values of the rows left out
        self.text: Optional[List[Tuple[int, List[pa.Array], pa.Array, Optional[pa.Array]]]] = \
            [] if hold_text else None
        self.shared: Optional[pa.Array] = None

    def add(self, start: int, columns: List[pa.Array], keys: pa.Array, invalid: Optional[pa.Array]) -> None:
        hashes = pa.table({"key": engine.row_hashes(keys), "values": engine.row_hashes(_raw(columns))})
        if invalid is not None and invalid.true_count:
            self.invalid.append(_rows(start, columns, keys).filter(invalid))
            hashes = hashes.filter(pc.invert(invalid))
        self.hashes.append(hashes)
        if self.text is not None:
            self.text.append((start, columns, keys, invalid))

    def finish(self) -> int:
        """Rows merged: the distinct values of the keys that more than one distinct value ends on.

        Counted on 64-bit hashes: two different keys or values would have to collide to miscount,
        about one chance in 10^12 at 10^7 rows; the listing compares the text itself.
        """
        if not self.hashes:
            self.shared = pa.array([], pa.uint64())
            return 0
        rows = pa.concat_tables(self.hashes)
        self.hashes = []
        groups = rows.group_by("key").aggregate([("values", "count_distinct")])
        del rows
        shared = groups.filter(pc.greater(groups.column("values_count_distinct"), 1))
        self.shared = shared.column("key").combine_chunks()
        return int(pc.sum(shared.column("values_count_distinct")).as_py() or 0)

    def listed(self, again: Optional[Callable[[], Iterator[Tuple[int, List[pa.Array], pa.Array,
                                                                      Optional[pa.Array]]]]]) -> pa.Table:
        """(row, key, values, what) of the merged rows and those left out; `again` reads the table once more
        (its batches as `add` took them), unless the text was held."""
        assert self.shared is not None
        parts: List[pa.Table] = []
        if len(self.shared):
            for start, columns, keys, invalid in (self.text if self.text is not None else again()):
                hit = pc.is_in(engine.row_hashes(keys), self.shared)
                if invalid is not None:
                    hit = pc.and_(hit, pc.invert(invalid))
                if hit.true_count:
                    parts.append(_rows(start, columns, keys).filter(hit))
        self.text = None
        candidates = pa.concat_tables(parts) if parts else _rows(0, [pa.array([], pa.string())],
                                                                  pa.array([], pa.string()))
        groups = candidates.group_by("key").aggregate([("values", "count_distinct")])
        keys = groups.filter(pc.greater(groups.column("values_count_distinct"), 1)).column("key")
        merged = candidates.filter(pc.is_in(candidates.column("key"), keys))
        left_out = pa.concat_tables(self.invalid) if self.invalid else merged.slice(0, 0)
        rows = pa.concat_tables([left_out.append_column("what", pa.repeat("invalid IBAN, left out", len(left_out))),
                                 merged.append_column("what", pa.repeat("merged", len(merged)))])
        return rows.sort_by([("what", "ascending"), ("key", "ascending"), ("row", "ascending")])


def _raw(columns: List[pa.Array]) -> pa.Array:
    """A row's values as written, joined by the separator."""
    wide = [c.cast(pa.large_string()) for c in columns]
    return pc.binary_join_element_wise(*wide, pa.scalar(rowkey.SEPARATOR, pa.large_string())) \
        if len(wide) > 1 else wide[0]


def _rows(start: int, columns: List[pa.Array], keys: pa.Array) -> pa.Table:
    n = len(keys)
    return pa.table({"row": pa.array(range(start + 1, start + n + 1), pa.int64()),
                     "key": keys.cast(pa.large_string()), "values": _raw(columns)})


def _merged_csv(listed: Optional[pa.Table]) -> bytes:
    lines = io.StringIO()
    writer = csv.writer(lines, lineterminator="\n")
    writer.writerow(["row", "key", "values", "what"])
    if listed is not None:
        for row, key, values, what in zip(*(listed.column(c).to_pylist() for c in listed.column_names)):
            writer.writerow([row, rowkey.shown(key), rowkey.shown(values), what])
    return lines.getvalue().encode("utf-8")


def build_store(public_key_path: str, rows: TableSource, columns: ColumnSpec, out: str, *,
                keying: str = rowkey.NFC, options: Optional[Options] = None, merged: Optional[str] = None) -> Summary:
    """A bank's store over its rows: `rows` a CSV or Parquet file (a path or fsspec URL) or an in-memory
    table (pyarrow, pandas, Polars...); `columns`: names, or `keying.Column`s with normalisations
    (recorded in the store). `merged`: a CSV listing the rows that end on one key with other rows, and
    those left out for an invalid IBAN."""
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("build-store", options.quiet)
    out = _local_output(out)
    check_writable([out] + ([merged] if merged else []), options.force, inputs=[public_key_path, local_path(rows)])
    columns = _as_columns(columns)
    rules = _rules_of(columns, keying)
    try:
        packed = rowkey.pack_rules(columns) if rules is not None else bytes(rowkey.RULES_BYTES)
    except ValueError as e:
        raise PartyError(f"--columns: {e}") from None
    key, key_fp = _read_public_key(public_key_path, options.raw_in)
    table = Table(rows, [c.name for c in columns])
    keys_of = _keyer(table, keying, rules)
    # With rules only. Listing the merged rows reads a file twice rather than hold its text; a stream in
    # memory is read once.
    merges = _Merges(hold_text=bool(merged) and table.kind == "memory") if rules is not None and any(rules) else None
    invalid = 0
    with Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, Header(Kind.STORE, keying=rowkey.CODES[keying], rules=packed,
                                                       key=key_fp, tables=rowkey.tables_version(rules)),
                                           options.raw_out, options.force))
        merged_out = outputs.add(Output(merged, options.force)) if merged else None
        builder = engine.StoreBuilder(key, table.total or 0)
        # The module's own key bytes are the strings end to end: ["ab", "c"] and ["a", "bc"] are one row,
        # which the builder keeps once.
        read = 0
        with report.bar(table.total, "rows", f"reading {table.name}", table.progress) as bar:
            for n, cells in table.batches():
                if n:
                    keys, bad = keys_of(n, cells)
                    if merges is not None:
                        merges.add(read, cells, keys, bad)
                    if bad is not None:
                        invalid += bad.true_count
                        keys = keys.filter(pc.invert(bad))
                    _built("build-store", builder.add, engine.arrow_keys(keys))
                read += n
                bar.update(n)
        table.verify()
        # What Arrow's allocator keeps of the table's batches goes back before the store takes its memory.
        pa.default_memory_pool().release_unused()
        report.phase(f"rows read: {read:,}", rows=read)
        shared = merges.finish() if merges is not None else 0
        if invalid:
            report.note(f"{table.name}: {invalid:,} rows with an invalid IBAN left out of the store",
                        invalid_ibans=invalid)
        if shared:
            report.note(f"{table.name}: {shared:,} distinct rows share a key with another row under the "
                        f"column rules" + (f" (listed in {merged})" if merged else " (--merged FILE lists them)"),
                        merged=shared)
        if merged_out is not None:
            listed = merges.listed(lambda: _keyed_again(rows, columns, keying, rules, read)) \
                if merges is not None else None
            merged_out.write(_merged_csv(listed))
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
    with_rules = rules is not None and any(rules)
    return report.done(counts["rows"], "rows", f"{shared:,} distinct rows merged by the rules" if with_rules else "",
                       duplicates=counts["duplicates"], merged=shared, invalid_ibans=invalid,
                       digests=_digests(outputs))


def _keyed_again(rows: TableSource, columns: Sequence[rowkey.Column], keying: str,
                 rules: Optional[Sequence[Sequence[str]]], expected: int
                 ) -> Iterator[Tuple[int, List[pa.Array], pa.Array, Optional[pa.Array]]]:
    """The table's batches read and keyed once more: (first row, cells, keys, invalid IBANs)."""
    table = Table(rows, [c.name for c in columns])
    keys_of = _keyer(table, keying, rules)
    read = 0
    for n, cells in table.batches():
        if n:
            keys, bad = keys_of(n, cells)
            yield read, cells, keys, bad
        read += n
    table.verify()
    if read != expected:
        raise PartyError(f"{table.name}: changed while being read")


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
           ) -> Callable[[int, List[pa.Array]], Tuple[pa.Array, Optional[pa.Array]]]:
    """Text columns to one key column, in bulk: as `keying.row_key` does per row; and which rows hold an
    invalid IBAN (None when no column has the iban rule)."""

    def keys(n: int, columns: List[pa.Array]) -> Tuple[pa.Array, Optional[pa.Array]]:
        if keying == rowkey.PLAIN:
            return (columns[0] if len(columns) == 1 else pc.binary_join_element_wise(*columns, "")), None
        column_rules = rules or [()] * len(columns)
        normal = [rowkey.normalise_column(c, r) for c, r in zip(columns, column_rules)]
        invalid = None
        for column, these in zip(normal, column_rules):
            if "iban" in these:
                bad = pc.invert(rowkey.iban_valid(column))
                invalid = bad if invalid is None else pc.or_(invalid, bad)
        try:
            return rowkey.join_columns(normal), invalid
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
                                security=options.dask_security, timeout=options.dask_timeout)
    return batches.in_order(step, fn, items, *shared)


def _stream(report: Report, total: Optional[int], results: Iterator, write, items_of,
            inputs: Sequence[Input] = (), measure=None, journal: Optional[resume.Journal] = None) -> int:
    """Writes each batch's result (checkpointed by `journal`); then checks that the inputs were what their
    digests say. Returns the items written, those of a resumed run's earlier part included.

    A batch the module refuses is most often a damaged input: that is named
    instead, when the rest of the input shows it.
    """
    done = journal.items if journal else 0
    try:
        # Closed on a failed write too, which stops a cluster at once.
        with contextlib.closing(results), report.bar(total, measure=measure) as bar:
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
    engine.use_threads(options.threads)
    report = Report("query", options.quiet)
    out = _local_output(out)
    claimed = resume.claim([out], options.resume)
    check_writable([out], options.force,
                   inputs=[sender_store, receiver_store, central_key_path, local_path(transactions)])
    sides = (_as_columns(sender_columns), _as_columns(receiver_columns))
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
        rules.append(_store_rules(path, header, columns, keying, option))
        sources.append(source)
    a_source, b_source = sources
    one_store = _same_store(a_source, b_source)
    largest = max(s.payload_bytes for s in sources) * (1 if one_store or not options.dask else 2)
    # Beside the store: the interpreter and the tables' reader, and three batches in flight.
    memory.require("query", largest + _QUERY_WORKING_BYTES + 3 * 1024 * options.batch,
                   f"holding a store of {largest:,} bytes")
    central, central_fp = _read_public_key(central_key_path, options.raw_in)
    # A column may serve both sides (one store as both): read once, handed to each.
    named = [c.name for c in sides[0] + sides[1]]
    table = Table(transactions, list(dict.fromkeys(named)))
    where = [list(dict.fromkeys(named)).index(name) for name in named]
    header = Header(Kind.QUERY, sender_store=_store_fingerprint(a_source.header),
                    receiver_store=_store_fingerprint(b_source.header), sender_key=a_source.header.key,
                    receiver_key=b_source.header.key, central_key=central_fp, batch=os.urandom(16))
    identity = {"stores": [resume.input_identity(s) for s in sources], "central": central_fp.hex(),
                "transactions": _table_identity(transactions, options.resume), "keying": keying,
                "columns": [[(c.name, list(c.rules)) for c in side] for side in sides], "raw_out": options.raw_out}
    split = len(sides[0])
    sender_keys, receiver_keys = _keyer(table, keying, rules[0]), _keyer(table, keying, rules[1])

    invalid = 0

    def keyed() -> Iterator[Tuple[pa.Array, pa.Array]]:
        """Both sides' keys per transaction, those written before a resume passed over."""
        nonlocal invalid
        seen = 0
        for n, read in table.batches():
            cells = [read[i] for i in where]
            first = min(n, max(0, skip - seen))
            seen += n
            if first == n:
                continue
            if first:
                cells = [c.slice(first) for c in cells]
            (senders, s_bad), (receivers, r_bad) = (sender_keys(n - first, cells[:split]),
                                                    receiver_keys(n - first, cells[split:]))
            # A transaction's invalid IBAN is keyed as it stands: no store holds it, so it cannot match.
            masks = [m for m in (s_bad, r_bad) if m is not None]
            if masks:
                invalid += (pc.or_(*masks) if len(masks) == 2 else masks[0]).true_count
            yield senders, receivers

    def pairs() -> Iterator[Tuple[engine.Keys, engine.Keys]]:
        for senders, receivers in _rebatched(keyed(), options.batch):
            pair = engine.arrow_keys(senders), engine.arrow_keys(receivers)
            yield (_portable(pair[0]), _portable(pair[1])) if options.dask else pair

    with resume.Journal("query", identity, claimed) as journal, Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, header, options.raw_out, options.force))
        skip = journal.start([target])
        if one_store:
            b_source.file.close()
            with _held_store(report, a_source, "sender and receiver", options) as store:
                results = _batches(options, "query", batches.query_batch, pairs(), store, store, central)
                done = _stream(report, table.total, results, target.write, lambda r: len(r) // 128,
                               measure=table.progress, journal=journal)
                table.verify()
        else:
            with contextlib.closing(_Spill(os.path.dirname(os.path.abspath(out)))) as spill:
                with _held_store(report, a_source, "sender", options) as a_store:
                    _first_lookups(report, table, pairs(), a_store, spill, skip)
                    table.verify()
                    del a_store  # let go of before the receiver store is read
                with _held_store(report, b_source, "receiver", options) as b_store:
                    report.phase("receiver lookups")
                    results = _batches(options, "query", batches.query_second_batch, spill.batches(), b_store,
                                       central, True)
                    done = _stream(report, table.total, results, target.write, lambda r: len(r) // 128,
                                   journal=journal)
    if invalid:
        report.note(f"{table.name}: {invalid:,} transactions with an invalid IBAN (they cannot match)",
                    invalid_ibans=invalid)
    return report.done(done, "transactions", invalid_ibans=invalid, digests=_digests(outputs))


# The interpreter, pyarrow and the table's reader, as measured with room to spare.
_QUERY_WORKING_BYTES = 512 << 20


def _table_identity(source: TableSource, resuming: bool) -> Optional[str]:
    """What a resumed query must read again: a file by its name, size and time, a URL by itself."""
    path = local_path(source)
    if path is not None:
        return resume.file_identity(path)
    if is_url(source):
        return str(source)
    if resuming:
        raise PartyError("--resume needs the transactions as a file or URL, not an in-memory table")
    return None


# The interpreter, pyarrow and the table's reader beside the store: about 35 MB measured over a CSV
# at the default batch, with room for a Parquet file's row groups.
_QUERY_WORKING_BYTES = 512 << 20


def _same_store(a: Input, b: Input) -> bool:
    """The same file twice, or two files of the same digest: held and read once."""
    if os.path.samestat(os.fstat(a.file.fileno()), os.fstat(b.file.fileno())):
        return True
    return not a.raw and not b.raw and a.header.digest == b.header.digest


@contextlib.contextmanager
def _held_store(report: Report, source: Input, side: str, options: Options) -> Iterator[Any]:
    """The store read into private memory (its digest checked as it is read), parsed once, and let go
    of at the end. Read, not mapped: another process truncating a mapped file would end this one with
    SIGBUS, and a file rewritten in place would change under the lookups."""
    size = source.payload_bytes
    report.phase(f"reading the {side} store {source.path}: {size:,} bytes", bytes=size)
    try:
        held = mmap.mmap(-1, size)
    except OSError as e:
        raise PartyError(f"query: holding the {side} store needs {memory.size(size)} of memory, which this "
                         f"process cannot get ({e.strerror})") from None
    if hasattr(mmap, "MADV_HUGEPAGE"):
        held.madvise(mmap.MADV_HUGEPAGE)  # fewer TLB misses for lookups spread over the whole store
    try:
        with memoryview(held) as view, report.bar(size, "B", f"reading the {side} store") as bar:
            source.read_into(view, bar.update)
        yield bytes(held) if options.dask else engine.as_store(held)
    finally:
        # Unmapped now unless a parse is still referenced; then when the last reference goes.
        with contextlib.suppress(BufferError):
            held.close()


def _first_lookups(report: Report, table: Table, pairs: Iterator[Tuple[engine.Keys, engine.Keys]], store: Any,
                   spill: "_Spill", skip: int) -> None:
    report.phase("sender lookups")
    pending: List[engine.Keys] = []

    def keys_then_receivers() -> Iterator[Tuple[engine.Keys]]:
        for senders, receivers in pairs:
            pending.append(receivers)
            yield (senders,)

    cells = batches.in_order("query", batches.lookup_batch, keys_then_receivers(), store)
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


def randomize(source: str, out: str, options: Optional[Options] = None) -> Summary:
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
        done = _stream(report, queries.count, results, target.write, lambda r: len(r) // 128, [queries],
                       journal=journal)
    return report.done(done, "ciphertexts", digests=_digests(outputs))


def combine(first: str, second: str, out_prefix: str, options: Optional[Options] = None) -> Summary:
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
    # Two randomisations of no ciphertexts are the same empty list: nothing to tell apart.
    if not a.raw and a.header.digest == b.header.digest and a.count:
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
        done = _stream(report, a.count, results, write, lambda parts: len(parts[0]) // 32, [a, b], journal=journal)
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
    claimed = resume.claim([out], options.resume)
    check_writable([out], options.force, inputs=[secret_key_path, source])
    kinds = (Kind.SENDER, Kind.RECEIVER)
    if options.raw_in and side == "receiver":
        kinds = kinds[::-1]
    points = Input(source, kinds, options.raw_in)
    with undumpable.secret_held():
        return _decrypt(secret_key_path, points, out, options, report, claimed)


def _decrypt(secret_key_path: str, points: Input, out: str, options: Options, report: Report,
             claimed: Optional[resume.Claimed]) -> Summary:
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
                           journal=journal)
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
    claimed = resume.claim([out], options.resume) if out is not None else None
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
    with undumpable.secret_held():
        secret, own = _read_secret_key(secret_key_path, options.raw_in)
        try:
            if not same(inputs[0].header.central_key, own):
                raise PartyError(f"{secret_key_path}: not the central key these points were made for")
            flags: List[pa.Array] = []
            parquet = out is not None and out.lower().endswith(".parquet")
            identity = {"in": [resume.input_identity(source) for source in inputs], "key": own.hex(),
                        "transactions": _table_identity(transactions, options.resume) if transactions is not None
                        else None, "id_column": id_column}
            with resume.Journal("finish", identity, claimed) as journal, Outputs() as outputs:
                target = outputs.add(Output(out, options.force)) if out is not None else None
                # A CSV grows batch by batch and can be continued; Parquet is written whole at the end.
                resumable = target is not None and not parquet
                written = journal.start([target]) if resumable else 0
                if target is not None and not parquet and not written:
                    target.write(_csv_line([id_name, "match"]))
                for source in inputs:
                    source.skip(written)

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
                done = _stream(report, count, results, write, len, inputs,
                               journal=journal if resumable else None)
                flag_column = pa.chunked_array(flags, pa.bool_())
                if done > len(flag_column):  # resumed: the earlier flags are in the temporary written so far
                    flag_column = _flags_written(target)
                table = pa.table({id_name: ids if ids is not None else _index(0, done), "match": flag_column})
                if target is not None and parquet:
                    import pyarrow.parquet as pq
                    pq.write_table(table, target.file)
        finally:
            _wipe(secret)
    matched = int(pc.sum(flag_column).as_py() or 0)
    return report.done(done, "transactions", f"{matched:,} matched", matched=matched, flags=table)


def _flags_written(target: Output) -> pa.ChunkedArray:
    """Every flag of a resumed finish, read back from its CSV (the earlier run's rows and this run's)."""
    import pyarrow.csv as pacsv

    target.file.flush()
    with open(target.temp, "rb") as f:
        read = pacsv.read_csv(f, convert_options=pacsv.ConvertOptions(
            include_columns=["match"], column_types={"match": pa.bool_()}))
    return read.column("match")


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
        if header.tables:
            lines.append(f"rules tables: version {header.tables}")
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


def keys(rows: TableSource, columns: ColumnSpec) -> str:
    """Each row's key as a store keyed with these columns would hold it: CSV of row, key, note."""
    columns = _as_columns(columns)
    rules = [c.rules for c in columns]
    table = Table(rows, [c.name for c in columns])
    keys_of = _keyer(table, rowkey.NFC, rules)
    lines = io.StringIO()
    writer = csv.writer(lines, lineterminator="\n")
    writer.writerow(["row", "key", "note"])
    done = 0
    for n, cells in table.batches():
        if not n:
            continue
        keyed, bad = keys_of(n, cells)
        invalid = bad.to_pylist() if bad is not None else [False] * n
        for i, (key, wrong) in enumerate(zip(keyed.to_pylist(), invalid)):
            writer.writerow([done + i + 1, rowkey.shown(key), "invalid IBAN: not in a store" if wrong else ""])
        done += n
    table.verify()
    return lines.getvalue()


LABELS = {"key": "key fingerprint", "sender_store": "sender store", "receiver_store": "receiver store",
          "sender_key": "sender bank key", "receiver_key": "receiver bank key", "central_key": "central key",
          "batch": "batch", "decrypted_by": "decrypted by key"}


def _csv_line(cells: Sequence[str]) -> bytes:
    lines = io.StringIO()
    csv.writer(lines, lineterminator="\n").writerow(cells)
    return lines.getvalue().encode("utf-8")
