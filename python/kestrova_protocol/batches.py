"""The per-batch work of each streamed step: pure functions of bytes, through the engine.

Each function takes one batch (and the few values every batch shares: keys,
stores) and returns bytes. They keep no state, so a driver may run them in
this process, as `in_order` does, or elsewhere (`cluster`) as long as it
hands the results back in batch order.
"""

from __future__ import annotations

from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Callable, Deque, Iterable, Iterator, Tuple

from . import engine
from .errors import PartyError

# The compressed base point: decrypt(BASE, k) is k·B, the public key of k.
BASE_POINT = bytes([0x58] + [0x66] * 31)


def query_batch(senders: engine.Keys, receivers: engine.Keys, sender_store, receiver_store,
                central_key: bytes) -> bytes:
    """Packed key bytes per side; each store a parsed Store, or its byte form (a worker's copy)."""
    return engine.query(sender_store, receiver_store, senders, receivers, central_key)


def lookup_batch(keys: engine.Keys, store) -> bytes:
    return engine.lookup(store, keys)


def query_second_batch(first_cells: bytes, second: engine.Keys, store, central_key: bytes,
                       second_is_receiver: bool) -> bytes:
    """The other side's lookups against `store`, then the ciphertexts with the cells of the first side."""
    cells = engine.lookup(store, second)
    if second_is_receiver:
        return engine.query_cells(first_cells, cells, central_key)
    return engine.query_cells(cells, first_cells, central_key)


def randomize_batch(ciphertexts: bytes) -> bytes:
    return engine.randomize(ciphertexts)


def combine_batch(first: bytes, second: bytes) -> Tuple[bytes, bytes, bytes, bytes]:
    return engine.combine(first, second)


def decrypt_batch(points: bytes, secret_key: bytes) -> bytes:
    return engine.decrypt(points, secret_key)


def finish_batch(sender: bytes, receiver: bytes, gamma: bytes, delta: bytes, central_secret_key: bytes) -> bytes:
    """One byte per transaction, 1 for a match."""
    return engine.finish(sender, receiver, gamma, delta, central_secret_key)


def public_key_of(secret_key: bytes) -> bytes:
    return decrypt_batch(BASE_POINT, secret_key)


class Refused:
    """The module's refusal of a batch, as a value: a driver elsewhere gets it back
    unchanged, and Dask does not retry a batch that would only fail again."""

    def __init__(self, text: str):
        self.text = text

    def error(self, step: str, number: int) -> PartyError:
        return PartyError(f"{step}: batch {number}: the module refused the data ({self.text})")


def guarded(work: Callable[..., object], *args):
    """`work(*args)`, or a Refused when the engine refuses the data."""
    try:
        return work(*args)
    except engine.Refusal as e:
        return Refused(str(e))


def in_order(step: str, work: Callable[..., object], batches: Iterable[tuple], *shared) -> Iterator:
    """Runs `work(*batch, *shared)` for each batch here, results in batch order.

    One batch computes on a thread of its own (the engine lets go of the
    interpreter lock) while this one reads the next and writes the last, so at
    most three batches are held. A failure inside the module names the batch,
    as a remote run does.
    """
    pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kestrova-batch")
    pending: Deque[Tuple[int, Future]] = deque()

    def oldest():
        number, future = pending.popleft()
        result = future.result()
        if isinstance(result, Refused):
            raise result.error(step, number)
        return result

    try:
        for number, batch in enumerate(batches):
            pending.append((number, pool.submit(guarded, work, *batch, *shared)))
            if len(pending) > 1:
                yield oldest()
        while pending:
            yield oldest()
    finally:
        # A stop or a failure waits only for the batch already computing.
        pool.shutdown(wait=True, cancel_futures=True)
