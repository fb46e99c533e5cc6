"""What a file was made under, and the rules that tie files together.

Every exchanged file carries 16-byte fingerprints: of the bank key a store
was built for, and, for ciphertexts and every list derived from them, of the
two stores, the two bank keys, the central key and the batch; a decrypted
list also names the key that decrypted it. A fingerprint is never zero in a
file with a header: only lineage that came in through a bare (`--raw=in`)
input is "unknown", and a file says so in a mask of its own, so that a
zeroed field reads as damage, not as a wildcard.
"""

from __future__ import annotations

import hashlib
from typing import Dict, Tuple

FP_BYTES = 16
ZERO = bytes(FP_BYTES)

# The header's fingerprint fields, in their order in the header (bit i of the mask = field i).
FIELDS = ("key", "sender_store", "receiver_store", "sender_key", "receiver_key", "central_key", "batch",
          "decrypted_by")
# What a batch's ciphertexts and every list derived from them share.
BATCH = ("sender_store", "receiver_store", "sender_key", "receiver_key", "central_key", "batch")


def fingerprint(data: bytes) -> bytes:
    return hashlib.sha256(data).digest()[:FP_BYTES]


def bit(name: str) -> int:
    return 1 << FIELDS.index(name)


def mask_of(names) -> int:
    mask = 0
    for name in names:
        mask |= bit(name)
    return mask


def fields_of(kind_code: int) -> Tuple[str, ...]:
    """The fingerprints a file of this kind carries (the codes are header.Kind's)."""
    if kind_code <= 3:  # keys and stores: the key itself
        return ("key",)
    if kind_code >= 10:  # decrypted points
        return BATCH + ("decrypted_by",)
    return BATCH


def problem(kind_code: int, values: Dict[str, bytes], unknown: int) -> str:
    """Why a header's fingerprints cannot be right, or ''."""
    carried = fields_of(kind_code)
    if unknown & ~mask_of(carried):
        return "its header marks fingerprints unknown that this kind of file does not carry"
    for name in FIELDS:
        value, marked = values[name], bool(unknown & bit(name))
        if name not in carried and value != ZERO:
            return f"its header has a {name.replace('_', ' ')} fingerprint, which this kind of file does not carry"
        if name in carried and (value == ZERO) != marked:
            return f"its header's {name.replace('_', ' ')} fingerprint is missing"
    return ""


def same(a: bytes, b: bytes) -> bool:
    """Equal fingerprints, or one of them unknown (zero once a header has been checked)."""
    return a == ZERO or b == ZERO or a == b
