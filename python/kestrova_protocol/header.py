"""The header of every file the parties exchange, then the engine's bytes unchanged.

Header (little-endian, HEADER.size bytes):

    magic "KESTROVA"  version u16  kind u16  keying u8  unknown-lineage mask u8  rules tables version u16
    item count u64    digest (32 bytes)
    column normalisations (16 bytes, a store's only; see `keying`)
    eight 16-byte fingerprints (see `lineage`)

The rules tables version (3 on) is a store's only, and 0 unless its rules
read a data table; version 2 had two zero bytes there and is read as before.

The digest is SHA-256 over the header with its digest field zeroed, followed
by SHA-256 of the payload: it covers every header field as well as the data.
"""

from __future__ import annotations

import dataclasses
import enum
import hashlib
import struct
from typing import Optional

from . import lineage
from .keying import RULES_BYTES
from .lineage import FIELDS, FP_BYTES, ZERO

MAGIC = b"KESTROVA"
VERSION = 3
READS = (2, 3)
HEADER = struct.Struct(f"<8sHHBBHQ32s{RULES_BYTES}s" + f"{FP_BYTES}s" * len(FIELDS))
_DIGEST_AT = 24  # offset of the digest field in the header


class Kind(enum.IntEnum):
    PUBLIC_KEY = 1
    SECRET_KEY = 2
    STORE = 3
    QUERY = 4
    RANDOMIZED = 5
    SENDER = 6
    RECEIVER = 7
    GAMMA = 8
    DELTA = 9
    DECRYPTED_SENDER = 10
    DECRYPTED_RECEIVER = 11

    @property
    def label(self) -> str:
        return _LABELS[self]

    @property
    def item_bytes(self) -> int:
        """Bytes per item; 0 for a store, whose size follows from its row count."""
        return _ITEM_BYTES.get(self, 32)


_LABELS = {
    Kind.PUBLIC_KEY: "public key", Kind.SECRET_KEY: "secret key", Kind.STORE: "store",
    Kind.QUERY: "query ciphertexts", Kind.RANDOMIZED: "randomised ciphertexts",
    Kind.SENDER: "sender points", Kind.RECEIVER: "receiver points",
    Kind.GAMMA: "gamma points", Kind.DELTA: "delta points",
    Kind.DECRYPTED_SENDER: "decrypted sender points", Kind.DECRYPTED_RECEIVER: "decrypted receiver points",
}
_ITEM_BYTES = {Kind.STORE: 0, Kind.QUERY: 128, Kind.RANDOMIZED: 128}


@dataclasses.dataclass
class Header:
    """A file's header. In memory a zero fingerprint means "unknown" (lineage from a bare input);
    on disk the mask says so, and a zero fingerprint the mask does not name is damage."""
    kind: Kind
    count: int = 0
    digest: bytes = bytes(32)
    keying: int = 0
    rules: bytes = bytes(RULES_BYTES)
    key: bytes = ZERO
    sender_store: bytes = ZERO
    receiver_store: bytes = ZERO
    sender_key: bytes = ZERO
    receiver_key: bytes = ZERO
    central_key: bytes = ZERO
    batch: bytes = ZERO
    decrypted_by: bytes = ZERO
    tables: int = 0  # a store's rules tables version

    def fingerprints(self) -> dict:
        return {name: getattr(self, name) for name in FIELDS}

    def unknown_mask(self) -> int:
        return lineage.mask_of(n for n in lineage.fields_of(self.kind) if getattr(self, n) == ZERO)

    def pack(self, digest: Optional[bytes] = None) -> bytes:
        return HEADER.pack(MAGIC, VERSION, self.kind, self.keying, self.unknown_mask(), self.tables, self.count,
                           self.digest if digest is None else digest, self.rules, *self.fingerprints().values())

    def payload_digest(self, payload_hash: bytes) -> bytes:
        return file_digest(self.pack(), payload_hash)

    def batch_lineage(self) -> dict:
        return {name: getattr(self, name) for name in lineage.BATCH}

    def derived(self, kind: Kind, **changes) -> "Header":
        return Header(kind=kind, **{**self.batch_lineage(), **changes})


def file_digest(header: bytes, payload_hash: bytes) -> bytes:
    """Over the header's bytes as they stand (its digest field zeroed) and the payload's hash."""
    return hashlib.sha256(header[:_DIGEST_AT] + bytes(32) + header[_DIGEST_AT + 32:] + payload_hash).digest()
