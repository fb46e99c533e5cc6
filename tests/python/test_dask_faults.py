"""--dask against clusters that do not answer, have no workers, lose them, or are no Dask at all: one line,
never a silent wait. Everything listens on 127.0.0.1 only."""
import http.server
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("distributed")

import dask_cluster  # noqa: E402

pytestmark = pytest.mark.slow

ONE = bytes([1] + [0] * 31) * 4  # a ciphertext of four identity points
TIMEOUT = "2"


def party(folder, *args, timeout=120):
    return subprocess.run([sys.executable, "-m", "kestrova_protocol", *map(str, args)], cwd=folder,
                          capture_output=True, text=True, timeout=timeout)


def one_error_line(result):
    assert result.returncode == 1, result.stderr
    errors = [line for line in result.stderr.splitlines() if line.startswith("kestrova-party: error: ")]
    assert len(errors) == 1 and "Traceback" not in result.stderr, result.stderr
    return errors[0]


@pytest.fixture
def ciphertexts(tmp_path):
    (tmp_path / "in.raw").write_bytes(ONE * 20)
    return tmp_path


def randomize_on(folder, address, *extra):
    return party(folder, "randomize", "--raw", "--in", "in.raw", "--out", "out.raw", "--batch", 5, "--dask", address,
                 "--dask-timeout", TIMEOUT, *extra)


@pytest.fixture
def silent_server():
    """Accepts connections and never says a word."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    held, stop = [], threading.Event()

    def accept():
        listener.settimeout(0.2)
        while not stop.is_set():
            try:
                held.append(listener.accept()[0])
            except OSError:
                pass

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    yield f"tcp://127.0.0.1:{listener.getsockname()[1]}"
    stop.set()
    thread.join()
    for conn in held:
        conn.close()
    listener.close()


@pytest.fixture
def http_server():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"tcp://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


def test_a_server_that_never_answers_is_one_line_after_the_timeout(ciphertexts, silent_server):
    start = time.monotonic()
    line = one_error_line(randomize_on(ciphertexts, silent_server))
    assert silent_server in line and time.monotonic() - start < 60
    assert not (ciphertexts / "out.raw").exists()


def test_a_port_that_answers_http_is_not_a_scheduler(ciphertexts, http_server):
    line = one_error_line(randomize_on(ciphertexts, http_server))
    assert http_server in line and "out of memory" not in line


@pytest.mark.parametrize("address, says", [
    ("udp://127.0.0.1:8786", "udp:// is not a scheduler's protocol"),
    ("127.0.0.1", "no port"),
    ("tcp://127.0.0.1", "no port"),
    ("tls://127.0.0.1:8786", "TLS needs tls_ca_file and tls_client_cert"),
])
def test_bad_addresses_and_missing_tls_settings_are_one_line(ciphertexts, address, says):
    line = one_error_line(randomize_on(ciphertexts, address))
    assert address in line and says in line


def test_incomplete_tls_settings_are_one_line(ciphertexts):
    (ciphertexts / "tls.yaml").write_text("tls_ca_file: ca.pem\n")
    line = one_error_line(randomize_on(ciphertexts, "tls://127.0.0.1:8786", "--dask-security", "tls.yaml"))
    assert "TLS needs tls_client_cert" in line


@pytest.fixture
def scheduler(tmp_path):
    with dask_cluster.scheduler(tmp_path) as address:
        yield address


start_worker = dask_cluster.start_worker


def test_a_cluster_without_workers_is_one_line_after_the_timeout(ciphertexts, scheduler):
    start = time.monotonic()
    line = one_error_line(randomize_on(ciphertexts, scheduler))
    assert "no worker joined" in line and scheduler in line and time.monotonic() - start < 60


def decrypt_on(folder, scheduler, timeout):
    from kestrova_protocol import engine
    assert party(folder, "keygen", "--out", "A").returncode == 0
    (folder / "points.raw").write_bytes(engine.BASE_POINT * 100_000)
    # decrypt: the secret key the lost worker held is lost with it.
    return subprocess.Popen([sys.executable, "-m", "kestrova_protocol", "decrypt", "--raw", "--secret-key", "A.key",
                             "--in", "points.raw", "--out", "out.raw", "--batch", "500", "--dask", scheduler,
                             "--dask-timeout", str(timeout)],
                            cwd=folder, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, KESTROVA_PROGRESS_SECONDS="0"))


def first_batch_back(step):
    while not (line := step.stderr.readline()).startswith("decrypt: "):
        assert line, "the step ended before a batch came back"


def test_a_lost_worker_without_a_successor_is_said_while_waited_for_then_one_line(ciphertexts, scheduler):
    only = start_worker(ciphertexts, scheduler)
    step = decrypt_on(ciphertexts, scheduler, 6)
    try:
        first_batch_back(step)
        only.send_signal(signal.SIGKILL)
        _, err = step.communicate(timeout=120)
    finally:
        for process in (step, only):
            process.kill()
            process.wait()
    assert step.returncode == 1, err
    assert "kestrova-party: waiting for a worker on --dask" in err and "Traceback" not in err
    errors = [line for line in err.splitlines() if line.startswith("kestrova-party: error: ")]
    assert errors == [f"kestrova-party: error: --dask {scheduler}: no worker joined the scheduler within 6 s "
                      "(--dask-timeout)"]
    assert not (ciphertexts / "out.raw").exists()


def test_a_lost_workers_batches_run_on_the_worker_that_joins(ciphertexts, scheduler):
    first = start_worker(ciphertexts, scheduler)
    step = decrypt_on(ciphertexts, scheduler, 30)
    second = None
    try:
        first_batch_back(step)  # the worker holds the shared values
        first.send_signal(signal.SIGKILL)
        time.sleep(0.5)
        second = start_worker(ciphertexts, scheduler)
        _, err = step.communicate(timeout=180)
    finally:
        for process in (step, first, second):
            if process is not None:
                process.kill()
                process.wait()
    assert step.returncode == 0, err
    assert "Traceback" not in err
    assert "a worker was lost; batch" in err  # the loss hit batches in flight
    here = party(ciphertexts, "decrypt", "--raw", "--secret-key", "A.key", "--in", "points.raw", "--out", "here.raw")
    assert here.returncode == 0
    assert (ciphertexts / "out.raw").read_bytes() == (ciphertexts / "here.raw").read_bytes()
