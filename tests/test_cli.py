"""The ``veltrane`` command line, run as a subprocess on small files."""

import base64
import fcntl
import json
import os
import pty
import random
import re
import struct
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from address_limit import python_under_address_limit
from dedup_core import SimHash
from hypothesis import given
from hypothesis import strategies as st
from veltrane import (
    _native,
    clusters,
    dedup_report,
    fingerprints64,
    near_duplicate_pairs,
    near_duplicate_pairs_jaccard,
)
from veltrane.files.report import ChunkStats
from veltrane.files.report_json import json_files as _json_files
from veltrane.files.report_json import json_path as _json_path


def veltrane(*args, stdin=b"", cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "veltrane", *(a if isinstance(a, bytes) else str(a) for a in args)],
        input=stdin,
        capture_output=True,
        cwd=cwd,
        timeout=60,
    )


def one_line_error(result, status, fragment):
    """The run failed with ``status`` and said so in one line that holds ``fragment``."""
    err = result.stderr.decode()
    assert result.returncode == status, err
    assert result.stdout == b""
    assert err.count("\n") == 1 and err.startswith("veltrane"), err
    assert "Traceback" not in err and fragment in err, err


TEXTS = [
    "the quick brown fox jumps over the lazy dog near the river bank at dawn",
    "a completely different sentence about storage systems and backup tools",
    "The quick brown fox jumps over the lazy dog near the river bank at dusk",
    "pipelines move data from one place to another, cleaning it on the way",
    "A completely different sentence about storage systems and backup TOOLS",
]


def test_console_script_and_help():
    script = Path(sys.executable).with_name("veltrane")
    result = subprocess.run([script, "--help"], capture_output=True, timeout=60)
    assert result.returncode == 0
    for command in ("near-dups", "dedup", "fingerprint"):
        assert command in result.stdout.decode()


@pytest.mark.parametrize("bits", [64, 8, 128])
def test_fingerprint_of_each_line_as_bytes(tmp_path, bits):
    raw = b"Hello world\r\nhello  world\n\nlast\r\r\n\xff\xfe bytes\nno newline at the end\r"
    path = tmp_path / "lines.txt"
    path.write_bytes(raw)
    # Only \n or \r\n ends a line: a lone \r stays in the text.
    lines = [
        b"Hello world",
        b"hello  world",
        b"",
        b"last\r",
        b"\xff\xfe bytes",
        b"no newline at the end\r",
    ]
    expected = "".join(SimHash(bits).compute(line).hex() + "\n" for line in lines)
    from_file = veltrane("fingerprint", "--bits", bits, path)
    assert from_file.returncode == 0 and from_file.stdout.decode() == expected
    # Standard input, by default and as -, and several inputs in order.
    assert veltrane("fingerprint", "--bits", bits, stdin=raw).stdout.decode() == expected
    both = veltrane("fingerprint", "--bits", bits, path, "-", stdin=raw)
    assert both.stdout.decode() == expected * 2
    # Without any \r, with and without a newline at the end.
    for plain in (b"one\n\ntwo words\nlast", b"one\n\ntwo words\nlast\n"):
        lines = [b"one", b"", b"two words", b"last"]
        result = veltrane("fingerprint", "--bits", bits, stdin=plain).stdout.decode()
        assert result == "".join(SimHash(bits).compute(line).hex() + "\n" for line in lines)


def test_near_dup_pairs_name_file_and_line(tmp_path):
    first = tmp_path / "a.txt"
    first.write_text("\n".join(TEXTS[:3]) + "\n\n")  # a trailing empty line is no text
    second = "\n" + "\n".join(TEXTS[3:]) + "\r\n"  # on stdin, after an empty first line
    result = veltrane(
        "near-dups",
        first,
        "-",
        "--method",
        "simhash",
        "--max-distance",
        10,
        cwd=tmp_path,
        stdin=second.encode(),
    )
    assert result.returncode == 0, result.stderr
    rows = [json.loads(line) for line in result.stdout.decode().splitlines()]
    fps = fingerprints64(TEXTS)
    expected = near_duplicate_pairs(fps, 10).tolist()
    assert [(r["i"], r["j"], r["distance"]) for r in rows] == expected == [(0, 2, 4), (1, 4, 0)]
    where = {0: (str(first), 1), 1: (str(first), 2), 2: (str(first), 3), 4: ("-", 3)}
    for r in rows:
        assert (r["file_i"], r["line_i"]) == where[r["i"]]
        assert (r["file_j"], r["line_j"]) == where[r["j"]]


def test_near_dup_clusters_from_jsonl(tmp_path):
    path = tmp_path / "records.jsonl"
    records = [{"id": k, "body": text} for k, text in enumerate(TEXTS)]
    lines = [json.dumps(r) for r in records]
    lines.insert(2, "   ")  # blank lines are skipped but counted
    path.write_text("\n".join(lines) + "\n")
    result = veltrane(
        "near-dups",
        "--jsonl",
        "--field",
        "body",
        "--format",
        "clusters",
        "--method",
        "simhash",
        "--max-distance",
        10,
        "--threads",
        1,
        path,
    )
    assert result.returncode == 0, result.stderr
    rows = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert [(r["cluster"], r["i"], r["line"], r["distance"], r["keep"]) for r in rows] == [
        (0, 0, 1, 0, True),
        (0, 2, 4, 4, False),
        (1, 1, 2, 0, True),
        (1, 4, 6, 0, False),
    ]
    assert {r["file"] for r in rows} == {str(path)}


def test_near_dups_by_jaccard_is_the_default(tmp_path):
    """Pairs are those of near_duplicate_pairs_jaccard; clusters measure to their first text."""
    path = tmp_path / "in.txt"
    texts = [*TEXTS, TEXTS[0].replace("dawn", "noon"), TEXTS[1] + " and more"]
    path.write_text("\n".join(texts) + "\n")
    result = veltrane("near-dups", "--threshold", "0.6", "--ngram", "3", path)
    assert result.returncode == 0, result.stderr
    rows = [json.loads(line) for line in result.stdout.decode().splitlines()]
    expected = near_duplicate_pairs_jaccard(texts, 0.6, ngram=3).tolist()
    assert [(r["i"], r["j"], r["similarity"]) for r in rows] == expected
    assert [(i, j) for i, j, _ in expected] == [(0, 2), (0, 5), (1, 4), (1, 6), (2, 5), (4, 6)]
    assert [r["line_j"] for r in rows] == [j + 1 for _, j, _ in expected]

    result = veltrane(
        "near-dups",
        "--format",
        "clusters",
        "--clusters",
        "components",
        "--threshold",
        "0.6",
        "--ngram",
        3,
        path,
    )
    rows = [json.loads(line) for line in result.stdout.decode().splitlines()]
    similarity = {(i, j): s for i, j, s in expected}
    assert [(r["cluster"], r["i"], r["keep"]) for r in rows] == [
        (0, 0, True),
        (0, 2, False),
        (0, 5, False),
        (1, 1, True),
        (1, 4, False),
        (1, 6, False),
    ]
    assert all(r["similarity"] == similarity.get((r["cluster"], r["i"]), 1.0) for r in rows)


def test_near_dups_with_many_copies_equal_the_pair_array(tmp_path):
    # 400 copies of one line are 79,800 pairs: more than one batch of the stream.
    texts = ["the same line again"] * 400 + TEXTS + ["THE same line  again"] * 3
    order = list(range(len(texts)))
    random.Random(4).shuffle(order)
    texts = [texts[k] for k in order]
    path = tmp_path / "copies.txt"
    path.write_text("\n".join(texts) + "\n")
    fps = fingerprints64(texts)
    expected = near_duplicate_pairs(fps, 4)
    out = veltrane("near-dups", "--method", "simhash", path, "--max-distance", 4)
    assert out.returncode == 0, out.stderr
    rows = [json.loads(line) for line in out.stdout.splitlines()]
    assert [(r["i"], r["j"], r["distance"]) for r in rows] == expected.tolist()
    assert all(r["line_i"] == r["i"] + 1 and r["line_j"] == r["j"] + 1 for r in rows)

    reps = clusters(len(fps), expected)
    out = veltrane(
        "near-dups",
        "--method",
        "simhash",
        path,
        "--max-distance",
        4,
        "--format",
        "clusters",
        "--clusters",
        "components",
    )
    rows = [json.loads(line) for line in out.stdout.splitlines()]
    members = [m for m in range(len(fps)) if (reps == reps[m]).sum() > 1]
    members.sort(key=lambda m: (reps[m], m))
    assert [(r["cluster"], r["i"]) for r in rows] == [(reps[m], m) for m in members]


def test_pairs_of_twenty_thousand_copies_end_at_once_when_the_reader_goes(tmp_path):
    # 200 million pairs: only a stream that writes them as it makes them can stop at once.
    path = tmp_path / "copies.txt"
    path.write_text("one line repeated\n" * 20_000)
    proc = subprocess.Popen(
        [sys.executable, "-m", "veltrane", "near-dups", "--method", "simhash", path],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    first = proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read()
    proc.stderr.close()
    assert proc.wait(timeout=60) != 0 and err == b""
    assert json.loads(first) == {
        "i": 0,
        "j": 1,
        "distance": 0,
        "file_i": str(path),
        "line_i": 1,
        "file_j": str(path),
        "line_j": 2,
    }


@pytest.mark.no_sanitizer
def test_minhash_pairs_of_twenty_thousand_copies_stream_under_a_memory_limit(tmp_path):
    # 200 million pairs (4.8 GB as an array) under a cap of 256 MB above the start: only a
    # stream that expands the copies as it writes them gets to the first line.
    path = tmp_path / "copies.txt"
    path.write_text("one line repeated here\n" * 20_000 + "one line repeated here too\n")
    command = python_under_address_limit(
        "from veltrane import cli",
        f"raise SystemExit(cli.main(['near-dups', '--format', 'pairs', {str(path)!r}]))",
    )
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines = [proc.stdout.readline() for _ in range(3)]
    proc.stdout.close()
    err = proc.stderr.read()
    proc.stderr.close()
    assert proc.wait(timeout=60) == 141 and err == b""
    rows = [json.loads(line) for line in lines]
    assert [(r["i"], r["j"], r["similarity"]) for r in rows] == [
        (0, 1, 1.0),
        (0, 2, 1.0),
        (0, 3, 1.0),
    ]


def test_dedup_report_as_json_and_table(tmp_path):
    shared = os.urandom(50_000)
    (tmp_path / "one.bin").write_bytes(shared + os.urandom(10_000))
    (tmp_path / "two.bin").write_bytes(shared + os.urandom(20_000))
    names = ["one.bin", "two.bin"]
    result = veltrane("dedup", "--json", "--chunk-size", 512, *names, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    expected = dedup_report([tmp_path / n for n in names], 512).to_dict()
    for stats in expected["files"]:
        stats["path"] = Path(stats["path"]).name
    assert expected.pop("duplicate_files") == []  # listed with --duplicate-files only
    assert json.loads(result.stdout) == expected
    assert expected["files"][1]["byte_reduction_percent"] > 50
    # Written file by file, laid out as json.dumps lays out the whole report.
    assert result.stdout.decode() == json.dumps(json.loads(result.stdout), indent=2) + "\n"

    table = veltrane("dedup", "--chunk-size", 512, *names, cwd=tmp_path).stdout.decode()
    table = table.splitlines()
    rows = {line.split()[0]: line.split()[1:] for line in table if line.split()}
    total = expected["total"]
    assert rows["total"][:2] == [f"{total['bytes']:,}", f"{total['unique_bytes']:,}"]
    assert rows["two.bin"][2] == f"{expected['files'][1]['byte_reduction_percent']:.1f}%"

    # A file name that is not UTF-8 is shown with escapes.
    (tmp_path / "two.bin").rename(tmp_path / os.fsdecode(b"caf\xe9.bin"))
    result = veltrane("dedup", "one.bin", b"caf\xe9.bin", cwd=tmp_path)
    assert result.returncode == 0 and "caf\\xe9.bin" in result.stdout.decode()


@pytest.mark.parametrize("stdin", [False, True])
def test_dedup_json_is_laid_out_as_json_dumps_lays_out_its_report(tmp_path, stdin):
    # Standard input takes the Python path; an empty file has no chunks (nulls), and a copy
    # makes a group of identical files.
    data = os.urandom(20_000)
    (tmp_path / "a").write_bytes(data)
    (tmp_path / "b").write_bytes(data)
    (tmp_path / "empty").write_bytes(b"")
    names = ["-", "empty", "b"] if stdin else ["a", "empty", "b"]
    result = veltrane("dedup", "--json", "--duplicate-files", *names, cwd=tmp_path, stdin=data)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert result.stdout.decode() == json.dumps(report, indent=2) + "\n"
    assert [f["path"] for f in report["files"]] == names
    assert report["files"][1] | {"path": 0} == ChunkStats(0).to_dict()
    assert report["files"][2]["unique_bytes"] == 0
    assert report["duplicate_files"] == [[{"path": names[0]}, {"path": "b"}]]


def write_jsonl(tmp_path, text):
    path = tmp_path / "in.jsonl"
    path.write_bytes(text)
    return path


@pytest.mark.parametrize(
    "args, status, fragment",
    [
        (["near-dups", "missing.txt"], 1, "missing.txt: No such file or directory"),
        (["near-dups", "empty"], 1, "empty: no files in the directory"),
        (["fingerprint", "in.txt", "missing.txt"], 1, "missing.txt: No such file"),
        (["near-dups", "--jsonl", "in.jsonl"], 1, "in.jsonl:2: not valid JSON"),
        (
            ["near-dups", "--jsonl", "--field", "body", "ok.jsonl"],
            1,
            "ok.jsonl:1: the record has no field 'body'",
        ),
        (["near-dups", "--jsonl", "numbers.jsonl"], 1, "numbers.jsonl:1: field 'text' must be"),
        (["near-dups", "--jsonl", "list.jsonl"], 1, "list.jsonl:1: expected a JSON object"),
        (["near-dups", "fake.gz"], 1, "fake.gz: named as gzip data, but it is not"),
        (["near-dups", "in.txt", "-o", "in.txt"], 1, "in.txt: the output is an input"),
        (["near-dups", "in.txt", "-o", "ok.jsonl"], 1, "ok.jsonl: the output exists"),
        (["near-dups", "in.txt", "-o", "-", "--format", "pairs"], 2, "not two"),
        (["near-dups", "--field", "body", "in.txt"], 1, "in.txt: a file of lines has no fields"),
        (["near-dups", "--keep", "first", "--keep-by", "n", "in.txt"], 2, "not allowed with"),
        (["near-dups", "--jsonl", "--lines", "in.txt"], 2, "not allowed with argument"),
        (["near-dups", "--max-distance", "17", "in.txt"], 2, "must be from 0 to 16, got 17"),
        (["near-dups", "--format", "groups", "in.txt"], 2, "invalid choice: 'groups'"),
        (["near-dups", "--threads", "0", "in.txt"], 2, "must be at least 1, got 0"),
        (
            ["near-dups", "--max-distance", "3", "in.txt"],
            2,
            "--max-distance needs --method simhash",
        ),
        (
            ["near-dups", "--method", "simhash", "--ngram", "3", "in.txt"],
            2,
            "needs --method minhash",
        ),
        (["near-dups", "--threshold", "1.5", "in.txt"], 2, "must be in (0, 1], got 1.5"),
        (["near-dups", "--num-perm", "0", "in.txt"], 2, "must be at least 1, got 0"),
        (["near-dups"], 2, "required: INPUT"),
        (["dedup", "--chunk-size", "0", "in.txt"], 2, "must be from 1 to"),
        (["fingerprint", "--bits", "12"], 2, "must be a multiple of 8, got 12"),
        (["fingerprint", "--bits", "many"], 2, "expected a whole number, got 'many'"),
        (["fingerprint", "--no-such-option"], 2, "unrecognized arguments: --no-such-option"),
        ([], 2, "required: COMMAND"),
    ],
)
def test_errors_are_one_line(tmp_path, args, status, fragment):
    (tmp_path / "in.txt").write_text("some text\n")
    (tmp_path / "in.jsonl").write_text('{"text": "fine"}\n{"text": broken}\n')
    (tmp_path / "ok.jsonl").write_text('{"text": "fine"}\n')
    (tmp_path / "numbers.jsonl").write_text('{"text": 12}\n')
    (tmp_path / "list.jsonl").write_text('["text"]\n')
    (tmp_path / "fake.gz").write_text("not compressed\n")
    (tmp_path / "empty").mkdir()
    one_line_error(veltrane(*args, cwd=tmp_path), status, fragment)


@pytest.mark.parametrize("memory", [[], ["--memory", "64K"]])
def test_a_dash_output_is_standard_output(tmp_path, memory):
    lines = [json.dumps({"id": k, "text": f"w{k % 9} common words {k % 4}"}) for k in range(60)]
    (tmp_path / "in.jsonl").write_text("".join(line + "\n" for line in lines))
    for flag in ("-o", "--duplicates"):
        to_file = veltrane("near-dups", "in.jsonl", flag, f"f{flag}", *memory, cwd=tmp_path)
        to_stdout = veltrane("near-dups", "in.jsonl", flag, "-", *memory, cwd=tmp_path)
        assert to_file.returncode == to_stdout.returncode == 0
        assert to_stdout.stdout == (tmp_path / f"f{flag}").read_bytes() != b""
    assert not (tmp_path / "-").exists()


def test_closed_output_pipe_ends_quietly(tmp_path):
    path = tmp_path / "many.txt"
    path.write_text("word\n" * 200_000)
    proc = subprocess.Popen(
        [sys.executable, "-m", "veltrane", "fingerprint", path],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    proc.stdout.read(17)
    proc.stdout.close()
    err = proc.stderr.read()
    proc.stderr.close()
    assert proc.wait(timeout=60) != 0
    assert err == b""


def run_on_terminal(*args, chunks, pause):
    """Runs veltrane with standard error on a terminal, feeding standard input in pieces."""
    main, secondary = pty.openpty()
    # A new terminal is 0 columns wide until someone sets its size, as terminal windows do.
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    proc = subprocess.Popen(
        [sys.executable, "-m", "veltrane", *args],
        stdin=subprocess.PIPE,
        stdout=subprocess.DEVNULL,
        stderr=secondary,
    )
    os.close(secondary)
    # Drained while the child runs: a slow machine redraws the bar more often, and a full
    # terminal buffer would block the child's writes until the wait timed out.
    received: list[bytes] = []

    def drain() -> None:
        while True:
            try:
                data = os.read(main, 1 << 16)
            except OSError:  # the terminal closes with its last writer
                return
            if not data:
                return
            received.append(data)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    for chunk in chunks:
        proc.stdin.write(chunk)
        proc.stdin.flush()
        time.sleep(pause)
    proc.stdin.close()
    assert proc.wait(timeout=60) == 0
    reader.join(timeout=10)
    os.close(main)
    return b"".join(received)


@pytest.mark.no_sanitizer
def test_progress_bar_only_on_a_terminal_and_not_with_quiet():
    # More lines than one batch, so the bar is updated after its delay has passed.
    lines = [b"some words here\n" * (1 << 16)] * 3
    assert b"fingerprints" in run_on_terminal("fingerprint", chunks=lines, pause=0.6)
    # The search counts its steps (fingerprints times blocks) up to 100%.
    shown = run_on_terminal(
        "near-dups", "--method", "simhash", "--format", "clusters", "-", chunks=lines, pause=0.6
    )
    assert re.search(rb"searching: +100%", shown), shown[-300:]
    # MinHash counts the texts it signs.
    shown = run_on_terminal("near-dups", "--format", "clusters", "-", chunks=lines, pause=0.6)
    assert re.search(rb"signing: +100%", shown), shown[-300:]
    assert run_on_terminal("fingerprint", "--quiet", chunks=lines, pause=0.6) == b""


def test_search_progress_shows_the_end_of_a_search_over_before_the_first_look(monkeypatch):
    # Copies collapse to one fingerprint, so the search can end before its first report; the
    # bar then stayed at 0. A worker that has finished when started makes that certain.
    import types

    from veltrane import _pairs, near_duplicate_clusters

    class Finished(threading.Thread):
        def start(self):
            super().start()
            super().join()

    monkeypatch.setattr(_pairs, "threading", types.SimpleNamespace(Thread=Finished))
    fps = np.full(1000, 5, dtype=np.uint64)
    seen: list[tuple[int, int]] = []
    reps = near_duplicate_clusters(
        fps, 3, threads=1, progress=lambda step, done, total: seen.append((done, total))
    )
    assert (reps == 0).all() and seen and seen[-1][0] == seen[-1][1] > 0


def test_dedup_tree_as_users_have_it(tmp_path):
    d = tmp_path / "d"
    d.mkdir()
    data = os.urandom(30_000)
    (d / "a").write_bytes(data)
    (d / "b").write_bytes(data)
    os.link(d / "a", d / "c")
    os.mkfifo(d / "fifo")  # the walk must neither open it nor hang on it
    odd = os.fsdecode(b"n\x1b[31m\xff")
    (d / odd).write_bytes(b"x")
    # Missing named paths are reported as files inside a directory are: the report is still
    # written, and the exit status is 1.
    table = veltrane("dedup", "--duplicate-files", "d", "d/a", b"bad\xff", cwd=tmp_path)
    assert table.returncode == 1
    assert (
        table.stderr == b"veltrane dedup: error: bad\\xff: No such file or directory (skipped)\n"
    )
    text = table.stdout.decode()
    assert "d/n\\x1b[31m\\xff" in text and "\x1b" not in text
    assert "Skipped 2 paths to files already counted" in text and "Skipped 1 FIFOs" in text
    assert "  d/a\n  d/b\n" in text
    result = veltrane("dedup", "--json", "--duplicate-files", "d", cwd=tmp_path)
    assert result.returncode == 0
    report = json.loads(result.stdout.decode("utf-8", "strict"))
    assert "\\ud" not in result.stdout.decode()  # no lone surrogates for strict parsers
    assert result.stdout.decode() == json.dumps(report, indent=2) + "\n"
    assert [f["path"] for f in report["files"]][:2] == ["d/a", "d/b"]
    raw = [base64.b64decode(f["path_base64"]) for f in report["files"] if "path_base64" in f]
    assert raw == [b"d/n\x1b[31m\xff"]
    assert report["duplicate_files"] == [[{"path": "d/a"}, {"path": "d/b"}]]
    assert report["total"]["unique_bytes"] == 30_001


# A figure small, large, or just below another: means and shares in every layout repr gives
# them (0.0, 100.0, 1e-05, 1e+16). Up to 2**53, where int / int and float / float agree.
figure = st.one_of(st.integers(0, 300), st.integers(0, 2**53))


# Paths of any bytes (invalid UTF-8, controls, quotes, astral characters), figures of any size:
# the native --json files equal json.dumps(indent=2) of each file's ChunkStats.to_dict with its
# path as _json_path gives it, nested as in the report.
@given(
    st.lists(
        st.tuples(
            st.one_of(st.binary(max_size=12), st.text(max_size=6).map(str.encode)),
            figure,
            figure,
            figure,
            figure,
        ),
        max_size=6,
    )
)
def test_native_json_files_equal_json_dumps(rows):
    files, expected = [], []
    for raw, size, chunks, fewer_chunks, fewer_bytes in rows:
        low, high = sorted((size % 65536, fewer_bytes % 65536)) if chunks else (None, None)
        unique = (max(chunks - fewer_chunks, 0), max(size - fewer_bytes, 0))
        stats = ChunkStats(os.fsdecode(raw), size, chunks, *unique, low, high, size)
        files.append(stats)
        # path_base64, when there, comes last.
        expected.append(stats.to_dict() | _json_path(stats.path))
    body = "".join(_json_files(files))
    text = '{\n  "files": [\n' + body + "\n  ]\n}" if files else '{\n  "files": []\n}'
    assert text == json.dumps({"files": expected}, indent=2)


def test_blas_threads_are_limited_for_the_command_only(tmp_path):
    # Imported by another program run with -m, veltrane leaves the process's BLAS alone.
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "__init__.py").write_text("import veltrane\n")
    (tmp_path / "app" / "__main__.py").write_text(
        "import os\nprint(os.environ.get('OPENBLAS_NUM_THREADS'))\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "OPENBLAS_NUM_THREADS"}
    run = [sys.executable, "-m", "app"]
    assert subprocess.run(run, cwd=tmp_path, env=env, capture_output=True).stdout == b"None\n"
    command = [
        sys.executable,
        "-c",
        "import sys; sys.argv[0] = 'veltrane'; import veltrane, os;"
        "print(os.environ['OPENBLAS_NUM_THREADS'])",
    ]
    assert subprocess.run(command, env=env, capture_output=True).stdout == b"1\n"


# repr's layouts past the figures a file can have: exponents either way, and the switch at 16
# digits before the point.
@pytest.mark.parametrize(
    "size, chunks",
    [(10**17, 1), (10**16, 1), (10**16 - 2, 1), (1, 10**6), (1, 10**4), (2**64 - 1, 3), (5, 2)],
)
def test_native_json_means_as_repr_writes_them(size, chunks):
    stats = np.array([[size, chunks, 0, 0, 1, 1]], dtype=np.uint64)
    ends = np.array([1], dtype=np.uint64)
    text = _native.dedup_json_files(b"a", ends, stats, 0, 1).decode()
    assert f'"mean_chunk": {float(size) / float(chunks)!r},' in text
