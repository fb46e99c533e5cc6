"""kestrova-party: one command per protocol step, each run by one party on its own machine."""

from __future__ import annotations

import argparse
import contextlib
import faulthandler
import os
import signal
import sys
import textwrap
from typing import Optional, Sequence

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
        if name == "inspect":
            continue
        common = sub[name].add_argument_group("common options")
        common.add_argument("--force", action="store_true", help="replace existing output files")
        common.add_argument("--raw", nargs="?", const="both", choices=("in", "out", "both"),
                            help="exchange bare protocol bytes with other implementations: 'out' writes "
                                 "them without a header, 'in' accepts such inputs, alone 'both' "
                                 "(the mix-up checks need headers)")
        if name != "keygen":
            common.add_argument("--quiet", action="store_true", help="no progress on stderr")
            common.add_argument("--threads", type=_non_negative, metavar="N",
                                help="worker threads (0: one per processor; default: the same)")
        if name in ("query", "randomize", "combine", "decrypt", "finish"):
            common.add_argument("--batch", type=_positive, default=10_000, metavar="N",
                                help="transactions per batch (default 10000); memory grows with it, "
                                     "not with the number of transactions")
            common.add_argument("--dask", type=_dask, metavar="ADDRESS",
                                help="run the batches as tasks on this Dask scheduler (e.g. tls://host:8786), "
                                     "or on N worker processes started here for the run (local:N, closed "
                                     "to other processes by TLS); needs kestrova[dask]. decrypt and finish "
                                     "send the secret key to the workers")
            common.add_argument("--dask-security", metavar="FILE",
                                help="TLS settings for --dask tls://...: a YAML or JSON mapping of "
                                     "distributed.Security's arguments (default: Dask's configuration)")

    sub["keygen"].add_argument("--out", required=True, metavar="DIR/NAME")

    p = sub["build-store"]
    p.add_argument("--public-key", required=True, metavar="FILE", help="the bank's own public key")
    p.add_argument("--rows", required=True, metavar="TABLE", help="accounts, CSV with a header (UTF-8) or Parquet")
    p.add_argument("--columns", required=True, type=_columns, metavar="A,B,..",
                   help="the columns that make a row, each optionally with normalisations recorded in the "
                        "store and applied by query: trim (strip and collapse white space), compact (remove "
                        "all white space), casefold; e.g. account:compact,name:trim,casefold")
    p.add_argument("--out", required=True, metavar="FILE")

    p = sub["query"]
    p.add_argument("--sender-store", required=True, metavar="FILE")
    p.add_argument("--receiver-store", required=True, metavar="FILE")
    p.add_argument("--central-key", required=True, metavar="FILE", help="the central party's public key")
    p.add_argument("--transactions", required=True, metavar="TABLE", help="CSV with a header (UTF-8) or Parquet")
    p.add_argument("--sender-columns", required=True, type=_columns, metavar="A,B,..")
    p.add_argument("--receiver-columns", required=True, type=_columns, metavar="A,B,..")
    p.add_argument("--out", required=True, metavar="FILE")

    for name in ("build-store", "query"):
        sub[name].add_argument(
            "--keying", choices=KEYINGS, default=NFC,
            help="nfc (default): each column Unicode-normalised (NFC), columns joined with U+001F; "
                 "plain: the strings end to end as given, the module's own rule")

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
    p.add_argument("--out", required=True, metavar="CSV")
    p.add_argument("--transactions", metavar="TABLE", help="take each transaction's id from this table")
    p.add_argument("--id-column", metavar="NAME", help="the id column (default: the 0-based index)")

    sub["inspect"].add_argument("file", metavar="FILE")
    return parser


def run(args: argparse.Namespace) -> dict:
    from . import party

    return args.step(party, args, party.Options.from_args(args))


# Each command's call of its step, set on its parser as `step`.
STEPS = {
    "inspect": lambda party, a, o: print("\n".join(party.inspect(a.file))) or {},
    "keygen": lambda party, a, o: party.keygen(a.out, o),
    "build-store": lambda party, a, o: party.build_store(a.public_key, a.rows, a.columns, a.out, keying=a.keying,
                                                         options=o),
    "query": lambda party, a, o: party.query(a.sender_store, a.receiver_store, a.central_key, a.transactions,
                                             a.sender_columns, a.receiver_columns, a.out, keying=a.keying,
                                             options=o),
    "randomize": lambda party, a, o: party.randomize(a.source, a.out, o),
    "combine": lambda party, a, o: party.combine(*a.sources, a.out_prefix, o),
    "decrypt": lambda party, a, o: party.decrypt(a.secret_key, a.source, a.out, side=a.side, options=o),
    "finish": lambda party, a, o: party.finish(a.secret_key, a.sender, a.receiver, a.gamma, a.delta, a.out,
                                               transactions_path=a.transactions, id_column=a.id_column, options=o),
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
    """The module writes a report of every refusal straight to file descriptor 2; the
    command says it in one line of its own. So its own messages go to a copy of
    descriptor 2, and what the extension writes there is dropped."""
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


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    handlers = {number: signal.signal(number, _stop) for number in (signal.SIGTERM, signal.SIGHUP)}
    try:
        with _own_stderr():
            return _main(args)
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)


def _main(args: argparse.Namespace) -> int:
    try:
        run(args)
    except PartyError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    except MemoryError:
        print(f"{PROG}: error: out of memory (try a smaller --batch)", file=sys.stderr)
        return 1
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        print(f"{PROG}: error: {where}{e.strerror or e}", file=sys.stderr)
        return 1
    except Stopped as e:
        print(f"{PROG}: stopped by {signal.Signals(e.number).name}; no output written", file=sys.stderr)
        return 128 + e.number
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; no output written", file=sys.stderr)
        return 130
    return 0
