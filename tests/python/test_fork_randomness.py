"""Forked processes never repeat each other's random draws."""
import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent(
    """
    import multiprocessing, os, sys
    import kestrova

    pk, _ = kestrova.key_gen()
    cts = list(pk) * 8  # two ciphertexts of non-identity points

    def draws():
        # The calling thread (key, store seeds) and the worker threads (randomize).
        return "%s %s %s" % (
            bytes(kestrova.key_gen()[1]).hex(),
            bytes(kestrova.randomize(cts)).hex(),
            bytes(kestrova.build_okvs(pk, [["a"], ["b"]])[:24]).hex(),
        )

    draws()  # every generator now holds unread words that a fork copies
    out = sys.stdout

    for _ in range(3):
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.write(w, draws().encode())
            os._exit(0)
        os.close(w)
        out.write(os.read(r, 4096).decode() + "\\n")
        os.waitpid(pid, 0)

    queue = multiprocessing.get_context("fork").SimpleQueue()

    def first_draws():
        queue.put(draws())

    with multiprocessing.get_context("fork").Pool(3, initializer=first_draws) as pool:
        pool.map(abs, range(3))
        for _ in range(3):
            out.write(queue.get() + "\\n")
    out.write(draws() + "\\n")
    """
)


def test_parent_children_and_pool_workers_draw_different_secrets(tmp_path):
    script = tmp_path / "fork_draws.py"
    script.write_text(SCRIPT)
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.split("\n")[:-1]
    assert len(lines) == 7
    columns = list(zip(*(line.split() for line in lines)))
    assert len(columns) == 3
    for name, values in zip(["secret key", "randomized ciphertexts", "store seeds"], columns):
        assert len(set(values)) == len(values), f"{name} repeated across processes"
