"""The package as an API over tables: in-memory Arrow data and data frames in, Arrow flags out, logging."""
import csv
import json
import logging
import os
import re
import socket
import subprocess
import sys
import unicodedata
import urllib.request
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import given, strategies as st

import kestrova_protocol as kp
from kestrova_protocol import engine, keying, progress
from kestrova_protocol.keyer import keyer, numbered
from kestrova_protocol.tables import LINE_LIMIT, Table

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = Path(sys.executable).with_name("kestrova-party")
BANK_A = {"account": ["NL01", "NL01000", "NL02"], "name": ["Zoë", "3", "Ann  Lee"]}
BANK_B = {"account": ["FR01", "FR02", "FR02"], "name": ["Søren", "x", "x"]}
TX = {
    "tx_id": ["t1", "t,2", 't"3', "t4", "t5\nb"],  # ids the CSV must quote
    "from_account": ["NL01", "NL010003", "NL01000", "NL01", "NL02"],
    "from_name": ["Zoe\u0308", "", "3", "Zoë", "Ann  Lee"],
    "to_account": ["FR01", "FR02", "FR02", "FR09", "FR01"],
    "to_name": ["Søren", "x", "x", "x", None],  # a missing value is the empty string
}
EXPECTED = [True, False, True, False, False]
SIDES = (["from_account", "from_name"], ["to_account", "to_name"])


def write_csv(path, columns):
    names = list(columns)
    with open(path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([names] + [list(row) for row in zip(*(columns[n] for n in names))])


def as_form(form, columns, folder, name):
    """The same rows as a table source of the given form."""
    table = pa.table(columns)
    if form == "csv":
        write_csv(folder / f"{name}.csv", {k: ["" if v is None else v for v in vs] for k, vs in columns.items()})
        return str(folder / f"{name}.csv")
    if form == "parquet":
        pq.write_table(table, folder / f"{name}.parquet")
        return str(folder / f"{name}.parquet")
    if form == "folder":
        (folder / name).mkdir()
        half = table.num_rows // 2
        pq.write_table(table.slice(0, half), folder / name / "part-0.parquet")
        pq.write_table(table.slice(half), folder / name / "part-1.parquet")
        return str(folder / name)
    if form == "table":
        return table
    if form == "reader":
        return pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=2))
    if form == "pandas":
        return pytest.importorskip("pandas").DataFrame(columns)
    if form == "polars":
        return pytest.importorskip("polars").DataFrame(columns)
    raise AssertionError(form)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    for name in "ABW":
        kp.keygen(str(folder / name))
    return folder


def flow(keys, folder, form, **finish):
    def f(name):
        return str(folder / name)

    o = kp.Options(batch=2)
    a = kp.build_store(str(keys / "A.pub"), as_form(form, BANK_A, folder, "a"), ["account", "name"], f("A.store"),
                       options=o)
    kp.build_store(str(keys / "B.pub"), as_form(form, BANK_B, folder, "b"), ["account", "name"], f("B.store"),
                   options=o)
    kp.query(f("A.store"), f("B.store"), str(keys / "W.pub"), as_form(form, TX, folder, "tx"), *SIDES, f("Q.cts"),
             options=o)
    kp.randomize(f("Q.cts"), f("QA.cts"), o)
    kp.randomize(f("Q.cts"), f("QB.cts"), o)
    kp.combine(f("QA.cts"), f("QB.cts"), f("C"), o)
    kp.decrypt(str(keys / "A.key"), f("C.sender"), f("S.dec"), options=o)
    kp.decrypt(str(keys / "B.key"), f("C.receiver"), f("R.dec"), options=o)
    result = kp.finish(str(keys / "W.key"), f("S.dec"), f("R.dec"), f("C.gamma"), f("C.delta"),
                       transactions=as_form(form, TX, folder, "ids"), id_column="tx_id", options=o, **finish)
    return a, result


@pytest.mark.parametrize("form", ["csv", "parquet", "folder", "table", "reader", "pandas", "polars"])
def test_every_form_of_table_gives_the_same_flags_and_prints_nothing(keys, tmp_path, form, capfd, caplog):
    caplog.set_level(logging.INFO, logger="kestrova_protocol")
    built, result = flow(keys, tmp_path, form)
    assert result["flags"].column("match").to_pylist() == EXPECTED
    assert result["flags"].column("tx_id").to_pylist() == TX["tx_id"]
    assert result["matched"] == sum(EXPECTED)
    assert built["duplicates"] == 0 and built["items"] == 3
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")
    done = [r.kestrova for r in caplog.records if getattr(r, "kestrova", {}).get("event") == "done"]
    assert [d["step"] for d in done] == ["build-store", "build-store", "query", "randomize", "randomize",
                                         "combine", "decrypt", "decrypt", "finish"]
    assert done[-1]["matched"] == sum(EXPECTED)


@pytest.mark.parametrize("form", ["csv", "parquet", "table", "pandas", "polars"])
def test_keys_made_in_bulk_are_the_rows_keys(form, tmp_path):
    names = SIDES[0] + SIDES[1]
    table = Table(as_form(form, TX, tmp_path, "tx"), names)
    rules = [("trim", "casefold"), ("compact",)]
    keyers = [keyer(table, keying.NFC, rules), keyer(table, keying.PLAIN, None)]
    got = [[], []]
    for start, n, cells in numbered(table):
        for keys_of, into in zip(keyers, got):
            into += keys_of(start, n, cells[:2])[0].to_pylist()
    rows = [["" if TX[c][i] is None else TX[c][i] for c in SIDES[0]] for i in range(len(TX["tx_id"]))]
    assert got[0] == [keying.row_key(r, keying.NFC, rules)[0] for r in rows]
    assert got[1] == ["".join(keying.row_key(r, keying.PLAIN)) for r in rows]


TEXT = st.text(st.sampled_from(list("aZß ẞΣσς\t\n\x0b\x1c\x85\xa0\u2003\u3000e\u0301éﬁİ")), max_size=8)


@given(st.lists(TEXT, min_size=1, max_size=6),
       st.sampled_from([(), ("trim",), ("compact",), ("casefold",), ("trim", "casefold"), ("compact", "casefold")]))
def test_a_column_normalised_in_bulk_equals_each_value_normalised(values, rules):
    def one(cell):
        # Per value, with Python's own Unicode: NFC, then the rules.
        cell = unicodedata.normalize("NFC", cell)
        if "casefold" in rules:
            cell = unicodedata.normalize("NFC", cell.casefold())
        return "".join(cell.split()) if "compact" in rules else " ".join(cell.split()) if "trim" in rules else cell
    assert keying.normalise_column(pa.array(values), rules).to_pylist() == [one(v) for v in values]


def test_joined_columns_refuse_the_separator():
    assert keying.join_columns([pa.array(["a", ""]), pa.array(["b", "c"])]).to_pylist() == ["a\x1fb", "\x1fc"]
    with pytest.raises(ValueError, match="U\\+001F"):
        keying.join_columns([pa.array(["a"]), pa.array(["x\x1fy"])])


@pytest.mark.parametrize("kind", [pa.string(), pa.large_string()])
@pytest.mark.parametrize("start", range(7))
def test_flag_lines_are_quoted_where_a_value_needs_it_in_every_batch(start, kind):
    """Batches whose ids need no quotes and batches with some, cut from one column."""
    import io
    from kestrova_protocol.central import _id_text
    ids = pa.chunked_array([pa.array(["a", 'b"c', "d,e", None, "f\ng", "plain", "h\ri", "7"], kind)])
    batch, flags = ids.slice(start, 2), bytes([1, 0])
    expected = ""
    for v, m in zip(batch.to_pylist(), ["true", "false"]):
        # A CR in a value is quoted as well: the csv module quotes what its line ending holds.
        line = io.StringIO()
        csv.writer(line, lineterminator="\r\n").writerow([v if v is not None else "", m])
        expected += line.getvalue()[:-2] + "\n"
    assert engine.flag_lines(_id_text(batch), flags).decode() == expected


@pytest.mark.parametrize("ids", [pa.array([7, None, -3], pa.int64()), pa.chunked_array([["x"], ["y", "z"]])])
def test_flag_lines_of_ids_typed_or_in_pieces(ids):
    from kestrova_protocol.central import _id_text
    text = ["" if v is None else str(v) for v in ids.to_pylist()]
    assert engine.flag_lines(_id_text(ids), bytes([0, 2, 1])).decode() == \
        "".join(f"{t},{m}\n" for t, m in zip(text, ["false", "true", "true"]))
    with pytest.raises(engine.Refusal, match="differ in number"):
        engine.flag_lines(_id_text(ids), bytes(2))


@pytest.mark.parametrize("n", [0, 1, 7, 8, 9, 17, 1000])
def test_flags_array_holds_each_flag(n):
    flags = bytes((i * 7919 % 5) % 3 for i in range(n))  # 0, 1 and 2: any nonzero byte is true
    assert engine.flags_array(flags).to_pylist() == [b != 0 for b in flags]


def test_finish_flags_in_memory_equal_the_files_written(keys, tmp_path):
    _, result = flow(keys, tmp_path, "table", out=str(tmp_path / "flags.csv"))
    with open(tmp_path / "flags.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    flags = result["flags"]
    assert rows == [["tx_id", "match"]] + [[i, "true" if m else "false"]
                                           for i, m in zip(flags.column("tx_id").to_pylist(),
                                                           flags.column("match").to_pylist())]
    again = kp.finish(str(keys / "W.key"), *(str(tmp_path / n) for n in ("S.dec", "R.dec", "C.gamma", "C.delta")),
                      str(tmp_path / "flags.parquet"))
    assert pq.read_table(tmp_path / "flags.parquet").equals(again["flags"])
    assert again["flags"].column("transaction").to_pylist() == list(range(len(EXPECTED)))
    assert again["flags"].column("match").to_pylist() == EXPECTED


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def s3(monkeypatch):
    try:
        from moto.server import ThreadedMotoServer
        import s3fs
    except ImportError as e:
        pytest.skip(f"an S3-compatible server needs moto[server] and s3fs ({e})")
    port = free_port()
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port)
    server.start()
    # The server's state lives in this process, shared by every server it starts.
    urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/moto-api/reset", method="POST")).close()
    for name, value in {"AWS_ACCESS_KEY_ID": "test", "AWS_SECRET_ACCESS_KEY": "test", "AWS_DEFAULT_REGION": "us-east-1",
                        "AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}"}.items():
        monkeypatch.setenv(name, value)
    s3fs.S3FileSystem.clear_instance_cache()
    try:
        fs = s3fs.S3FileSystem(client_kwargs={"endpoint_url": f"http://127.0.0.1:{port}"})
        fs.mkdir("tables")
        yield fs
    finally:
        s3fs.S3FileSystem.clear_instance_cache()
        server.stop()


def test_tables_read_from_object_storage_and_outputs_there_refused(keys, tmp_path, s3):
    write_csv(tmp_path / "a.csv", BANK_A)
    s3.put(str(tmp_path / "a.csv"), "tables/a.csv")
    with s3.open("tables/tx.parquet", "wb") as f:
        pq.write_table(pa.table(TX), f)
    built = kp.build_store(str(keys / "A.pub"), "s3://tables/a.csv", ["account", "name"], str(tmp_path / "A.store"))
    assert built["items"] == 3
    kp.build_store(str(keys / "B.pub"), pa.table(BANK_B), ["account", "name"], str(tmp_path / "B.store"))
    query = kp.query(str(tmp_path / "A.store"), str(tmp_path / "B.store"), str(keys / "W.pub"), "s3://tables/tx.parquet",
                     *SIDES, str(tmp_path / "Q.cts"))
    assert query["items"] == len(EXPECTED)
    with pytest.raises(kp.PartyError, match=r"^s3://tables/Q.cts: outputs are written on this machine only"):
        kp.query(str(tmp_path / "A.store"), str(tmp_path / "B.store"), str(keys / "W.pub"), "s3://tables/tx.parquet",
                 *SIDES, "s3://tables/Q.cts")
    with pytest.raises(kp.PartyError, match=r"^s3://tables/none.csv: no such file"):
        kp.build_store(str(keys / "A.pub"), "s3://tables/none.csv", ["account"], str(tmp_path / "A2.store"))


def party_cli(folder, *args):
    return subprocess.run([str(SCRIPT), *map(str, args)], cwd=folder, capture_output=True, text=True, timeout=300)


@pytest.mark.slow
def test_a_folder_at_a_url_left_early_never_aborts_the_exit(keys, tmp_path, s3):
    """A scan over a URL reads ahead on Arrow's threads, which call into Python: a refusal after the first batch
    aborted five runs of six at exit ("Fatal Python error: PyGILState_Release")."""
    for k in range(4):
        good = pa.array([f"NL{k}{i:07d}" for i in range(50_000)])
        with s3.open(f"tables/rows/part-{k}.parquet", "wb") as f:
            pq.write_table(pa.table({"account": pa.concat_arrays([BAD_UTF8, good]) if k == 0 else good}), f,
                           row_group_size=10_000)
    for _ in range(4):
        done = party_cli(tmp_path, "build-store", "--public-key", keys / "A.pub", "--rows", "s3://tables/rows",
                         "--columns", "account", "--out", "A.store")
        assert (done.returncode, done.stderr) == (1, "kestrova-party: error: s3://tables/rows: column 'account', "
                                                     "rows 1 to 10,000: a value that is not UTF-8\n")


def test_json_log_lines_carry_the_summary_and_quiet_keeps_errors_only(keys, tmp_path):
    write_csv(tmp_path / "a.csv", BANK_A)
    store = ["build-store", "--public-key", keys / "A.pub", "--rows", "a.csv", "--columns", "account,name"]
    done = party_cli(tmp_path, *store, "--out", "A.store", "--log-format", "json")
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in done.stderr.splitlines()]
    summary = [r for r in records if r["event"] == "done"]
    assert len(summary) == 1 and summary[0]["step"] == "build-store" and summary[0]["items"] == 3
    header = (tmp_path / "A.store").read_bytes()[:56]
    assert summary[0]["digests"] == {"A.store": header[24:56].hex()}
    quiet = party_cli(tmp_path, *store, "--out", "A2.store", "--quiet")
    assert quiet.returncode == 0 and quiet.stderr == ""
    pair = party_cli(tmp_path, "keygen", "--out", "K", "--quiet")
    assert pair.returncode == 0 and pair.stderr == "" and (tmp_path / "K.key").exists()
    refused = party_cli(tmp_path, *store, "--out", "A2.store", "--quiet", "--log-format", "json")
    assert refused.returncode == 1
    assert [json.loads(line)["message"] for line in refused.stderr.splitlines()] == [
        "kestrova-party: error: A2.store: exists (use --force to replace it)"]


# ---------------------------------------------------------------- tables that are wrong


def parquet_bytes(table):
    sink = pa.BufferOutputStream()
    pq.write_table(table, sink)
    return sink.getvalue().to_pybytes()


BAD_UTF8 = pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(bytes([0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0])),
                                                  pa.py_buffer(b"a\xff")])


@pytest.mark.parametrize("name, content, rows, message", [
    ("quote.csv", b'a,b\n1,2\n3,"x\n5,6\n7,8\n', None, r"quote.csv:3: a quote opened on this line is not closed"),
    ("twice.csv", b"a,b,a\n1,2,3\n", None, r"twice.csv:1: column 'a' appears twice"),
    ("twice.parquet", parquet_bytes(pa.Table.from_arrays([pa.array(["1"]), pa.array(["2"]), pa.array(["3"])],
                                                         names=["a", "b", "a"])), None,
     r"twice.parquet: column 'a' appears twice"),
    ("blank.csv", b"\n\r\n\na,b\n1,2\n3,4\n", 2, None),
    ("par1.csv", b"PAR1,b\nx,y\n", 1, None),
    ("utf8.parquet", parquet_bytes(pa.table({"a": BAD_UTF8, "b": ["x", "y"]})), None,
     r"utf8.parquet: column 'a', rows 1 to 2: a value that is not UTF-8"),
    ("named.parquet", b"a,b\n1,2\n", None, r"named.parquet: named as Parquet, but it is not a Parquet file"),
])
def test_wrong_tables_are_refused_in_one_line_and_right_ones_read(keys, tmp_path, name, content, rows, message):
    (tmp_path / name).write_bytes(content)
    columns = ["PAR1", "b"] if name == "par1.csv" else ["a", "b"]
    build = lambda: kp.build_store(str(keys / "A.pub"), str(tmp_path / name), columns, str(tmp_path / "out.store"))
    if message is None:
        assert build()["items"] == rows
        return
    with pytest.raises(kp.PartyError) as refused:
        build()
    text = str(refused.value)
    assert text.startswith(f"{tmp_path}/") and re.match(message, text[len(f"{tmp_path}/"):]) and "\n" not in text
    assert not (tmp_path / "out.store").exists()


def test_one_limit_on_lines_and_values(keys, tmp_path):
    """A value of a million characters is read; a line over the limit is refused with its number."""
    (tmp_path / "wide.csv").write_bytes(b"a,b\n" + b"x" * 1_000_000 + b",2\n")
    assert kp.build_store(str(keys / "A.pub"), str(tmp_path / "wide.csv"), ["a", "b"], str(tmp_path / "w.store"))["items"] == 1
    (tmp_path / "long.csv").write_bytes(b"a,b\n1,2\n" + b"x" * LINE_LIMIT + b",2\n3,4\n")
    with pytest.raises(kp.PartyError, match=rf"long.csv:3: a line longer than {LINE_LIMIT:,} bytes$"):
        kp.build_store(str(keys / "A.pub"), str(tmp_path / "long.csv"), ["a", "b"], str(tmp_path / "l.store"))


@pytest.mark.parametrize("lines", [[LINE_LIMIT - 1, 5], [LINE_LIMIT, 5], [3, LINE_LIMIT - 1], [3, LINE_LIMIT],
                                   [10, 2 * LINE_LIMIT], [LINE_LIMIT - 5, LINE_LIMIT - 5, 0, 7]])
@pytest.mark.parametrize("read", [LINE_LIMIT, LINE_LIMIT // 3 + 1, 3 * LINE_LIMIT + 7])
def test_a_line_at_or_over_the_limit_is_seen_however_the_file_is_read(lines, read):
    import io
    from kestrova_protocol.csv_lines import Counted
    data = b"\n".join(b"x" * n for n in lines) + b"\n"
    counted = Counted(io.BytesIO(data), len(data))
    while counted.read(read):
        pass
    assert counted.too_long == any(n >= LINE_LIMIT for n in lines)


# ---------------------------------------------------------------- progress


def test_progress_gives_bytes_of_a_file_and_time_left_from_recent_work(tmp_path, monkeypatch, caplog):
    write_csv(tmp_path / "a.csv", BANK_A)
    table = Table(str(tmp_path / "a.csv"), ["account"])
    assert sum(n for n, _ in table.batches()) == 3
    assert table.progress() == (os.path.getsize(tmp_path / "a.csv"),) * 2
    clock = [0.0]
    monkeypatch.setattr(progress.time, "monotonic", lambda: clock[0])
    caplog.set_level(logging.INFO, logger="kestrova_protocol")
    bar = progress.Progress("query", "transactions", "tx", total=10_000, interval=10)
    for _ in range(30):  # 300 s at 10 tx/s, then 60 s at 100 tx/s
        clock[0] += 10
        bar.update(100)
    for _ in range(6):
        clock[0] += 10
        bar.update(1000)
    last = caplog.records[-1].kestrova
    assert last["done"] == 9000 and last["percent"] == 90.0
    assert last["seconds_left"] == pytest.approx(10, rel=0.2)  # 1000 left at 100 tx/s, not at 25 tx/s
    assert "(90%)" in caplog.records[-1].getMessage() and "10 s left" in caplog.records[-1].getMessage()


# ---------------------------------------------------------------- the documented example


def example():
    text = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```(python)?\n(.*?)```", text, re.S)
    code = next(body for kind, body in blocks if kind == "python")
    printed = blocks[[body for _, body in blocks].index(code) + 1][1]
    return code, printed


def test_the_api_page_example_runs_and_prints_what_it_says(tmp_path):
    pytest.importorskip("pandas")
    code, printed = example()
    (tmp_path / "example.py").write_text(code, encoding="utf-8")
    done = subprocess.run([sys.executable, str(tmp_path / "example.py")], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout == printed and done.stderr == ""


def test_the_public_surface_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    code, _ = example()
    (tmp_path / "example.py").write_text(code + "\nsummary: kp.Summary = result\n", encoding="utf-8")
    # Only the data frame libraries may go unchecked; the package itself must be typed (py.typed).
    (tmp_path / "mypy.ini").write_text("[mypy]\nstrict = True\n[mypy-pandas.*,pyarrow.*]\n"
                                       "ignore_missing_imports = True\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--no-incremental",
                           "example.py"], capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
