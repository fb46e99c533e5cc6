"""The per-batch work of each streamed step: pure functions of bytes.

Each function takes one batch (and the few values every batch shares: keys,
stores) and returns bytes, converting the module's list results once. They
keep no state, so a driver may run them in this process, as `in_order`
does, or elsewhere (`cluster`) as long as it hands the results back in
batch order.
"""

from __future__ import annotations

from typing import Callable, Iterable, Iterator, List, Sequence, Tuple

import kestrova

from .errors import PartyError

Row = List[str]

# The compressed base point: decrypt(BASE, k) is k·B, the public key of k.
BASE_POINT = bytes([0x58] + [0x66] * 31)


def query_batch(senders: Sequence[Row], receivers: Sequence[Row], sender_store: bytes,
                receiver_store: bytes, central_key: bytes) -> bytes:
    return bytes(kestrova.initiate_queries(senders, receivers, sender_store, receiver_store, central_key))


def randomize_batch(ciphertexts: bytes) -> bytes:
    return bytes(kestrova.randomize(ciphertexts))


def combine_batch(first: bytes, second: bytes) -> Tuple[bytes, bytes, bytes, bytes]:
    sender, receiver, gamma, delta = kestrova.combine(first, second)
    return bytes(sender), bytes(receiver), bytes(gamma), bytes(delta)


def decrypt_batch(points: bytes, secret_key: bytes) -> bytes:
    return bytes(kestrova.decrypt(points, secret_key))


def finish_batch(sender: bytes, receiver: bytes, gamma: bytes, delta: bytes, central_secret_key: bytes) -> bytes:
    """One byte per transaction, 1 for a match."""
    return bytes(kestrova.finish(sender, receiver, gamma, delta, central_secret_key))


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
    """`work(*args)`, or a Refused when the module refuses the data."""
    try:
        return work(*args)
    except BaseException as e:
        # The module's PanicException derives from BaseException and is not exported.
        if type(e).__name__ != "PanicException":
            raise
        return Refused(str(e))


def in_order(step: str, work: Callable[..., object], batches: Iterable[tuple], *shared) -> Iterator:
    """Runs `work(*batch, *shared)` for each batch here, in order.

    A failure inside the module names the batch, as a remote run does.
    """
    for number, batch in enumerate(batches):
        result = guarded(work, *batch, *shared)
        if isinstance(result, Refused):
            raise result.error(step, number)
        yield result
