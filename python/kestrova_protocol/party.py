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
import itertools
import os
from typing import Iterator, List, Optional, Sequence, Tuple, Union

from . import batches
from . import engine
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


def _checked(keying: str):
    """Per row, so that a refused value names its line; the keys are made per batch (`_Keyed`)."""
    def check(cells):
        if keying == rowkey.NFC and any(rowkey.SEPARATOR in cell for cell in cells):
            raise ValueError(rowkey.INVALID_SEPARATOR)
        return cells
    return check


class _Keyed:
    """A batch's rows, transposed into columns and keyed in bulk."""

    def __init__(self, chunk: List[List[str]], keying: str, rules: Optional[Sequence[Sequence[str]]], start: int = 0):
        self.start = start
        if keying == rowkey.PLAIN:
            self.keys = [engine.key_bytes(cells) for cells in chunk]
            self.packed = engine.pack_keys(self.keys)
            self.invalid = None
            return
        import pyarrow as pa
        width = len(rules) if rules is not None else (len(chunk[0]) if chunk else 0)
        self.columns = [pa.array([row[i] for row in chunk], pa.large_string()) for i in range(width)]
        rules = rules if rules is not None else [()] * width
        normalised = [rowkey.normalise_column(c, r) for c, r in zip(self.columns, rules)]
        self.keys = rowkey.join_columns(normalised)
        self.invalid = None
        for column, column_rules in zip(normalised, rules):
            if "iban" in column_rules:
                bad = pa.compute.invert(rowkey.iban_valid(column))
                self.invalid = bad if self.invalid is None else pa.compute.or_(self.invalid, bad)

    def invalid_count(self) -> int:
        return self.invalid.true_count if self.invalid is not None else 0

    def valid_packed(self):
        if self.invalid is None:
            return self.packed if isinstance(self.keys, list) else rowkey.packed(self.keys)
        import pyarrow.compute as pc
        return rowkey.packed(self.keys.filter(pc.invert(self.invalid)))


class _Merges:
    """The table's distinct rows that end on one key, and the rows left out for an invalid IBAN."""

    def __init__(self):
        self.parts = []

    def add(self, keyed: _Keyed) -> None:
        import pyarrow as pa
        import pyarrow.compute as pc
        n = len(keyed.keys)
        raw = pc.binary_join_element_wise(*keyed.columns, pa.scalar(rowkey.SEPARATOR, pa.large_string())) \
            if len(keyed.columns) > 1 else keyed.columns[0]
        invalid = keyed.invalid if keyed.invalid is not None else pa.array([False] * n)
        self.parts.append(pa.table({"row": pa.array(range(keyed.start + 1, keyed.start + n + 1), pa.int64()),
                                    "key": keyed.keys, "values": raw, "invalid": invalid}))

    def finish(self):
        """(rows merged, their table: row, key, values, what), the invalid IBANs' rows included."""
        import pyarrow as pa
        import pyarrow.compute as pc
        if not self.parts:
            return 0, None
        rows = pa.concat_tables(self.parts)
        self.parts = []
        valid = rows.filter(pc.invert(rows.column("invalid")))
        groups = valid.group_by("key").aggregate([("values", "count_distinct")])
        shared = groups.filter(pc.greater(groups.column("values_count_distinct"), 1))
        merged = int(pc.sum(shared.column("values_count_distinct")).as_py() or 0)
        listed = rows.filter(pc.or_(rows.column("invalid"), pc.is_in(rows.column("key"), shared.column("key"))))
        what = pc.if_else(listed.column("invalid"), "invalid IBAN, left out", "merged")
        listed = pa.table({"row": listed.column("row"), "key": listed.column("key"),
                           "values": listed.column("values"), "what": what})
        return merged, listed.sort_by([("what", "ascending"), ("key", "ascending"), ("row", "ascending")])


def _merged_csv(listed) -> bytes:
    lines = io.StringIO()
    writer = csv.writer(lines, lineterminator="\n")
    writer.writerow(["row", "key", "values", "what"])
    if listed is not None:
        for row, key, values, what in zip(*(listed.column(c).to_pylist() for c in listed.column_names)):
            writer.writerow([row, rowkey.shown(key), rowkey.shown(values), what])
    return lines.getvalue().encode("utf-8")


def build_store(public_key_path: str, rows_path: str, columns: Sequence[Union[str, rowkey.Column]], out: str, *,
                keying: str = rowkey.NFC, options: Optional[Options] = None, merged: Optional[str] = None) -> dict:
    """`columns`: names, or `keying.Column`s with normalisations (recorded in the store).

    `merged`: a CSV listing the rows that end on one key with other rows, and those left out for an
    invalid IBAN.
    """
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("build-store", options.quiet)
    check_writable([out] + ([merged] if merged else []), options.force, inputs=[public_key_path, rows_path])
    columns = _as_columns(columns)
    rules = _rules_of(columns, keying)
    try:
        packed = rowkey.pack_rules(columns) if rules is not None else bytes(rowkey.RULES_BYTES)
    except ValueError as e:
        raise PartyError(f"--columns: {e}") from None
    key, key_fp = _read_public_key(public_key_path, options.raw_in)
    table = Table(rows_path, [c.name for c in columns])
    # With rules only: it holds every row's key and values until the end.
    merges = _Merges() if rules is not None and any(rules) else None
    invalid = 0
    with Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, Header(Kind.STORE, keying=rowkey.CODES[keying], rules=packed,
                                                       key=key_fp, tables=rowkey.tables_version(rules)),
                                           options.raw_out, options.force))
        merged_out = outputs.add(Output(merged, options.force)) if merged else None
        builder = engine.StoreBuilder(key, table.total or 0)
        # The module's own key bytes are the strings end to end: ["ab", "c"] and ["a", "bc"] are one row,
        # which the builder keeps once.
        held = first = 0
        with report.bar(table.total, "rows") as bar:
            for chunk in table.batches(options.batch, _checked(keying)):
                keyed = _Keyed(chunk, keying, rules, first)
                first += len(chunk)
                invalid += keyed.invalid_count()
                if merges is not None:
                    merges.add(keyed)
                held = _built("build-store", builder.add, keyed.valid_packed())
                bar.update(len(chunk))
        table.verify()
        report.phase(f"rows read: {held:,}")
        shared, listed = merges.finish() if merges is not None else (0, None)
        if invalid:
            report.note(f"{rows_path}: {invalid:,} rows with an invalid IBAN left out of the store")
        if shared:
            report.note(f"{rows_path}: {shared:,} distinct rows share a key with another row under the "
                        f"column rules" + (f" (listed in {merged})" if merged else " (--merged FILE lists them)"))
        if merged_out is not None:
            merged_out.write(_merged_csv(listed))
        progress = _BuildProgress(report)
        try:
            counts = target.write_natively(lambda fd: _built("build-store", builder.write, fd, progress))
        finally:
            progress.close()
        if counts["duplicates"]:
            report.note(f"{rows_path}: {counts['duplicates']:,} repeated rows dropped (a store holds each row once)")
        target.header.count = counts["rows"]
        report.phase(f"store of {counts['bytes']:,} bytes built")
    with_rules = rules is not None and any(rules)
    result = report.done(counts["rows"], "rows", f"{shared:,} distinct rows merged by the rules" if with_rules else "")
    result.update(merged=shared, invalid_ibans=invalid)
    return result


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
            inputs: Sequence[Input] = ()) -> int:
    """Writes each batch's result; then checks that the inputs were what their digests say.

    A batch the module refuses is most often a damaged input: that is named
    instead, when the rest of the input shows it.
    """
    done = 0
    try:
        # Closed on a failed write too, which stops a cluster at once.
        with contextlib.closing(results), report.bar(total) as bar:
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


def query(sender_store: str, receiver_store: str, central_key_path: str, transactions_path: str,
          sender_columns: Sequence[Union[str, rowkey.Column]], receiver_columns: Sequence[Union[str, rowkey.Column]],
          out: str, *, keying: str = rowkey.NFC, options: Optional[Options] = None) -> dict:
    """Each side's columns are keyed as its store records (`keying.Column` rules need not be repeated)."""
    options = options or Options()
    engine.use_threads(options.threads)
    report = Report("query", options.quiet)
    check_writable([out], options.force,
                   inputs=[sender_store, receiver_store, central_key_path, transactions_path])
    sides = (_as_columns(sender_columns), _as_columns(receiver_columns))
    stores, rules = [], []
    for path, columns, option in zip((sender_store, receiver_store), sides, ("--sender-columns",
                                                                             "--receiver-columns")):
        source = Input(path, (Kind.STORE,), options.raw_in)
        # Read into memory once, its digest checked, and parsed once for every batch. Not mapped:
        # another process truncating a mapped file would end this one with SIGBUS.
        data = source.read_all()
        header = source.header
        if header.keying and rowkey.NAMES.get(header.keying) != keying:
            raise PartyError(f"{path}: built with --keying {rowkey.NAMES.get(header.keying, header.keying)}, "
                             f"this query uses --keying {keying}")
        if header.tables and header.tables != rowkey.TABLES_VERSION:
            raise PartyError(f"{path}: keyed with rules tables version {header.tables}, this kestrova-party "
                             f"has version {rowkey.TABLES_VERSION}: both sides must key with one version")
        rules.append(_store_rules(path, header, columns, keying, option))
        # A worker elsewhere gets the bytes once and parses them per batch, without a copy.
        stores.append((header, bytes(data) if options.dask else engine.as_store(data)))
    (a_header, a_store), (b_header, b_store) = stores
    central, central_fp = _read_public_key(central_key_path, options.raw_in)
    table = Table(transactions_path, [c.name for c in sides[0] + sides[1]])
    split = len(sides[0])

    invalid = 0

    def transposed():
        nonlocal invalid
        for chunk in table.batches(options.batch, _checked(keying)):
            sender = _Keyed([cells[:split] for cells in chunk], keying, rules[0])
            receiver = _Keyed([cells[split:] for cells in chunk], keying, rules[1])
            # A transaction's invalid IBAN is keyed as it stands: no store holds it, so it cannot match.
            if sender.invalid is not None or receiver.invalid is not None:
                import pyarrow.compute as pc
                masks = [k.invalid for k in (sender, receiver) if k.invalid is not None]
                invalid += (pc.or_(*masks) if len(masks) == 2 else masks[0]).true_count
            yield _packed_all(sender), _packed_all(receiver)

    header = Header(Kind.QUERY, sender_store=_store_fingerprint(a_header),
                    receiver_store=_store_fingerprint(b_header), sender_key=a_header.key,
                    receiver_key=b_header.key, central_key=central_fp, batch=os.urandom(16))
    with Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, header, options.raw_out, options.force))
        results = _batches(options, "query", batches.query_batch, transposed(), a_store, b_store, central)
        done = _stream(report, table.total, results, target.write, lambda r: len(r) // 128)
        table.verify()
    if invalid:
        report.note(f"{transactions_path}: {invalid:,} transactions with an invalid IBAN (they cannot match)")
    result = report.done(done, "transactions")
    result.update(invalid_ibans=invalid)
    return result


def _packed_all(keyed: _Keyed):
    return keyed.packed if isinstance(keyed.keys, list) else rowkey.packed(keyed.keys)


def randomize(source: str, out: str, options: Optional[Options] = None) -> dict:
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
    return report.done(done, "ciphertexts")


def combine(first: str, second: str, out_prefix: str, options: Optional[Options] = None) -> dict:
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
    return report.done(done, "ciphertext pairs")


def decrypt(secret_key_path: str, source: str, out: str, *, side: Optional[str] = None,
            options: Optional[Options] = None) -> dict:
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
        matched = 0
        with Outputs() as outputs:
            target = outputs.add(Output(out, options.force))
            target.write(_csv_line([id_column or "transaction", "match"]))

            def write(flags: bytes):
                nonlocal matched
                matched += sum(flags)
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
            done = _stream(report, inputs[0].count, results, write, len, inputs)
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


def keys(rows_path: str, columns: Sequence[Union[str, rowkey.Column]], batch: int = DEFAULT_BATCH) -> str:
    """Each row's key as a store keyed with these columns would hold it: CSV of row, key, note."""
    columns = _as_columns(columns)
    rules = [c.rules for c in columns]
    table = Table(rows_path, [c.name for c in columns])
    lines = io.StringIO()
    writer = csv.writer(lines, lineterminator="\n")
    writer.writerow(["row", "key", "note"])
    done = 0
    for chunk in table.batches(batch, _checked(rowkey.NFC)):
        keyed = _Keyed(chunk, rowkey.NFC, rules, done)
        invalid = keyed.invalid.to_pylist() if keyed.invalid is not None else [False] * len(chunk)
        for i, (key, bad) in enumerate(zip(keyed.keys.to_pylist(), invalid)):
            writer.writerow([done + i + 1, rowkey.shown(key), "invalid IBAN: not in a store" if bad else ""])
        done += len(chunk)
    table.verify()
    return lines.getvalue()


LABELS = {"key": "key fingerprint", "sender_store": "sender store", "receiver_store": "receiver store",
          "sender_key": "sender bank key", "receiver_key": "receiver bank key", "central_key": "central key",
          "batch": "batch", "decrypted_by": "decrypted by key"}


def _csv_line(cells) -> bytes:
    lines = io.StringIO()
    csv.writer(lines, lineterminator="\n").writerow(cells)
    return lines.getvalue().encode("utf-8")
