"""Batched steps that survive a crash: checkpointed temporaries, continued by --resume.

While a batched step writes, every CHECKPOINT_SECONDS it syncs its outputs'
temporaries and then records, in a temporary of its own beside the first
output (`.NAME.PID-RANDOM.state.part`), how many items they hold and the
SHA-256 of each temporary up to there. A run killed at any moment leaves
both behind; `--resume` takes them over (renamed to its own PID and locked,
so that no sweep of stale temporaries removes them: a live run holds a lock
on each of its temporaries, its record included), checks each temporary
against its digest, cuts off what came after the checkpoint, and continues
with the next item. Without --resume a rerun sweeps them away as before.
"""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import hashlib
import json
import os
import time
from typing import Callable, List, Optional

from .errors import PartyError
from .commit import Output, fsync_folder
from .header import HEADER, Header, Kind
from .inputs import Input
from .outputs import PayloadOutput
from .regular_files import inode_of
from .temporaries import fresh_name, owned_by_live_run, temporaries

CHECKPOINT_SECONDS = float(os.environ.get("KESTROVA_CHECKPOINT_SECONDS", "5"))
STATE = ".state.part"
_FORMAT = 1
_SLICE = 1 << 23


def _locked(path: str) -> int:
    """An open descriptor of `path` holding its lock, for as long as this run lives (or until closed)."""
    fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BaseException:
        os.close(fd)
        raise
    return fd


def input_identity(source: Input) -> str:
    """What a resumed run must read again: a headed file by its digest, a bare one by its size and time."""
    if not source.raw:
        return source.header.digest.hex()
    st = os.fstat(source.file.fileno())
    return f"{os.path.realpath(source.path)}:{st.st_size}:{st.st_mtime_ns}"


def file_identity(path: str) -> str:
    st = os.stat(path)
    return f"{os.path.realpath(path)}:{st.st_size}:{st.st_mtime_ns}"


def _header_to_json(header: Header) -> dict:
    return {k: (v.hex() if isinstance(v, bytes) else int(v)) for k, v in dataclasses.asdict(header).items()}


def _header_from_json(fields: dict) -> Header:
    return Header(**{k: (Kind(v) if k == "kind" else v if isinstance(v, int) else bytes.fromhex(v))
                     for k, v in fields.items()})


@dataclasses.dataclass
class Claimed:
    """An interrupted run's checkpoint and temporaries, renamed to this process."""
    state_path: str
    state: dict
    temps: List[str]
    # The locks held on the record and on each temporary (open descriptors), taken over by the journal.
    state_lock: int = -1
    locks: List[int] = dataclasses.field(default_factory=list)
    # Said once the sweep of stale temporaries has removed what is left of the run.
    problem: str = ""


def claim(paths: List[str], resume: bool) -> Optional[Claimed]:
    """With --resume, takes over the newest checkpoint an ended run left for these outputs (before the
    sweep of stale temporaries); None when there is none, or without --resume."""
    if not resume:
        return None
    folder, prefix = temporaries(paths[0])
    try:
        names = os.listdir(folder)
    except OSError:
        return None
    found = []
    for name in names:
        if name.startswith(prefix) and name.endswith(STATE) and \
                not owned_by_live_run(os.path.join(folder, name)):
            with contextlib.suppress(OSError):
                found.append((os.stat(os.path.join(folder, name)).st_mtime_ns, os.path.join(folder, name)))
    for _, path in sorted(found, reverse=True):
        try:
            lock = _locked(path)
        except OSError:
            continue  # another run holds it, or took it first
        mine = fresh_name(paths[0], STATE)
        try:
            os.rename(path, mine)
        except FileNotFoundError:
            os.close(lock)
            continue  # another --resume run took it first
        claimed = Claimed(mine, {}, [], state_lock=lock)
        try:
            with open(mine, "rb") as f:
                claimed.state = json.loads(f.read())
            records = claimed.state["outputs"]
            if [r["path"] for r in records] != [os.path.abspath(p) for p in paths]:
                raise ValueError
            # The new names are recorded before the renames, and the old ones kept beside them, so that
            # a kill between the two leaves a record that still finds each temporary.
            moves = []
            for record in records:
                where = os.path.dirname(record["path"])
                old = next((os.path.join(where, record[k]) for k in ("temp", "was") if record.get(k)
                            and os.path.exists(os.path.join(where, record[k]))), None)
                if old is None:
                    claimed.problem = (f"{os.path.join(where, record['temp'])}: the interrupted run's output "
                                       f"is gone; rerun without --resume")
                    break
                new = fresh_name(record["path"])
                record["temp"], record["was"] = os.path.basename(new), os.path.basename(old)
                moves.append((old, new))
            if not claimed.problem:
                old_lock = claimed.state_lock
                claimed.state_lock = _write_state(claimed.state_path, claimed.state, paths[0])
                os.close(old_lock)
                for old, new in moves:
                    # Locked before the rename, so that no sweep finds it unheld on the way.
                    lock = _locked(old)
                    try:
                        os.rename(old, new)
                    except BaseException:
                        os.close(lock)
                        raise
                    claimed.temps.append(new)
                    claimed.locks.append(lock)
        except (OSError, ValueError, KeyError, TypeError):
            claimed.problem = f"{path}: damaged or altered; not continued (rerun without --resume)"
        return claimed
    return None


def _write_state(path: str, state: dict, output: str) -> int:
    """Replaces the record in one rename, synced, so that a kill leaves the old one or the new (and a
    temporary of `output` that the next sweep removes). Returns the new record's lock: it is locked
    before it takes the name, so that no sweep finds it unheld."""
    fresh = fresh_name(output, ".state-new.part")
    fd = os.open(fresh, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        data = json.dumps(state).encode()
        while data:
            data = data[os.write(fd, data):]
        os.fsync(fd)
        os.replace(fresh, path)
    except BaseException:
        os.close(fd)
        raise
    fsync_folder(os.path.dirname(path))
    return fd


def _drop(claimed: Claimed) -> None:
    for name in [claimed.state_path, *claimed.temps]:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(name)
    for fd in [claimed.state_lock, *claimed.locks]:
        if fd >= 0:
            os.close(fd)
    claimed.state_lock, claimed.locks = -1, []


def _start(target: Output) -> int:
    """Where the checkpointed bytes begin: after a header's place, which is written again at the end."""
    return HEADER.size if isinstance(target, PayloadOutput) and not target.raw else 0


def _hash_range(fd: int, start: int, end: int):
    """SHA-256 of bytes [start, end), or None if the file ends before."""
    digest = hashlib.sha256()
    with memoryview(bytearray(_SLICE)) as view:
        at = start
        while at < end:
            n = os.preadv(fd, [view[:min(_SLICE, end - at)]], at)
            if n <= 0:
                return None
            digest.update(view[:n])
            at += n
    return digest


class Journal:
    """The checkpoints of one run of a step over its outputs (use as a context manager around `Outputs`)."""

    def __init__(self, step: str, identity: dict, claimed: Optional[Claimed], every: float = CHECKPOINT_SECONDS):
        self.step = step
        self.identity = json.loads(json.dumps(identity))  # as it will read back
        self.claimed = claimed
        self.every = every
        self.items = 0
        self.extra: dict = {}
        self.targets: List[Output] = []
        self.hashers: list = []
        self.waits: List[Callable[[], bool]] = []
        self.state_path: Optional[str] = None
        self.state_lock = -1
        self.last = time.monotonic()

    def __enter__(self) -> "Journal":
        return self

    def __exit__(self, *exc) -> None:
        # Committed or discarded, the outputs need no checkpoint; a killed run never gets here.
        if self.claimed:
            _drop(self.claimed)
        if self.state_path:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.state_path)
        if self.state_lock >= 0:
            os.close(self.state_lock)
            self.state_lock = -1

    def start(self, targets: List[Output]) -> int:
        """Takes over the claimed temporaries into `targets` (fresh ones, just made), or starts them afresh;
        returns the items they already hold."""
        self.targets = list(targets)
        if self.claimed is not None:
            if self.claimed.problem:
                raise PartyError(self.claimed.problem)
            state = self.claimed.state
            if state.get("format") != _FORMAT or state.get("step") != self.step or state.get("identity") != self.identity:
                raise PartyError(f"--resume: the interrupted run of {self.step} read other inputs or had other "
                                 f"options; rerun without --resume to start again")
            for target, temp, record in zip(self.targets, self.claimed.temps, state["outputs"]):
                lock = self.claimed.locks.pop(0)
                try:
                    self.hashers.append(self._adopt(target, temp, lock, record))
                except BaseException:
                    os.close(lock)
                    raise
            self.state_lock, self.claimed.state_lock, self.claimed.locks = self.claimed.state_lock, -1, []
            self.items, self.extra = int(state["items"]), dict(state.get("extra", {}))
            self.state_path, self.claimed = self.claimed.state_path, None
        else:
            for target in self.targets:  # what each holds so far: a header's place, or nothing
                target.file.flush()
                reader = os.open(target.temp, os.O_RDONLY | os.O_CLOEXEC)
                try:
                    self.hashers.append(_hash_range(reader, _start(target), target.file.tell()))
                finally:
                    os.close(reader)
            self.state_path = fresh_name(self.targets[0].path, STATE)
        for target, hasher in zip(self.targets, self.hashers):
            write = target.write

            def hashed(data, write=write, hasher=hasher):
                write(data)
                hasher.update(data)

            target.write = hashed
        return self.items

    def _adopt(self, target: Output, temp: str, fd: int, record: dict):
        """`fd`: the claimed temporary, open and locked; it becomes the target's file and its lock."""
        length, start = int(record["length"]), _start(target)
        digest = _hash_range(fd, start, length) if length >= start else None
        if digest is None or digest.hexdigest() != record["digest"]:
            raise PartyError(f"{temp}: changed on disk since the interrupted run wrote it; not continued "
                             f"(rerun without --resume)")
        os.ftruncate(fd, length)  # what came after the checkpoint may be torn
        # The output goes on under the name the checkpoint gives, which a kill from here on leaves valid;
        # its lock, held for as long as this run lives, is the target's.
        target.discard()
        target.temp = temp
        target._lock = os.dup(fd)
        target.identity = inode_of(os.fstat(fd))
        target.file = os.fdopen(fd, "r+b")
        target.file.seek(length)
        if isinstance(target, PayloadOutput):  # the payload so far, as if it had been written by this run
            target._hash, target._bytes = digest.copy(), length - start
            if record.get("header"):
                target.header = _header_from_json(record["header"])
        return digest

    def wait_for(self, ready: Callable[[], bool]) -> None:
        """No checkpoint until `ready()`: a resumed run keeps what a checkpoint holds, so it must come from
        inputs already checked."""
        self.waits.append(ready)

    def advance(self, items: int, **extra) -> None:
        """After each batch is written: `items` more are in the temporaries."""
        self.items += items
        self.extra.update(extra)
        now = time.monotonic()
        if now - self.last >= self.every and all(ready() for ready in self.waits):
            self.last = now
            self.checkpoint()

    def checkpoint(self) -> None:
        """The temporaries synced, then the record of them replaced in one rename."""
        outputs = []
        try:
            for target, hasher in zip(self.targets, self.hashers):
                target.file.flush()
                os.fsync(target.file.fileno())
                header = getattr(target, "header", None) if isinstance(target, PayloadOutput) else None
                outputs.append({"path": os.path.abspath(target.path), "temp": os.path.basename(target.temp),
                                "length": target.file.tell(), "digest": hasher.hexdigest(),
                                "header": _header_to_json(header) if header is not None else None})
            state = {"format": _FORMAT, "step": self.step, "identity": self.identity, "items": self.items,
                     "extra": self.extra, "outputs": outputs}
            lock = _write_state(self.state_path, state, self.targets[0].path)
            if self.state_lock >= 0:
                os.close(self.state_lock)
            self.state_lock = lock
        except OSError as e:
            raise PartyError(f"{self.targets[0].path}: cannot write ({e.strerror})") from None
