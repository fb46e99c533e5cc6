"""Runs the batches of a streamed step as Dask tasks (`--dask`).

The values every batch shares (stores, keys) go to each worker once; each
batch is one task. Results come back in batch order with a bounded number
of batches in flight, so the output is written exactly as in-process and
memory does not grow with the input.
"""

from __future__ import annotations

import collections
import contextlib
import itertools
import logging
import os
import sys
from typing import Callable, Iterable, Iterator, Optional

from . import batches, engine
from .errors import PartyError

LOCAL = "local:"
# Reruns of a task that raised on its worker. A lost worker's tasks are moved to
# another worker by the scheduler itself (distributed.scheduler.allowed-failures).
RETRIES = 2
# Batches in flight per worker: one running, one waiting so that no worker idles
# while its last result travels back.
AHEAD = 2


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
def connect(address: str, threads: Optional[int] = None, security_file: Optional[str] = None):
    """A client of the scheduler at `address`, or of a new local cluster for 'local:N'.

    A local worker runs one task at a time (a call keeps the interpreter lock
    for its whole length) and gives the module's pool `threads` threads, or
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
            settings = security(security_file)
        try:
            client = stack.enter_context(distributed.Client(target, timeout="30s", security=settings))
        except OSError as e:
            raise PartyError(f"--dask {address}: cannot reach the scheduler ({e})") from None
        if n is not None:
            client.register_plugin(_pool_size(pool), name="kestrova-pool-size")
        yield client


def _wipe_scattered(keys, dask_worker=None) -> None:
    for key in keys:
        value = dask_worker.data.get(key)
        if isinstance(value, bytearray):
            value[:] = bytes(len(value))


def in_order(address: str, threads: Optional[int], step: str, work_fn: Callable[..., object],
             items: Iterable[tuple], *shared, security: Optional[str] = None) -> Iterator:
    """Yields `work_fn(*batch, *shared)` for each batch, run on the cluster, in batch order."""
    distributed = _distributed()
    if local_workers(address) is None and not address.startswith("tls://") and \
            any(isinstance(value, bytearray) for value in shared):
        logging.getLogger("kestrova_protocol").warning(
            f"kestrova-party: warning: --dask {address}: the secret key goes to the workers unencrypted; "
            "use a tls:// scheduler (--dask-security)", extra={"kestrova": {"step": step, "event": "warning"}})
    with connect(address, threads, security) as client:
        remote, secrets = [], []
        try:
            # Once per run and per worker, not once per batch. A secret (a bytearray) is wiped there afterwards.
            for value in shared:
                remote.append(client.scatter(value, broadcast=True, hash=False))
                if isinstance(value, bytearray):
                    secrets.append(remote[-1].key)
            window = AHEAD * max(1, sum(client.nthreads().values()))
            numbered = enumerate(items)

            def submit(number, batch):
                return number, client.submit(batches.guarded, work_fn, *batch, *remote, pure=False, retries=RETRIES)

            pending = collections.deque(itertools.starmap(submit, itertools.islice(numbered, window)))
            while pending:
                number, future = pending.popleft()
                pending.extend(itertools.starmap(submit, itertools.islice(numbered, 1)))
                try:
                    result = future.result()
                except distributed.KilledWorker:
                    raise PartyError(f"{step}: batch {number}: every worker that ran it was lost") from None
                del future  # the worker forgets the result once it is here
                if isinstance(result, batches.Refused):
                    raise result.error(step, number)
                yield result
        finally:
            if secrets:
                # Best effort: a cluster that has gone away has dropped them anyway.
                with contextlib.suppress(Exception):
                    client.run(_wipe_scattered, secrets)
