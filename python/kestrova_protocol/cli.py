"""kestrova-party: one command per protocol step, each run by one party on its own machine."""

from __future__ import annotations

import argparse
import contextlib
import faulthandler
import json
import logging
import os
import signal
import sys
import textwrap
from typing import Optional, Sequence

from . import commit, party
from .errors import PartyError
from .keying import KEYINGS, NFC, parse_columns

PROG = "kestrova-party"

EXAMPLES = {
    "keygen": "kestrova-party keygen --out keys/A        # keys/A.pub, keys/A.key",
    "build-store": "kestrova-party build-store --public-key A.pub --rows accounts.csv "
                   "--columns account,name --out A.store",
    "query": "kestrova-party query --sender-store A.store --receiver-store B.store --central-key W.pub \\\n"
             "    --transactions tx.csv --sender-columns from_account,from_name \\\n"
             "    --receiver-columns to_account,to_name --out Q.cts",
    "randomize": "kestrova-party randomize --in Q.cts --out QA.cts",
    "combine": "kestrova-party combine --in QA.cts QB.cts --out-prefix C   # C.sender C.receiver C.gamma C.delta",
    "decrypt": "kestrova-party decrypt --secret-key A.key --in C.sender --out S.dec",
    "finish": "kestrova-party finish --secret-key W.key --sender S.dec --receiver R.dec --gamma C.gamma \\\n"
              "    --delta C.delta --out flags.csv --transactions tx.csv --id-column tx_id",
    "inspect": "kestrova-party inspect C.sender",
    "keys": "kestrova-party keys --columns iban:iban,name:name --rows agreed-test-rows.csv",
}

HELP = {
    "keygen": "make a key pair: NAME.pub to publish, NAME.key (mode 0600) to keep",
    "build-store": "a bank: encrypt its rows into a store for the central party",
    "query": "the central party: one query ciphertext per transaction",
    "randomize": "each bank: re-randomise its own copy of the query ciphertexts",
    "combine": "the central party: add the two banks' copies and split them into four point lists",
    "decrypt": "a bank: remove its key from its component (bank A: C.sender, bank B: C.receiver)",
    "finish": "the central party: one true/false per transaction",
    "inspect": "any party: print a file's header (kind, count, keying, fingerprints) and check its digest",
    "keys": "any party: print each row's key as a store would hold it (CSV: row, key with \u241f between "
            "columns, note), to check on agreed test rows that all parties key alike",
}


def _columns(text: str):
    try:
        return parse_columns(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _non_negative(text: str) -> int:
    return 0 if text.strip() == "0" else _positive(text)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("must be more than 0 seconds")
    return value


def _dask(text: str) -> str:
    from .cluster import local_workers
    try:
        local_workers(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected local:N with N at least 1, not {text!r}") from None
    return text


class _Version(argparse.Action):
    """--version: the package's version and the backend this processor runs, found only when asked."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from importlib.metadata import version

        from .engine import backend
        try:
            line = f"{PROG} {version('kestrova')} (backend: {backend()})"
        except PartyError as e:
            parser.exit(1, f"{PROG}: error: {e}\n")
        print(line)
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="The three-party matching protocol, one step per command. "
                               "Each party runs its own steps on its own machine and passes files on.")
    parser.add_argument("--version", action=_Version,
                        help="print the version and the backend in use (KESTROVA_BACKEND forces one), then exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    sub = {}
    for name, text in HELP.items():
        sub[name] = commands.add_parser(name, help=text, description=text[0].upper() + text[1:] + ".",
                                        epilog="example:\n" + textwrap.indent(EXAMPLES[name], "  "),
                                        formatter_class=argparse.RawDescriptionHelpFormatter)
        sub[name].set_defaults(step=STEPS[name])
        if name in ("inspect", "keys"):
            continue
        common = sub[name].add_argument_group("common options")
        common.add_argument("--force", action="store_true", help="replace existing output files")
        common.add_argument("--raw", nargs="?", const="both", choices=("in", "out", "both"),
                            help="exchange bare protocol bytes with other implementations: 'out' writes "
                                 "them without a header, 'in' accepts such inputs, alone 'both' "
                                 "(the mix-up checks need headers)")
        common.add_argument("--log-format", choices=("plain", "json"), default="plain",
                            help="stderr as plain lines (default) or one JSON object per line: step, event, "
                                 "counts, rate, seconds, file digests")
        common.add_argument("--quiet", action="store_true", help="errors only on stderr")
        if name != "keygen":
            common.add_argument("--threads", type=_non_negative, metavar="N",
                                help="worker threads (0: one per processor; default: the same)")
        if name in ("query", "randomize", "combine", "decrypt", "finish"):
            common.add_argument("--batch", type=_positive, default=10_000, metavar="N",
                                help="transactions per batch (default 10000); memory grows with it, "
                                     "not with the number of transactions")
            common.add_argument("--resume", action="store_true",
                                help="continue the run of this step that was interrupted (killed, out of "
                                     "power) from its last checkpoint, instead of from the start; the "
                                     "same inputs and options are needed")
            common.add_argument("--dask", type=_dask, metavar="ADDRESS",
                                help="run the batches as tasks on this Dask scheduler (e.g. tls://host:8786), "
                                     "or on N worker processes started here for the run (local:N, closed "
                                     "to other processes by TLS); needs kestrova[dask]. decrypt and finish "
                                     "send the secret key to the workers")
            common.add_argument("--dask-timeout", type=_seconds, metavar="SECONDS",
                                help="give up on a scheduler that does not answer, a cluster without workers, "
                                     "or batches of lost workers that no other worker takes, after this "
                                     "long (default 30)")
            common.add_argument("--dask-security", metavar="FILE",
                                help="TLS settings for --dask tls://...: a YAML or JSON mapping of "
                                     "distributed.Security's arguments (default: Dask's configuration)")

    sub["keygen"].add_argument("--out", required=True, metavar="DIR/NAME")

    p = sub["build-store"]
    p.add_argument("--public-key", required=True, metavar="FILE", help="the bank's own public key")
    p.add_argument("--rows", required=True, metavar="TABLE", help="accounts: CSV with a header (UTF-8), Parquet file or folder; "
                                                           "a path or an fsspec URL (s3://...)")
    p.add_argument("--columns", required=True, type=_columns, metavar="A,B,..",
                   help="the columns that make a row, each optionally with rules recorded in the store and "
                        "applied by query: trim, compact, casefold, iban, latin, alnum, legalform, words, and "
                        "name (trim+casefold+latin+alnum+legalform+compact); e.g. iban:iban,name:name")
    p.add_argument("--out", required=True, metavar="FILE")
    p.add_argument("--merged", metavar="CSV",
                   help="also write the rows that end on one key with another row under the rules, and those "
                        "left out for an invalid IBAN (row, key, values, what), for review")

    p = sub["query"]
    p.add_argument("--sender-store", required=True, metavar="FILE")
    p.add_argument("--receiver-store", required=True, metavar="FILE")
    p.add_argument("--central-key", required=True, metavar="FILE", help="the central party's public key")
    p.add_argument("--transactions", required=True, metavar="TABLE",
                   help="CSV with a header (UTF-8), Parquet file or folder; a path or an fsspec URL (s3://...)")
    p.add_argument("--sender-columns", required=True, type=_columns, metavar="A,B,..")
    p.add_argument("--receiver-columns", required=True, type=_columns, metavar="A,B,..")
    p.add_argument("--out", required=True, metavar="FILE")

    for name in ("build-store", "query"):
        # query: no default that a bare store could be taken to follow; party.query applies nfc to headed ones.
        sub[name].add_argument(
            "--keying", choices=KEYINGS, default=NFC if name == "build-store" else None,
            help="nfc (default): each column Unicode-normalised (NFC), columns joined with U+001F; "
                 "plain: the strings end to end as given, the module's own rule"
                 + ("; a bare store (--raw) needs it given" if name == "query" else ""))

    p = sub["randomize"]
    p.add_argument("--in", dest="source", required=True, metavar="FILE")
    p.add_argument("--out", required=True, metavar="FILE")

    p = sub["combine"]
    p.add_argument("--in", dest="sources", required=True, nargs=2, metavar=("FIRST", "SECOND"))
    p.add_argument("--out-prefix", required=True, metavar="PREFIX")

    p = sub["decrypt"]
    p.add_argument("--secret-key", required=True, metavar="FILE", help="the bank's own secret key")
    p.add_argument("--in", dest="source", required=True, metavar="FILE")
    p.add_argument("--out", required=True, metavar="FILE")
    p.add_argument("--side", choices=("sender", "receiver"),
                   help="which component a bare --raw input is (a file with a header says so itself)")

    p = sub["finish"]
    p.add_argument("--secret-key", required=True, metavar="FILE", help="the central party's secret key")
    for component in ("sender", "receiver", "gamma", "delta"):
        p.add_argument(f"--{component}", required=True, metavar="FILE")
    p.add_argument("--out", required=True, metavar="FILE", help="the flags: CSV, or Parquet for a name ending "
                                                                 "in .parquet")
    p.add_argument("--transactions", metavar="TABLE", help="take each transaction's id from this table")
    p.add_argument("--id-column", metavar="NAME", help="the id column (default: the 0-based index)")

    sub["inspect"].add_argument("file", metavar="FILE")
    sub["keys"].add_argument("--columns", required=True, type=_columns, metavar="A,B,..",
                             help="as for build-store, e.g. iban:iban,name:name")
    sub["keys"].add_argument("--rows", required=True, metavar="TABLE", help="CSV with a header (UTF-8) or Parquet")
    return parser


def run(args: argparse.Namespace) -> dict:
    return args.step(party, args, party.Options.from_args(args))


# Each command's call of its step, set on its parser as `step`.
STEPS = {
    "inspect": lambda party, a, o: print("\n".join(party.inspect(a.file))) or {},
    "keys": lambda party, a, o: print(party.keys(a.rows, a.columns), end="") or {},
    "keygen": lambda party, a, o: party.keygen(a.out, o),
    "build-store": lambda party, a, o: party.build_store(a.public_key, a.rows, a.columns, a.out, keying=a.keying,
                                                         options=o, merged=a.merged),
    "query": lambda party, a, o: party.query(a.sender_store, a.receiver_store, a.central_key, a.transactions,
                                             a.sender_columns, a.receiver_columns, a.out, keying=a.keying,
                                             options=o),
    "randomize": lambda party, a, o: party.randomize(a.source, a.out, o),
    "combine": lambda party, a, o: party.combine(*a.sources, a.out_prefix, o),
    "decrypt": lambda party, a, o: party.decrypt(a.secret_key, a.source, a.out, side=a.side, options=o),
    "finish": lambda party, a, o: party.finish(a.secret_key, a.sender, a.receiver, a.gamma, a.delta, a.out,
                                               transactions=a.transactions, id_column=a.id_column, options=o),
}


class Stopped(KeyboardInterrupt):
    """SIGTERM or SIGHUP: the step ends as on Ctrl-C, its temporaries removed."""

    def __init__(self, number: int):
        super().__init__(number)
        self.number = number


def _stop(number, frame):
    raise Stopped(number)


@contextlib.contextmanager
def _own_stderr():
    """Native code may write straight to file descriptor 2 (the module `kestrova`, if loaded beside the
    engine, reports each refusal there); the command says everything in lines of its own. So its own
    messages go to a copy of descriptor 2, and what an extension writes there is dropped."""
    sys.stderr.flush()
    saved, real = sys.stderr, os.dup(2)
    try:
        sys.stderr = open(real, "w", buffering=1, encoding="utf-8", errors="backslashreplace", closefd=False)
    except OSError:
        os.close(real)
        yield
        return
    faulted = faulthandler.is_enabled()
    if faulted:
        faulthandler.enable(sys.stderr)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(real, 2)
        sys.stderr.close()
        sys.stderr = saved
        if faulted:
            faulthandler.enable(saved)
        os.close(real)


class _Stderr(logging.Handler):
    """Writes to whatever sys.stderr is when a record comes (the command swaps it)."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            sys.stderr.write(self.format(record) + "\n")
            sys.stderr.flush()
        except Exception:
            self.handleError(record)


class _Json(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        fields = dict(getattr(record, "kestrova", None) or {})
        fields = {"level": record.levelname.lower(), "message": record.getMessage(), **fields}
        fields.setdefault("event", record.levelname.lower())
        return json.dumps(fields, ensure_ascii=False, default=str)


@contextlib.contextmanager
def _logging(log_format: str, quiet: bool):
    """The package's records on stderr: plain lines or JSON; --quiet: errors only."""
    logger = logging.getLogger("kestrova_protocol")
    handler = _Stderr()
    handler.setFormatter(_Json() if log_format == "json" else logging.Formatter("%(message)s"))
    saved = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(logging.ERROR if quiet else logging.INFO)
    logger.propagate = False
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(saved[0])
        logger.propagate = saved[1]


def command(argv: Optional[Sequence[str]] = None) -> int:
    """The kestrova-party program, in a process of its own."""
    return main(argv, own_process=True)


def main(argv: Optional[Sequence[str]] = None, own_process: bool = False) -> int:
    args = build_parser().parse_args(argv)
    if own_process and not getattr(args, "dask", None):
        # pyarrow imports numpy wherever it is installed (0.05 to 0.1 s of CPU at each step's start), and
        # through numpy pandas on its first conversion of a Python value: no step here needs either.
        # Dask's workers may want numpy, so a cluster's driver keeps it.
        sys.modules.setdefault("numpy", None)  # type: ignore[arg-type]
    # A step's memory is flat in its input only if freed batches go back to the system: Arrow's default
    # allocator keeps what it freed for later.
    # pyarrow is loaded only by the steps that read tables: told by the environment until it is.
    loaded = sys.modules.get("pyarrow")
    if loaded is not None:
        loaded.set_memory_pool(loaded.system_memory_pool())
    else:
        os.environ["ARROW_DEFAULT_MEMORY_POOL"] = "system"
    # pyarrow imports numpy, whose OpenBLAS starts a thread per core that spins a while; no step does
    # linear algebra (0.15 s of CPU in each step that reads a table).
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    handlers = {number: signal.signal(number, _stop) for number in (signal.SIGTERM, signal.SIGHUP)}
    try:
        with _own_stderr(), _logging(getattr(args, "log_format", "plain"), getattr(args, "quiet", False)):
            return _main(args)
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)


def _error(text: str, **fields) -> None:
    logging.getLogger("kestrova_protocol").error(f"{PROG}: {text}",
                                                 extra={"kestrova": {"event": "error", **fields}})


def _main(args: argparse.Namespace) -> int:
    del commit.committed[:]
    try:
        run(args)
    except PartyError as e:
        _error(f"error: {e}")
        return 1
    except MemoryError:
        from .memory import out_of_memory
        _error(f"error: {out_of_memory()}")
        return 1
    except RuntimeError as e:
        if "can't start new thread" not in str(e):
            raise
        from .memory import out_of_memory
        _error(f"error: cannot start a thread: {out_of_memory()}, or more threads than this system allows")
        return 1
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        _error(f"error: {where}{e.strerror or e}")
        return 1
    except KeyboardInterrupt as e:
        what = f"stopped by {signal.Signals(e.number).name}" if isinstance(e, Stopped) else "interrupted"
        number = e.number if isinstance(e, Stopped) else int(signal.SIGINT)
        if commit.committed:
            # The signal waited for the commit: every output is in place.
            logging.getLogger("kestrova_protocol").warning(
                f"{PROG}: {what} after the outputs were written; they are complete: {', '.join(commit.committed)}",
                extra={"kestrova": {"event": "stopped", "signal": number, "committed": list(commit.committed)}})
            return 0
        _error(f"{what}; no output written", signal=number)
        return 128 + e.number if isinstance(e, Stopped) else 130
    return 0
