"""The protocol's steps, one function per step a party runs on its own machine.

Every step reads and writes checked files (`inputs`, `outputs`), checks that
its inputs belong together before any work, and returns the closing figures
of the step. The streamed steps read their inputs in batches, hand each batch
to the engine, and write the results in order (`steps`). The banks' steps are
in `bank`, the central party's in `querying` and `central`; here are those
every party runs.
"""

from __future__ import annotations

import csv
import io
import os
from typing import List, Optional

from . import engine, lineage, undumpable
from . import keying as rowkey  # how rows become keys (the name `keying` is the steps' parameter)
from .bank import build_store, decrypt, randomize
from .central import combine, finish
from .commit import Outputs
from .errors import PartyError
from .header import Header, Kind, VERSION
from .inputs import Input
from .keyer import as_columns, keyer
from .lineage import ZERO, fingerprint
from .outputs import check_writable, write_whole
from .progress import Report
from .querying import query
from .steps import ColumnSpec, Options, Summary, digests, wipe
from .table_sources import TableSource
from .tables import Table


__all__ = ["Options", "Summary", "keygen", "build_store", "query", "randomize", "combine", "decrypt", "finish",
           "inspect", "keys"]


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
            wipe(secret)
    return report.done(1, "key pair", digests=digests(outputs))


def inspect(path: str) -> List[str]:
    """A file's header in lines of text, its digest checked: for the people running the exchange."""
    source = Input(path, list(Kind))
    header = source.header
    lines = [f"file: {path}", f"kind: {header.kind.label}", f"format version: {VERSION}"]
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
    columns = as_columns(columns)
    rules = [c.rules for c in columns]
    table = Table(rows, [c.name for c in columns])
    keys_of = keyer(table, rowkey.NFC, rules)
    lines = io.StringIO()
    writer = csv.writer(lines, lineterminator="\n")
    writer.writerow(["row", "key", "note"])
    done = 0
    for n, cells in table.batches():
        if not n:
            continue
        keyed, bad = keys_of(done, n, cells)
        invalid = bad.to_pylist() if bad is not None else [False] * n
        for i, (key, wrong) in enumerate(zip(keyed.to_pylist(), invalid)):
            writer.writerow([done + i + 1, rowkey.shown(key), "invalid IBAN: not in a store" if wrong else ""])
        done += n
    table.verify()
    return lines.getvalue()


LABELS = {"key": "key fingerprint", "sender_store": "sender store", "receiver_store": "receiver store",
          "sender_key": "sender bank key", "receiver_key": "receiver bank key", "central_key": "central key",
          "batch": "batch", "decrypted_by": "decrypted by key"}
