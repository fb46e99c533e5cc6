"""Runs the batches of a streamed step as Dask tasks (`--dask`).

The values every batch shares (stores, keys) go to each worker once; each
batch is one task. Results come back in batch order with a bounded number
of batches in flight, so the output is written exactly as in-process and
memory does not grow with the input.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import contextlib
import itertools
import logging
import os
import threading
import time
from typing import Callable, Iterable, Iterator, Optional

from . import batches, engine, undumpable
from .errors import PartyError

_log = logging.getLogger("kestrova_protocol")
LOCAL = "local:"
# Reruns of a task that raised on its worker. A lost worker's tasks are moved to
# another worker by the scheduler itself (distributed.scheduler.allowed-failures).
RETRIES = 2
# Batches in flight per worker: one running, one waiting so that no worker idles
# while its last result travels back.
AHEAD = 2
# Seconds to reach the scheduler, to see a worker, and for lost workers' batches to find another.
DEFAULT_TIMEOUT = 30.0
# Without a result for this long (or a third of the timeout, if less), a line says what is awaited.
WAITING_EVERY = 10.0


def local_workers(address: str) -> Optional[int]:
    """N for 'local:N', None for a scheduler's address; ValueError for a bad N."""
    if not address.startswith(LOCAL):
        return None
    n = int(address[len(LOCAL):])
    if n < 1:
        raise ValueError(n)
    return n


def security(path: Optional[str]):
    """The TLS settings for a cluster of one's own: a YAML or JSON mapping of
    distributed.Security's arguments (tls_ca_file, tls_client_cert, tls_client_key, ...);
    without a file, Dask's own configuration (distributed.comm.tls.*) applies."""
    distributed = _distributed()
    if not path:
        return distributed.Security()
    import yaml  # a dependency of dask
    try:
        with open(path, encoding="utf-8") as f:
            settings = yaml.safe_load(f)
    except OSError as e:
        raise PartyError(f"{path}: cannot read ({e.strerror})") from None
    except yaml.YAMLError as e:
        raise PartyError(f"{path}: not YAML or JSON ({str(e).splitlines()[0]})") from None
    if not isinstance(settings, dict):
        raise PartyError(f"{path}: expected a mapping of TLS settings")
    try:
        return distributed.Security(**settings)
    except TypeError as e:
        raise PartyError(f"{path}: {e}") from None


def _distributed():
    try:
        import distributed
    except ImportError:
        raise PartyError("--dask needs dask.distributed: pip install 'kestrova[dask]'") from None
    return distributed


def _pool_size(threads: int):
    """A worker plugin that sizes the engine's pool on each worker, a restarted one too, before its first task."""
    from distributed.diagnostics.plugin import WorkerPlugin

    class PoolSize(WorkerPlugin):
        def setup(self, worker):
            engine.use_threads(threads)

    return PoolSize()


@contextlib.contextmanager
def connect(address: str, threads: Optional[int] = None, security_file: Optional[str] = None,
            timeout: float = DEFAULT_TIMEOUT):
    """A client of the scheduler at `address`, or of a new local cluster for 'local:N'.

    A local worker runs one task at a time (a call keeps the interpreter lock
    for its whole length) and gives the engine's pool `threads` threads, or
    its share of the cores. A local cluster is closed to every other process:
    mutual TLS with a certificate made for this run and held only in memory,
    loopback only, no dashboard.
    """
    distributed = _distributed()
    import dask
    import logging

    n = local_workers(address)
    with contextlib.ExitStack() as stack:
        target = address
        if n is not None:
            pool = threads if threads is not None else max(1, (os.cpu_count() or 1) // n)
            closed = distributed.Security.temporary()
            # Spawned, not forked: a worker starts with no state of this process, random or other.
            # The scheduler and the workers always listen for HTTP too: on a loopback port of
            # the system's choice, with no routes, that is no dashboard, metrics or API.
            with dask.config.set({"distributed.worker.multiprocessing-method": "spawn",
                                  "distributed.scheduler.http.routes": [],
                                  "distributed.worker.http.routes": []}):
                target = stack.enter_context(distributed.LocalCluster(
                    n_workers=n, processes=True, threads_per_worker=1, protocol="tls://", host="127.0.0.1",
                    security=closed, dashboard_address="127.0.0.1:0", worker_dashboard_address=None,
                    silence_logs=logging.ERROR))
            settings = closed
        else:
            _check_address(address)
            settings = security(security_file)
            if address.startswith("tls://"):
                _check_tls(address, settings)
        client = _client(distributed, address, target, settings, timeout)
        stack.callback(_close, client)
        if n is not None:
            client.register_plugin(_pool_size(pool), name="kestrova-pool-size")
        _wait_for_workers(client, address, timeout)
        yield client


_SCHEMES = ("tcp://", "tls://")


def _check_address(address: str) -> None:
    """A scheduler's address is tcp:// or tls://, a host and a port; anything else is one line."""
    scheme, sep, rest = address.partition("://")
    if not sep:
        scheme, rest = "tcp", address
    expected = "expected tcp://HOST:PORT, tls://HOST:PORT or local:N"
    if scheme + "://" not in _SCHEMES:
        raise PartyError(f"--dask {address}: {scheme}:// is not a scheduler's protocol ({expected})")
    host, colon, port = rest.rpartition(":")
    if not colon or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise PartyError(f"--dask {address}: no port ({expected})")


_TLS_SETTINGS = ("tls_ca_file", "tls_client_cert")


def _check_tls(address: str, settings) -> None:
    missing = [name for name in _TLS_SETTINGS if not getattr(settings, name, None)]
    if missing:
        raise PartyError(f"--dask {address}: TLS needs {' and '.join(missing)} (in --dask-security or Dask's "
                         "distributed.comm.tls configuration)")


def _client(distributed, address: str, target, settings, timeout: float):
    """Connects within `timeout` seconds, whatever the other end does: a server that accepts and never
    answers, or one that speaks another protocol, is one line."""
    found: dict = {}

    def connect_now():
        try:
            found["client"] = distributed.Client(target, timeout=f"{timeout}s", security=settings)
        except BaseException as e:  # handed over to the waiting thread
            found["error"] = e

    thread = threading.Thread(target=connect_now, name="kestrova-dask-connect", daemon=True)
    thread.start()
    thread.join(timeout + 5)
    if thread.is_alive():
        raise PartyError(f"--dask {address}: no answer from a Dask scheduler within {timeout:g} s "
                         "(--dask-timeout)")
    error = found.get("error")
    if error is None:
        return found["client"]
    if isinstance(error, (OSError, TimeoutError)):
        raise PartyError(f"--dask {address}: cannot reach the scheduler within {timeout:g} s "
                         f"({_first_line(error)})") from None
    if isinstance(error, (MemoryError, ValueError, TypeError, EOFError)) or "Deserialize" in type(error).__name__:
        raise PartyError(f"--dask {address}: what answers there is not a Dask scheduler, or refused this "
                         f"client ({type(error).__name__})") from None
    raise error


def _first_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


def _close(client) -> None:
    with contextlib.suppress(Exception):
        client.close(timeout=5)


def _every(timeout: float) -> float:
    return min(WAITING_EVERY, timeout / 3)


def _wait_for_workers(client, address: str, timeout: float) -> None:
    """Returns once a worker is there; says so while it waits, and gives up after `timeout` seconds."""
    start = time.monotonic()
    while True:
        left = timeout - (time.monotonic() - start)
        try:
            client.wait_for_workers(1, timeout=max(0.1, min(_every(timeout), left)))
            return
        except (TimeoutError, OSError):
            waited = time.monotonic() - start
            if waited >= timeout:
                raise PartyError(f"--dask {address}: no worker joined the scheduler within {timeout:g} s "
                                 "(--dask-timeout)") from None
            _log.info(f"kestrova-party: waiting for a worker on --dask {address} ({waited:.0f} of {timeout:g} s)",
                      extra={"kestrova": {"event": "waiting", "seconds": round(waited, 1)}})


def _wipe_scattered(keys, dask_worker=None) -> None:
    for key in keys:
        value = dask_worker.data.get(key)
        if isinstance(value, bytearray):
            value[:] = bytes(len(value))


def _lost(distributed, error: BaseException) -> bool:
    """A batch that failed because its worker (or the shared values it held) went away."""
    cancelled = getattr(distributed.client, "FutureCancelledError", ())
    return isinstance(error, (cancelled, concurrent.futures.CancelledError, asyncio.CancelledError))


def in_order(address: str, threads: Optional[int], step: str, work_fn: Callable[..., object],
             items: Iterable[tuple], *shared, security: Optional[str] = None,
             timeout: float = DEFAULT_TIMEOUT) -> Iterator:
    """Yields `work_fn(*batch, *shared)` for each batch, run on the cluster, in batch order.

    A batch whose worker is lost runs again on the workers that remain or join
    within `timeout` seconds; a wait says so every WAITING_EVERY seconds.
    """
    distributed = _distributed()
    if local_workers(address) is None and not address.startswith("tls://") and \
            any(isinstance(value, bytearray) for value in shared):
        _log.warning(
            f"kestrova-party: warning: --dask {address}: the secret key goes to the workers unencrypted; "
            "use a tls:// scheduler (--dask-security)", extra={"kestrova": {"step": step, "event": "warning"}})
    with connect(address, threads, security, timeout) as client:
        remote, secrets = [], []

        def share() -> None:
            # Once per run and per worker, not once per batch; again after a loss, the lost worker's copies
            # gone with it. A secret (a bytearray) is wiped there afterwards; a worker that holds one dumps
            # no core from then on.
            if any(isinstance(value, bytearray) for value in shared):
                client.run(undumpable.forbid)
            remote[:] = [client.scatter(value, broadcast=True, hash=False) for value in shared]
            secrets.extend(f.key for f, value in zip(remote, shared) if isinstance(value, bytearray))

        def submit(number, batch):
            return number, batch, client.submit(batches.guarded, work_fn, *batch, *remote, pure=False,
                                                retries=RETRIES)

        def result_of(number, future):
            waited = 0.0
            while True:
                try:
                    return future.result(timeout=_every(timeout))
                except distributed.TimeoutError:
                    waited += _every(timeout)
                    workers = len(client.scheduler_info().get("workers", {}))
                    _log.info(f"kestrova-party: {step}: waiting for batch {number} for {waited:.0f} s "
                              f"({workers} workers)", extra={"kestrova": {"step": step, "event": "waiting",
                                                                          "batch": number, "workers": workers}})
                    if not workers and waited >= timeout:
                        raise PartyError(f"{step}: batch {number}: no worker left on --dask {address} for "
                                         f"{waited:.0f} s") from None

        try:
            share()
            window = AHEAD * max(1, sum(client.nthreads().values()))
            numbered = enumerate(items)
            pending = collections.deque(itertools.starmap(submit, itertools.islice(numbered, window)))
            lost_since = None
            while pending:
                number, batch, future = pending[0]
                try:
                    result = result_of(number, future)
                except distributed.KilledWorker:
                    raise PartyError(f"{step}: batch {number}: every worker that ran it was lost") from None
                except Exception as e:
                    if not _lost(distributed, e):
                        raise
                    now = time.monotonic()
                    lost_since = lost_since or now
                    if now - lost_since > timeout:
                        raise PartyError(f"{step}: batch {number}: its workers were lost and none took it "
                                         f"within {timeout:g} s") from None
                    _log.warning(f"kestrova-party: {step}: a worker was lost; batch {number} and those after it "
                                 "run again", extra={"kestrova": {"step": step, "event": "worker lost", "batch": number}})
                    _wait_for_workers(client, address, timeout)
                    share()
                    pending = collections.deque(submit(n, b) for n, b, _ in pending)
                    continue
                lost_since = None
                pending.popleft()
                pending.extend(itertools.starmap(submit, itertools.islice(numbered, 1)))
                del future  # the worker forgets the result once it is here
                if isinstance(result, batches.Refused):
                    raise result.error(step, number)
                yield result
        finally:
            if secrets:
                # Best effort: a cluster that has gone away has dropped them anyway.
                with contextlib.suppress(Exception):
                    client.run(_wipe_scattered, secrets)
