"""Outputs that appear together or not at all, across a failure, a kill or a power loss.

Each output is written under a locked temporary name in its own folder, then
all are committed at once (`Outputs`); a commit that a killed run left half
done is undone by the next run that writes into that folder (`recover`).
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import os
import secrets
import signal
import threading
from typing import Callable, Iterator, List, Optional, Sequence, Tuple

from .errors import PartyError
from .regular_files import inode_of
from .temporaries import folder_of, fresh_name, lock_free

_COMMIT_SUFFIX = ".commit"


class Output:
    """A file written under a temporary name in its folder (`.NAME.PID-RANDOM.part`).

    The folder is resolved once, here: the temporary and the commit stay in it
    even if a symbolic link on the way is retargeted meanwhile. The temporary
    is locked for as long as this run lives, which is what keeps a rerun's
    cleanup off it.
    """

    def __init__(self, path: str, force: bool = False, private: bool = False):
        self.path = path
        self.force = force
        self._lock = None
        self.final = os.path.join(folder_of(path), os.path.basename(path))
        while True:
            self.temp = fresh_name(path)
            try:
                fd = os.open(self.temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
            except OSError as e:
                raise PartyError(f"{path}: cannot write ({e.strerror})") from None
            fcntl.flock(fd, fcntl.LOCK_EX)
            # Another run's cleanup may have taken it between its creation and the lock.
            if os.fstat(fd).st_nlink:
                break
            os.close(fd)
        # Held until the run ends: the writer's descriptor is closed before the commit.
        self._lock = os.dup(fd)
        if not private:  # a secret key stays 0600
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(fd, 0o666 & ~umask)
        self.identity = inode_of(os.fstat(fd))
        self.file = os.fdopen(fd, "wb")

    def release(self) -> None:
        if self._lock is not None:
            os.close(self._lock)
            self._lock = None

    def write(self, data: bytes) -> None:
        try:
            self.file.write(data)
        except OSError as e:
            raise PartyError(f"{self.path}: cannot write ({e.strerror})") from None

    def finalize(self) -> None:
        """Everything on disk under the temporary name."""
        try:
            self.file.flush()
            os.fsync(self.file.fileno())
            self.file.close()
        except OSError as e:
            raise PartyError(f"{self.path}: cannot write ({e.strerror})") from None

    def discard(self) -> None:
        try:
            self.file.close()
        except OSError:
            pass
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass
        self.release()


_STOPPING = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

# Called with the operation's name before each link, rename, unlink and fsync of a
# commit or a recovery (tests stop the process there).
_before_step: Optional[Callable[[str], None]] = None

# Outputs committed by this process, in order: a stop that comes after the commit
# says so instead of "no output written".
committed: List[str] = []


def _step(name: str) -> None:
    if _before_step is not None:
        _before_step(name)


def fsync_folder(folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        _step("fsync")
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


@contextlib.contextmanager
def _signals_deferred() -> Iterator[None]:
    """A stopping signal that arrives inside is raised again once the block is done.

    Blocking it is not enough: the process-directed signal is taken by any
    other thread (the batch thread, the engine's workers), and the interpreter
    then runs the handler in this one, in the middle of the commit.
    """
    if threading.current_thread() is not threading.main_thread():
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _STOPPING)
        try:
            yield
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        return
    arrived: List[int] = []
    previous = {number: signal.signal(number, lambda number, frame: arrived.append(number))
                for number in _STOPPING}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if arrived:
            signal.raise_signal(arrived[0])


class Outputs:
    """Several outputs that appear together or not at all, across a failure, a kill or a power loss.

    All are written and synced under temporary names first, then committed:
    without --force by hard link, which fails where the name exists, so two
    writers of one name cannot both win; with --force by rename, the replaced
    file kept aside (linked) until every output is in place. With more than
    one output, a commit record naming every temporary, output and kept-aside
    file is synced first and removed last; a run that finds a record no live
    run holds (the writer was killed) undoes what it names, putting every
    replaced file back. Signals that stop a step wait until the commit is done.
    """

    def __init__(self):
        self.items: List[Output] = []

    def add(self, output: Output) -> Output:
        self.items.append(output)
        return output

    def __enter__(self) -> "Outputs":
        return self

    def __exit__(self, kind, value, trace) -> None:
        if kind is not None:
            self._discard()
            return
        try:
            for output in self.items:
                output.finalize()
        except BaseException:
            self._discard()
            raise
        with _signals_deferred():
            try:
                self._commit()
            finally:
                for output in self.items:
                    output.release()

    def _discard(self) -> None:
        for output in self.items:
            output.discard()

    def _commit(self) -> None:
        record = _Record.write(self.items) if len(self.items) > 1 else None
        done: List[Tuple[Output, bool, Optional[str]]] = []  # (output, linked, the replaced file kept aside)
        try:
            for output in self.items:
                done.append((output, *_place(output, record.aside_of(output) if record else None)))
            if record:
                _sync_folders(self.items)
                record.remove()  # the commit point
        except BaseException as e:
            if record:
                record.undo()
            else:
                for output, linked, aside in reversed(done):
                    _undo(output, aside)
            self._discard()
            _sync_folders(self.items)
            if isinstance(e, FileExistsError):
                raise PartyError(f"{e.filename}: exists (written by another run meanwhile; "
                                 "use --force to replace it)") from None
            if isinstance(e, OSError):
                raise PartyError(f"{e.filename or '?'}: cannot write ({e.strerror})") from None
            raise
        committed.extend(output.path for output in self.items)
        for output, linked, aside in done:
            for name in (output.temp if linked else None, aside):
                if name:
                    with contextlib.suppress(FileNotFoundError):
                        _step("unlink")
                        os.unlink(name)
        _sync_folders(self.items)


def _aside_name(output: Output) -> str:
    return output.temp[:-len(".part")] + ".old.part"


class _Record:
    """What a multi-output commit is about to do, synced before it starts; locked while its run lives."""

    def __init__(self, path: str, fd: int, entries: List[dict]):
        self.path, self.fd, self.entries = path, fd, entries

    @classmethod
    def write(cls, items: Sequence[Output]) -> "_Record":
        folder = os.path.dirname(items[0].final)
        path = os.path.join(folder, f".kestrova.{os.getpid()}-{secrets.token_hex(8)}{_COMMIT_SUFFIX}")
        entries = [{"final": o.final, "temp": o.temp, "aside": _aside_name(o) if o.force else None,
                    "identity": list(o.identity)} for o in items]
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except OSError as e:
            raise OSError(e.errno, e.strerror, path) from None
        fcntl.flock(fd, fcntl.LOCK_EX)
        record = cls(path, fd, entries)
        try:
            os.write(fd, json.dumps({"entries": entries}).encode("utf-8"))
            _step("fsync")
            os.fsync(fd)
            for folder in {os.path.dirname(e["final"]) for e in entries}:
                fsync_folder(folder)
        except BaseException:
            record.undo()
            raise
        return record

    def aside_of(self, output: Output) -> Optional[str]:
        return next(e["aside"] for e in self.entries if e["temp"] == output.temp)

    def remove(self) -> None:
        _step("unlink")
        os.unlink(self.path)
        fsync_folder(os.path.dirname(self.path))
        os.close(self.fd)
        self.fd = None

    def undo(self) -> None:
        """Every output named put back as it was; then the record goes."""
        for entry in reversed(self.entries):
            _roll_back(entry)
        for folder in {os.path.dirname(e["final"]) for e in self.entries}:
            fsync_folder(folder)
        with contextlib.suppress(FileNotFoundError):
            _step("unlink")
            os.unlink(self.path)
        fsync_folder(os.path.dirname(self.path))
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def _lstat(path: Optional[str]) -> Optional[os.stat_result]:
    if not path:
        return None
    try:
        return os.lstat(path)
    except FileNotFoundError:
        return None


def _roll_back(entry: dict) -> None:
    final, temp, aside = entry["final"], entry["temp"], entry["aside"]
    ours = tuple(entry["identity"])
    now, kept = _lstat(final), _lstat(aside)
    if kept is not None:
        if now is None or inode_of(now) == ours:
            _step("rename")
            os.rename(aside, final)  # the replaced file back: never lost
        elif inode_of(now) == inode_of(kept):
            _step("unlink")
            os.unlink(aside)  # a second name of the file still in place
        # Else someone else wrote the output since: theirs stays, and so does the aside.
    elif now is not None and inode_of(now) == ours:
        _step("unlink")
        os.unlink(final)
    if _lstat(temp) is not None:
        _step("unlink")
        os.unlink(temp)


def recover(folder: str) -> None:
    """Undoes the commits that runs killed meanwhile left unfinished in `folder`."""
    try:
        names = [n for n in os.listdir(folder) if n.startswith(".kestrova.") and n.endswith(_COMMIT_SUFFIX)]
    except OSError:
        return
    for name in names:
        path = os.path.join(folder, name)
        try:
            fd = os.open(path, os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError:
            continue
        if not lock_free(fd):
            os.close(fd)
            continue  # a live run's commit
        try:
            entries = json.loads(os.pread(fd, 1 << 20, 0).decode("utf-8"))["entries"]
        except (ValueError, KeyError, UnicodeDecodeError):
            entries = []  # killed while writing the record: nothing was placed yet
        try:
            _Record(path, fd, entries).undo()
        except OSError as e:
            raise PartyError(f"{path}: a commit left unfinished by a killed run cannot be undone "
                             f"({e.strerror})") from None


def _place(output: Output, aside_name: Optional[str]) -> Tuple[bool, Optional[str]]:
    """Puts the output under its name: (by a hard link?, where a replaced file was kept)."""
    final = output.final
    if not output.force:
        try:
            _step("link")
            os.link(output.temp, final)
            return True, None
        except FileExistsError:
            raise FileExistsError(errno.EEXIST, "exists", output.path) from None
        except OSError as e:
            if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK):
                raise OSError(e.errno, e.strerror, output.path) from None
            # No hard links on this file system: rename, after one more look.
            if os.path.lexists(final):
                raise FileExistsError(errno.EEXIST, "exists", output.path) from None
    aside = None
    if os.path.lexists(final):
        aside = aside_name or _aside_name(output)
        try:
            _step("link")
            os.link(final, aside)
        except OSError:
            aside = None  # cannot be kept: the replacement still goes ahead, as --force asks
    try:
        _step("rename")
        os.rename(output.temp, final)
    except OSError as e:
        if aside:
            os.unlink(aside)
        raise OSError(e.errno, e.strerror, output.path) from None
    return False, aside


def _undo(output: Output, aside: Optional[str]) -> None:
    try:
        if aside:
            os.rename(aside, output.final)
        else:
            os.unlink(output.final)
    except OSError:
        pass


def _sync_folders(items: Sequence[Output]) -> None:
    for folder in {os.path.dirname(o.final) for o in items}:
        fsync_folder(folder)
