"""The central party's closing steps: the two randomisations combined, and the flags."""

from __future__ import annotations

import contextlib
import csv
import io
import os
from collections import deque
from typing import TYPE_CHECKING, Any, Deque, List, Optional, Sequence

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.compute as pc
else:
    from .arrow import pa, pc

from .arrow import empty, int_scalar
from . import engine, resume, undumpable
from .commit import Output, Outputs
from .errors import PartyError
from .header import Kind
from .inputs import Input
from .keyer import contiguous
from .lineage import ZERO, fingerprint, same
from .outputs import PayloadOutput, check_writable
from .progress import Report
from .steps import (Options, Summary, digests, local_output, read_secret_key, refuse_other_batch, run_batches, stream,
                    table_identity, wipe)
from .table_sources import TableSource, local_path
from .tables import Table, as_text
from .transaction_ids import Ids


COMPONENTS = ("sender", "receiver", "gamma", "delta")


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
    refuse_other_batch(a, b)
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
        results = run_batches(options, "combine", engine.combine, pairs)
        done = stream(report, a.count, results, write, lambda parts: len(parts[0]) // 32, [a, b], journal=journal)
        # Each combination is a batch of its own: lists of two combinations of the same queries do not
        # mix. Set once both inputs are read, when a bare one's digest is known too.
        for target in targets:
            target.header.batch = fingerprint(known.batch + a.header.digest + b.header.digest)
    return report.done(done, "ciphertext pairs", digests=digests(outputs))


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
        out = local_output(out)
    claimed = resume.claim([out], options.resume) if out is not None else None
    check_writable([out] if out is not None else [], options.force,
                   inputs=[secret_key_path, sender, receiver, gamma, delta, local_path(transactions)])
    kinds = (Kind.DECRYPTED_SENDER, Kind.DECRYPTED_RECEIVER, Kind.GAMMA, Kind.DELTA)
    inputs = [Input(path, (kind,), options.raw_in) for path, kind in zip((sender, receiver, gamma, delta), kinds)]
    for other in inputs[1:]:
        refuse_other_batch(inputs[0], other)
    for source, bank in ((inputs[0], "sender_key"), (inputs[1], "receiver_key")):
        if not same(source.header.decrypted_by, getattr(source.header, bank)):
            raise PartyError(f"{source.path}: decrypted with a key that is not the {bank.split('_')[0]} bank's")
    count = inputs[0].count
    # The ids are read beside the work (`Ids`); the flags are written as far as they go.
    ids = Ids(report, Table(transactions, [id_column] if id_column else [], text=False), id_column, count) \
        if transactions is not None else None
    id_name = id_column or "transaction"
    with ids if ids is not None else contextlib.nullcontext(), undumpable.secret_held():
        secret, own = read_secret_key(secret_key_path, options.raw_in)
        try:
            if not same(inputs[0].header.central_key, own):
                raise PartyError(f"{secret_key_path}: not the central key these points were made for")
            flags: List[pa.Array] = []
            parquet = out is not None and out.lower().endswith(".parquet")
            identity = {"in": [resume.input_identity(source) for source in inputs], "key": own.hex(),
                        "transactions": table_identity(transactions, options.resume) if transactions is not None
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
                # Results wait here until their ids are read; a checkpoint holds only flags written, and
                # (as the points') ids read to the end and counted.
                waiting: Deque[bytes] = deque()
                if ids is not None:
                    journal.wait_for(lambda: not waiting and ids.checked())

                def flush(wait: bool) -> None:
                    nonlocal written
                    while waiting and (ids is None or ids.ready(written + len(waiting[0]), wait)):
                        result = waiting.popleft()
                        n = len(result)
                        flags.append(engine.flags_array(result))
                        if target is not None and not parquet:
                            cells = ids.take(written, n) if ids is not None and id_column else _index(written, n)
                            target.write(engine.flag_lines(_id_text(cells), result))
                        written += n

                def write(result: bytes) -> None:
                    waiting.append(result)
                    flush(wait=False)

                parts = zip(*(source.batches(options.batch) for source in inputs))
                results = run_batches(options, "finish", engine.finish, parts, secret)
                done = stream(report, count, results, write, len, inputs,
                              journal=journal if resumable else None)
                flush(wait=True)
                id_values = ids.column() if ids is not None else None
                flag_column = pa.chunked_array(flags, pa.bool_())
                if done > len(flag_column):  # resumed: the earlier flags are in the temporary written so far
                    flag_column = _flags_written(target)
                table = pa.table({id_name: id_values if id_values is not None else _index(0, done),
                                  "match": flag_column})
                if target is not None and parquet:
                    import pyarrow.parquet as pq
                    pq.write_table(table, target.file)
        finally:
            wipe(secret)
    matched = sum(chunk.true_count for chunk in flag_column.chunks)
    return report.done(done, "transactions", f"{matched:,} matched", matched=matched, flags=table)


def _flags_written(target: Output) -> pa.ChunkedArray:
    """Every flag of a resumed finish, read back from its CSV (the earlier run's rows and this run's)."""
    import pyarrow.csv as pacsv

    target.file.flush()
    with open(target.temp, "rb") as f:
        read = pacsv.read_csv(f, convert_options=pacsv.ConvertOptions(
            include_columns=["match"], column_types={"match": pa.bool_()}))
    return read.column("match")


def _index(start: int, n: int) -> pa.Array:
    """start, start + 1, ... as int64, without a Python object per row."""
    if not n:
        return empty(pa.int64())
    return pc.add(pc.cumulative_sum(pa.repeat(int_scalar(1), n)), int_scalar(start - 1))


def _id_text(ids: Any) -> pa.Array:
    """Ids as one text array without nulls (a missing id is empty)."""
    if isinstance(ids, pa.ChunkedArray):
        ids = contiguous(ids) if ids.num_chunks else empty(pa.string())
    return as_text(ids)


def _csv_line(cells: Sequence[str]) -> bytes:
    lines = io.StringIO()
    csv.writer(lines, lineterminator="\n").writerow(cells)
    return lines.getvalue().encode("utf-8")
