"""The banks' steps: a store over the bank's rows, the randomisation of the queries, the decryption of
its side's points."""

from __future__ import annotations

import contextlib
from typing import TYPE_CHECKING, Iterator, List, Optional, Sequence, Tuple

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.compute as pc
else:
    from .arrow import pa, pc

from . import batches, engine, resume, undumpable
from . import keying as rowkey  # how rows become keys (the name `keying` is the steps' parameter)
from .commit import Output, Outputs
from .errors import PartyError
from .header import Header, Kind
from .inputs import Input
from .keyer import as_columns, keyer, numbered, rules_of
from .lineage import same
from .merges import Merges, merged_csv
from .outputs import PayloadOutput, check_writable
from .progress import Report
from .steps import (ColumnSpec, Options, Summary, digests, local_output, read_public_key, read_secret_key, run_batches,
                    stream, wipe)
from .table_sources import TableSource, local_path
from .tables import Table


def build_store(public_key_path: str, rows: TableSource, columns: ColumnSpec, out: str, *,
                keying: str = rowkey.NFC, options: Optional[Options] = None, merged: Optional[str] = None) -> Summary:
    """A bank's store over its rows: `rows` a CSV or Parquet file (a path or fsspec URL) or an in-memory
    table (pyarrow, pandas, Polars...); `columns`: names, or `keying.Column`s with normalisations
    (recorded in the store). `merged`: a CSV listing the rows that end on one key with other rows, and
    those left out for an invalid IBAN."""
    options = options or Options()
    threads = engine.use_threads(options.threads)
    report = Report("build-store", options.quiet)
    out = local_output(out)
    check_writable([out] + ([merged] if merged else []), options.force, inputs=[public_key_path, local_path(rows)])
    columns = as_columns(columns)
    rules = rules_of(columns, keying)
    try:
        packed = rowkey.pack_rules(columns) if rules is not None else bytes(rowkey.RULES_BYTES)
    except ValueError as e:
        raise PartyError(f"--columns: {e}") from None
    key, key_fp = read_public_key(public_key_path, options.raw_in)
    table = Table(rows, [c.name for c in columns])
    keys_of = keyer(table, keying, rules)
    # With rules only. Listing the merged rows reads a file twice rather than hold its text; a stream in
    # memory is read once.
    merges = Merges(hold_text=bool(merged) and table.kind == "memory") if rules is not None and any(rules) else None
    invalid = 0
    with Outputs() as outputs:
        target = outputs.add(PayloadOutput(out, Header(Kind.STORE, keying=rowkey.CODES[keying], rules=packed,
                                                       key=key_fp, tables=rowkey.tables_version(rules)),
                                           options.raw_out, options.force))
        merged_out = outputs.add(Output(merged, options.force)) if merged else None
        builder = engine.StoreBuilder(key, table.total or 0)
        # The module's own key bytes are the strings end to end: ["ab", "c"] and ["a", "bc"] are one row,
        # which the builder keeps once.
        # The engine's threads are idle while the table is read: as many key its batches (Arrow's kernels
        # let go of the interpreter lock) while this one reads the next.
        read = 0
        with report.bar(table.total, "rows", f"reading {table.name}", table.progress) as bar, \
                contextlib.closing(batches.ahead(keyed(keys_of), numbered(table), threads)) as each:
            for (start, n, cells), found in each:
                if found is not None:
                    keys, bad = found
                    if merges is not None:
                        merges.add(start, cells, keys, bad)
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
            merged_out.write(merged_csv(listed))
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
                       digests=digests(outputs))


def _keyed_again(rows: TableSource, columns: Sequence[rowkey.Column], keying: str,
                 rules: Optional[Sequence[Sequence[str]]], expected: int
                 ) -> Iterator[Tuple[int, List[pa.Array], pa.Array, Optional[pa.Array]]]:
    """The table's batches read and keyed once more: (first row, cells, keys, invalid IBANs)."""
    table = Table(rows, [c.name for c in columns])
    keys_of = keyer(table, keying, rules)
    read = 0
    for n, cells in table.batches():
        if n:
            keys, bad = keys_of(read, n, cells)
            yield read, cells, keys, bad
        read += n
    table.verify()
    if read != expected:
        raise PartyError(f"{table.name}: changed while being read")


def keyed(keys_of):
    """A numbered batch with its keys and invalid IBANs (None for a batch without rows)."""
    def work(batch):
        start, n, cells = batch
        return batch, (keys_of(start, n, cells) if n else None)
    return work


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
        results = run_batches(options, "randomize", engine.randomize,
                              ((b,) for b in queries.batches(options.batch)))
        done = stream(report, queries.count, results, target.write, lambda r: len(r) // 128, [queries],
                      journal=journal)
    return report.done(done, "ciphertexts", digests=digests(outputs))


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
    secret, own = read_secret_key(secret_key_path, options.raw_in)
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
            results = run_batches(options, "decrypt", engine.decrypt,
                                  ((b,) for b in points.batches(options.batch)), secret)
            done = stream(report, points.count, results, target.write, lambda r: len(r) // 32, [points],
                          journal=journal)
    finally:
        wipe(secret)
    return report.done(done, "points", digests=digests(outputs))
