"""A Python module for the cryptographic operations necessary to do feature extraction (element matching in two datasets)."""

# Byte arguments are copied out of any sequence of ints 0..255 (bytes, bytearray,
# list, tuple, range, ...); a str is refused. Byte results are always list[int],
# so the output of one call can be passed to the next unchanged.

from typing import List, Sequence, Tuple, Union

_Bytes = Union[bytes, bytearray, Sequence[int]]
_Rows = Sequence[Sequence[str]]

__all__: List[str]

def key_gen() -> Tuple[List[int], List[int]]:
    """Generates a key pair for this party, returning a tuple with (public_key: bytes, secret_key: bytes)."""

def build_okvs(public_key: _Bytes, strings_in_each_row: _Rows) -> List[int]:
    """Builds an OKVS for one party. Takes the public key of this party and the data from the database, which is a list of rows. Each row is a list of the relevant columns as a String."""

def initiate_queries(
    sender_data: _Rows,
    receiver_data: _Rows,
    sender_okvs: _Bytes,
    receiver_okvs: _Bytes,
    swift_pk: _Bytes,
) -> List[int]:
    """One 128-byte ciphertext per transaction (sender, receiver, gamma, delta points).

    Transaction i pairs sender_data[i] with receiver_data[i]; extra rows of the
    longer list are ignored.
    """

def randomize(ciphertexts: _Bytes) -> List[int]:
    """Multiplies every 128-byte ciphertext by a fresh random scalar of its own."""

def combine(
    sender_ciphertexts: _Bytes, receiver_ciphertexts: _Bytes
) -> Tuple[List[int], List[int], List[int], List[int]]:
    """Adds two ciphertext lists pairwise; returns the sender, receiver, gamma and delta point lists (32 bytes per item)."""

def decrypt(points: _Bytes, bank_secret_key: _Bytes) -> List[int]:
    """Multiplies every 32-byte point by the bank's secret key."""

def finish(
    sender_points: _Bytes,
    receiver_points: _Bytes,
    gamma_points: _Bytes,
    delta_points: _Bytes,
    swift_secret_key: _Bytes,
) -> List[bool]:
    """One flag per transaction: True when both of its rows were in the banks' stores."""
