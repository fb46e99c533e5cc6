"""Outputs: refused before any work where they cannot or must not be written; an exchanged file
written as its header, then its payload in slices, and committed with the others (`commit`)."""

from __future__ import annotations

import hashlib
import logging
import os
import struct
from typing import Callable, Optional, Sequence

from .commit import Output, Outputs, recover
from .errors import PartyError
from .header import HEADER, MAGIC, Header, Kind
from .regular_files import input_identities, inode_of, not_regular
from .temporaries import folder_of, remove_stale

_log = logging.getLogger("kestrova_protocol")


def _output_name_problem(path: str) -> str:
    if not path:
        return "an empty output name"
    if path.endswith(os.sep) or os.path.basename(path) in ("", ".", ".."):
        return f"{path}: names a folder, expected a file name"
    return ""


def _looks_like_secret_key(path: str, st: os.stat_result) -> bool:
    """A headed secret key, or a bare 32-byte file only its owner may read."""
    if st.st_size == 32 and not st.st_mode & 0o077:
        return True
    if st.st_size != HEADER.size + 32:
        return False
    try:
        with open(path, "rb", buffering=0) as f:
            head = f.read(12)
    except OSError:
        return False
    return head[:8] == MAGIC and struct.unpack("<H", head[10:12])[0] == Kind.SECRET_KEY


# A temporary's name: `.NAME.PID-RANDOM.part` (`.old.part` for a replaced file kept


def check_writable(paths: Sequence[str], force: bool, inputs: Sequence[Optional[str]] = (),
                   secret_keys: Sequence[str] = ()) -> None:
    """Refuses outputs that cannot or must not be written, before anything else is opened.

    `inputs`: the step's input files, which no output may be, under any name;
    `secret_keys`: the outputs that are secret keys, the only ones that may replace one.
    """
    sources = input_identities(inputs)
    for path in paths:
        why = _output_name_problem(path)
        if why:
            raise PartyError(why)
    # A commit a killed run left half done is undone first: what exists is then what was there before it.
    for folder in dict.fromkeys(folder_of(path) for path in paths):
        if os.path.isdir(folder):
            recover(folder)
    for path in paths:
        try:
            st = os.stat(path)
        except FileNotFoundError:
            if os.path.islink(path):
                raise PartyError(f"{path}: is a dangling symbolic link") from None
            st = None
        except OSError as e:
            raise PartyError(f"{path}: cannot write ({e.strerror})") from None
        if st is not None:
            why = not_regular(st)
            if why:
                raise PartyError(f"{path}: {why}")
            for source, inode in sources:
                if inode == inode_of(st):
                    raise PartyError(f"{path}: is the input {source}; write the output elsewhere")
            if not force:
                raise PartyError(f"{path}: exists (use --force to replace it)")
            if path not in secret_keys and _looks_like_secret_key(path, st):
                raise PartyError(f"{path}: is a secret key; --force replaces it with nothing but a secret key")
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise PartyError(f"{path}: cannot write (no folder {folder})")
        for left in remove_stale(path):
            _log.warning(f"kestrova-party: note: {left}: a temporary left by an interrupted run; remove it",
                         extra={"kestrova": {"event": "note", "file": left}})


class PayloadOutput(Output):
    """An exchanged file: header, then the payload written in slices."""

    def __init__(self, path: str, header: Header, raw: bool = False, force: bool = False,
                 private: bool = False):
        super().__init__(path, force, private)
        self.header = header
        self.raw = raw
        self._hash = hashlib.sha256()
        self._native_digest: Optional[bytes] = None
        self._bytes = 0
        if not raw:
            super().write(header.pack())  # count and digest are filled in when complete

    def write(self, data: bytes) -> None:
        if self._native_digest is not None:
            raise ValueError("a native payload is the whole payload")
        self._hash.update(data)
        self._bytes += len(data)
        super().write(data)

    def write_natively(self, produce: Callable[[int], dict]) -> dict:
        """The whole payload written by `produce(fd)` straight to the file (the engine's store builder),
        which returns its byte count and SHA-256 as "bytes" and "digest" in a dict; returns that dict."""
        if self._bytes:
            raise ValueError("a native payload is the whole payload")
        try:
            self.file.flush()
            fd = self.file.fileno()
            start = os.lseek(fd, 0, os.SEEK_CUR)
            result = produce(fd)
            end = os.lseek(fd, 0, os.SEEK_CUR)
            self.file.seek(end)  # the writer's own idea of its position
        except OSError as e:
            raise PartyError(f"{self.path}: cannot write ({e.strerror})") from None
        if end - start != result["bytes"]:
            raise PartyError(f"{self.path}: changed while being written")
        self._bytes = result["bytes"]
        self._native_digest = result["digest"]
        return result

    def finalize(self) -> None:
        if not self.raw:
            size = self.header.kind.item_bytes
            if size:
                self.header.count = self._bytes // size
            payload = self._native_digest if self._native_digest is not None else self._hash.digest()
            self.header.digest = self.header.payload_digest(payload)
            try:
                self.file.seek(0)
            except OSError as e:
                raise PartyError(f"{self.path}: cannot write ({e.strerror})") from None
            super().write(self.header.pack())
        super().finalize()


def write_whole(outputs: Outputs, path: str, header: Header, data: bytes, raw: bool, force: bool,
                private: bool = False) -> None:
    out = outputs.add(PayloadOutput(path, header, raw, force, private))
    out.write(data)
