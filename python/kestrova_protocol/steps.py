"""What every step shares: its options, the keys it reads, the checks that its inputs belong together,
and the running of its batches in order, written as they come."""

from __future__ import annotations

import contextlib
import dataclasses
import os
from typing import Any, Dict, Iterator, Optional, Sequence, Tuple, Union

from . import batches, engine, resume
from . import keying as rowkey  # how rows become keys (the name `keying` is the steps' parameter)
from .commit import Outputs
from .errors import PartyError
from .header import Header, Kind
from .inputs import Input, read_whole, verify_all
from .lineage import ZERO, fingerprint, same
from .outputs import PayloadOutput
from .progress import Report
from .table_sources import TableSource, is_url, local_path


# What each step returns: its closing figures (step, items, seconds, and the step's own).
Summary = Dict[str, Any]
ColumnSpec = Sequence[Union[str, rowkey.Column]]

DEFAULT_BATCH = 10_000


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


def wipe(secret: bytearray) -> None:
    secret[:] = bytes(len(secret))


def read_secret_key(path: str, raw: bool) -> Tuple[bytearray, bytes]:
    """The key (wipe it when done) and the fingerprint of its public key, worked out from the key itself."""
    _, secret = read_whole(path, Kind.SECRET_KEY, raw)
    return secret, fingerprint(engine.public_key_of(secret))


# Why a public key is refused, by what its bytes encode.
_NOT_A_KEY = {
    "not canonical": "not a canonical point encoding",
    "not on the curve": "not a point of the curve",
    "small order": "a point of small order, which would reveal every row; not a public key",
    "mixed order": "a point with a small-order part, which no key pair has; not a public key",
}


def read_public_key(path: str, raw: bool) -> Tuple[bytes, bytes]:
    """A key to encrypt under: a point of prime order, canonically encoded."""
    _, data = read_whole(path, Kind.PUBLIC_KEY, raw)
    key = bytes(data)
    encoded = engine.classify_point(key)
    if encoded != "prime order":
        raise PartyError(f"{path}: {_NOT_A_KEY[encoded]}")
    return key, fingerprint(key)


def store_fingerprint(header: Header) -> bytes:
    return header.digest[:len(ZERO)]


def refuse_other_batch(reference: Input, other: Input) -> None:
    mine, theirs = reference.header.batch_lineage(), other.header.batch_lineage()
    if not all(same(mine[name], theirs[name]) for name in mine):
        raise PartyError(f"{other.path}: belongs to another batch than {reference.path}")
    if reference.count != other.count:
        raise PartyError(f"{other.path}: {other.count:,} items, {reference.path} has {reference.count:,}")


def local_output(path: str) -> str:
    """Outputs are committed all or nothing on this machine's file system only."""
    path = os.fspath(path)
    if is_url(path):
        local = local_path(path)
        if local is None:
            raise PartyError(f"{path}: outputs are written on this machine only (object storage cannot take "
                             "them all or nothing); write the file here, then copy it")
        return local
    return path


def digests(outputs: Outputs) -> Dict[str, str]:
    return {o.path: o.header.digest.hex() for o in outputs.items
            if isinstance(o, PayloadOutput) and not o.raw}


def table_identity(source: TableSource, resuming: bool) -> Optional[str]:
    """What a resumed query must read again: a file by its name, size and time, a URL by itself."""
    path = local_path(source)
    if path is not None:
        return resume.file_identity(path)
    if is_url(source):
        return str(source)
    if resuming:
        raise PartyError("--resume needs the transactions as a file or URL, not an in-memory table")
    return None


def run_batches(options: Options, step: str, fn, items, *shared) -> Iterator:
    if options.dask:
        from . import cluster
        return cluster.in_order(options.dask, options.threads, step, fn, items, *shared,
                                security=options.dask_security, timeout=options.dask_timeout)
    return batches.in_order(step, fn, items, *shared)


def stream(report: Report, total: Optional[int], results: Iterator, write, items_of,
           inputs: Sequence[Input] = (), measure=None, journal: Optional[resume.Journal] = None) -> int:
    """Writes each batch's result (checkpointed by `journal`); then checks that the inputs were what their
    digests say. Returns the items written, those of a resumed run's earlier part included.

    A batch the engine refuses is most often a damaged input: that is named
    instead, when the rest of the input shows it.
    """
    done = journal.items if journal else 0
    # Closed on a failed write too, which stops a cluster at once.
    with contextlib.closing(results), report.bar(total, measure=measure) as bar:
        if done:
            bar.update(done)
        while True:
            try:
                result = next(results)
            except StopIteration:
                break
            except PartyError:
                # Only a refusal is looked into: a failed write says what failed itself.
                verify_all(inputs)
                raise
            write(result)
            n = items_of(result)
            done += n
            if journal:
                journal.advance(n)
            bar.update(n)
    verify_all(inputs)
    return done
