"""A Dask scheduler and workers on 127.0.0.1 for the tests, started as the command line would."""
import contextlib
import socket
import subprocess
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def scheduler(folder):
    port = free_port()
    process = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                "--port", str(port), "--no-dashboard"], cwd=folder, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while True:
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", port)) == 0:
                    break
            assert time.monotonic() < deadline and process.poll() is None, "the scheduler did not start"
            time.sleep(0.2)
        yield f"tcp://127.0.0.1:{port}"
    finally:
        process.terminate()
        process.wait(timeout=30)


def start_worker(folder, address):
    return subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address, "--nworkers", "1",
                             "--nthreads", "1", "--host", "127.0.0.1", "--no-dashboard", "--no-nanny"], cwd=folder,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for_workers(address, count, timeout=120):
    from distributed import Client
    with Client(address, timeout=timeout) as client:
        client.wait_for_workers(count, timeout=timeout)
