"""Corpus readers against the plain records they were written from, and every bad input as one
CorpusError line naming the file and the line or row."""

from __future__ import annotations

import bz2
import gzip
import json
import lzma
import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import zstandard
from hypothesis import given, settings
from hypothesis import strategies as st
from veltrane.corpus import Corpus, CorpusError

COMPRESS = {
    "": lambda b: b,
    ".gz": gzip.compress,
    ".zst": lambda b: zstandard.ZstdCompressor().compress(b),
    ".bz2": bz2.compress,
    ".xz": lzma.compress,
}
TEXTS = ["alpha beta", "", "ünïcödé ✓ 𝄞", "tab\there", 'quote " and \\ back', "last"]


def jsonl_bytes(texts=TEXTS) -> bytes:
    # A byte-order mark, a blank line, a CRLF line and a last line without its ending.
    lines = [
        json.dumps({"id": k, "text": t}, ensure_ascii=k % 2 == 0) for k, t in enumerate(texts)
    ]
    return (
        b"\xef\xbb\xbf"
        + "\n".join(lines[:2]).encode()
        + b"\n \n"
        + ("\r\n".join(lines[2:]).encode())
    )


def model(raw: bytes, fmt: str):
    """(texts, numbers, spans) read literally."""
    raw_lines = raw.split(b"\n")
    if raw.endswith(b"\n"):
        raw_lines.pop()
    texts, numbers, spans, offset = [], [], [], 0
    for number, line in enumerate(raw_lines, 1):
        start = offset + (3 if number == 1 and line.startswith(b"\xef\xbb\xbf") else 0)
        offset += len(line) + 1
        end = min(offset, len(raw))
        line = raw[start:end].rstrip(b"\n").removesuffix(b"\r")
        if fmt == "jsonl" and not line.strip():
            continue
        text = json.loads(line)["text"].encode() if fmt == "jsonl" else line
        texts.append(text.decode("utf-8", "replace").encode())
        numbers.append(number)
        spans.append([start, end - start])
    return texts, numbers, spans


@pytest.mark.parametrize("ext", list(COMPRESS))
@pytest.mark.parametrize("fmt", ["lines", "jsonl"])
@pytest.mark.parametrize("block_size", [7, 1 << 20])
def test_text_formats_read_as_the_plain_records(tmp_path, ext, fmt, block_size):
    raw = jsonl_bytes() + b"\n" + b"bad \xff\xfe utf-8\n" * (fmt == "lines")
    path = tmp_path / f"c.{'jsonl' if fmt == 'jsonl' else 'txt'}{ext}"
    path.write_bytes(COMPRESS[ext](raw))
    got = Corpus(path, id_field="id" if fmt == "jsonl" else None).read(block_size=block_size)
    texts, numbers, spans = model(raw, fmt)
    assert (got.texts, got.numbers.tolist(), got.spans.tolist()) == (texts, numbers, spans)
    assert got.ids == (list(range(len(TEXTS))) if fmt == "jsonl" else None)
    # The spans cut the decompressed file into its records' lines.
    assert all(raw[a : a + n].rstrip(b"\r\n") for a, n in spans if fmt == "jsonl")
    # Read again by span, in any order, as they were read (plain files only).
    corpus = Corpus(path, format=fmt)
    assert corpus.rereadable(0) == (ext == "")
    if ext == "":
        order = np.random.default_rng(1).permutation(len(spans))
        again = corpus.texts_at(0, np.array(spans, dtype=np.int64)[order])
        assert again == [texts[k] for k in order]
    # Compression known by its magic bytes alone.
    bare = tmp_path / "bare"
    bare.write_bytes(path.read_bytes())
    assert Corpus(bare, format=fmt).read().texts == texts


def test_parquet_reads_its_column_as_jsonl_would(tmp_path):
    table = pa.table(
        {"n": list(range(len(TEXTS))), "text": TEXTS, "id": [f"d{k}" for k in range(6)]}
    )
    pq.write_table(table, tmp_path / "c.parquet", row_group_size=4)
    got = Corpus(tmp_path / "c.parquet", id_field="id").read(block_size=1024)
    assert got.texts == [t.encode() for t in TEXTS]
    assert got.numbers.tolist() == list(range(1, 7)) and got.ids == table["id"].to_pylist()
    (tmp_path / "c.jsonl").write_bytes(jsonl_bytes())
    assert Corpus(tmp_path / "c.jsonl").read().texts == got.texts


def test_a_directory_is_its_shards_in_sorted_order(tmp_path):
    (tmp_path / "d" / "sub").mkdir(parents=True)
    for name, text in [
        ("b.jsonl", "2"),
        ("a.jsonl.gz", "1"),
        ("sub/c.jsonl", "3"),
        ("_SUCCESS", ""),
    ]:
        data = json.dumps({"text": text}).encode() + b"\n"
        (tmp_path / "d" / name).write_bytes(
            COMPRESS[".gz"](data) if name.endswith(".gz") else data
        )
    got = Corpus([tmp_path / "d", tmp_path / "d" / "b.jsonl"]).read()
    assert got.texts == [b"1", b"2", b"3", b"2"] and got.source.tolist() == [0, 1, 2, 3]


def test_records_python_refuses_are_read(tmp_path):
    # A 5,000-digit integer and 100,000 nested arrays beside the text; a duplicate key and a
    # lone surrogate make Arrow refuse the block, which is then read a line at a time.
    deep = "[" * 100_000 + "]" * 100_000
    lines = [
        '{"text": "a", "n": ' + "9" * 5000 + "}",
        '{"text": "b", "n": ' + deep + "}",
        '{"text": "c", "text": "d", "id": ' + "7" * 5000 + "}",
        '{"text": "\\ud800 e", "id": 1.5}',
    ]
    (tmp_path / "c.jsonl").write_text("\n".join(lines))
    got = Corpus(tmp_path / "c.jsonl").read()
    assert got.texts == [b"a", b"b", b"d", "\ufffd e".encode()]


def err(tmp_path, name: str, data: bytes, **kw) -> str:
    path = tmp_path / name
    if isinstance(data, pa.Table):
        pq.write_table(data, path)
    else:
        path.write_bytes(data)
    with pytest.raises(CorpusError) as e:
        Corpus(path, **kw).read(block_size=64)
    message = str(e.value)
    assert "\n" not in message and message.startswith(str(path))
    return message.removeprefix(str(path) + ": ")


ZIPPED = b'{"text": "a long enough record"}\n' * 200


@pytest.mark.parametrize(
    ("name", "data", "expected"),
    [
        ("c.jsonl", b'{"text": "a"}\n\n{"other": 1}\n', "line 3: the record has no field 'text'"),
        ("c.jsonl", b'{"text": null}\n', "line 1: field 'text' must be a string, got null"),
        ("c.jsonl", b'{"text": 5}\n', "line 1: field 'text' must be a string, got a number"),
        ("c.jsonl", b'{"text": "a"}\n[1]\n', "line 2: expected a JSON object, got an array"),
        ("c.jsonl", b'{"text": "a"}\n{"text": "b"', "line 2: not valid JSON"),
        (
            "c.jsonl",
            b'{"text": ' + b"[" * 100_000 + b"]" * 100_000 + b"}",
            "line 1: JSON nested too deeply",
        ),
        ("c.txt", b"text\nbin\0ary\n", "line 2: binary data (a NUL byte), not text"),
        ("c.jsonl.gz", gzip.compress(ZIPPED)[:-20], "corrupt or truncated gzip data"),
        ("c.jsonl.zst", zstandard.ZstdCompressor().compress(ZIPPED)[:-5], "truncated zstd"),
        ("c.jsonl.bz2", bz2.compress(ZIPPED)[:-20], "corrupt or truncated bz2 data"),
        ("c.jsonl.xz", lzma.compress(ZIPPED)[:-20], "corrupt or truncated xz data"),
        ("c.jsonl.gz", ZIPPED, "named as gzip data, but it is not"),
        ("c.parquet", pa.table({"body": ["x"]}), "no column 'text' (columns: body)"),
        ("c.parquet", pa.table({"text": [1]}), "column 'text' holds int64, not text"),
        ("c.parquet", pa.table({"text": ["x", None]}), "row 2: column 'text' is null"),
        ("c.parquet", b"PAR1 but cut short", "not a readable Parquet file"),
    ],
)
def test_bad_input_is_one_line_naming_file_and_place(tmp_path, name, data, expected):
    assert expected in err(tmp_path, name, data)


def test_invalid_utf8_reads_as_replacement_in_every_format(tmp_path):
    bad = b"caf\xc3 \xff ok"
    (tmp_path / "c.txt").write_bytes(bad + b"\n")
    (tmp_path / "c.jsonl").write_bytes(b'{"text": "' + bad + b'"}\n')
    pq.write_table(
        pa.table({"text": pa.array([bad], pa.binary()).cast(pa.string(), safe=False)}),
        tmp_path / "c.parquet",
    )
    expected = bad.decode("utf-8", "replace").encode()
    for name in ("c.txt", "c.jsonl", "c.parquet"):
        assert Corpus(tmp_path / name).read().texts == [expected]


MEASURE_READ = """
import os, resource, sys
import pyarrow.json
from veltrane.corpus import Corpus
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert sum(len(t) for b in Corpus(sys.argv[1]).batches() for t in b.texts)
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) * 1024
print(grown / os.path.getsize(sys.argv[1]))
"""


@pytest.mark.slow
@pytest.mark.no_sanitizer
@pytest.mark.parametrize("fmt", ["jsonl", "txt"])
def test_a_record_of_hundreds_of_mb_takes_a_few_times_its_size(tmp_path, fmt):
    path = tmp_path / f"huge.{fmt}"
    count = 200 << 20 >> 4
    with open(path, "wb") as f:
        if fmt == "jsonl":
            f.write(b'{"text": "' + b"word \\u00e9 bc " * count + b'"}\n')
        else:
            f.write(b"word \xc3\xa9 abcdef " * count + b"\n")
    out = subprocess.run(
        [sys.executable, "-c", MEASURE_READ, str(path)], check=True, capture_output=True, text=True
    )
    assert float(out.stdout) < 5  # peak memory growth per byte of the record


JSON_VALUES = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda inner: (
        st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3)
    ),
    max_leaves=8,
)


@settings(max_examples=300, deadline=None)
@given(
    others=st.dictionaries(st.from_regex(r"[a-z]{1,3}", fullmatch=True), JSON_VALUES, max_size=4),
    text=st.text(),
    ident=st.integers() | st.text(max_size=4),
    ascii_only=st.booleans(),
    cut=st.integers(0, 200),
    garbage=st.sampled_from(["", "x", ",", "}", "\\", '"', "\x01", "]", "{", "-", "1e", ":"]),
)
def test_the_native_scanner_takes_only_what_python_reads_the_same(
    others, text, ident, ascii_only, cut, garbage
):
    from veltrane import _native

    record = {**others, "text": text, "id": ident}
    line = json.dumps(record, ensure_ascii=ascii_only).encode()
    mutated = line[:cut] + garbage.encode() + line[cut:]
    for data in (line, mutated):
        starts = np.array([0, len(data)])
        texts, rows, ids, _, _, other = _native.jsonl_fields(data, starts, b"text", b"id", b"", 2)
        try:
            expected = json.loads(data.decode("utf-8", "replace"))  # the policy on bad UTF-8
        except ValueError:
            expected = None
        if data == line:
            assert other == -1  # every valid record without escaped keys is taken
        if other == -1:
            assert isinstance(expected, dict)
            assert [t.decode("utf-8", "replace").encode() for t in texts] == [
                expected["text"].encode()
            ]
            want = expected["id"]
            got = ids[0].decode("utf-8", "replace")
            assert got == want if isinstance(want, str) else json.loads(got) == want
    # Many lines on 1 or 3 threads: the same answer, the blank line skipped.
    block = b"\n".join([line, b" \t", line, mutated] * 300)
    starts = _native.line_starts(block)
    one, three = (_native.jsonl_fields(block, starts, b"text", b"id", b"", t) for t in (1, 3))
    assert one[0] == three[0] and one[5] == three[5]
    assert np.array_equal(one[1], three[1])
    if mutated == line:
        assert one[5] == -1 and one[1].tolist() == [k for k in range(1200) if k % 4 != 1]


@settings(max_examples=500, deadline=None)
@given(st.lists(st.binary(max_size=6) | st.text(max_size=6).map(str.encode), max_size=8))
def test_the_utf8_check_is_pythons(parts):
    from veltrane import _native

    data = b"".join(parts)
    try:
        data.decode("utf-8")
        valid = True
    except UnicodeDecodeError:
        valid = False
    assert _native.is_utf8(data) == valid
    assert _native.is_utf8(b"ascii run " * 3 + data) == valid


@pytest.mark.parametrize("special", ['\\"', "\\\\", "\\u00e9", "\x01", '"', "\\"])
def test_the_scanner_stops_at_a_special_byte_wherever_it_falls(special):
    # Strings are scanned 8 bytes at a time: a quote, backslash or control byte at each offset.
    from veltrane import _native

    lines = [f'{{"text": "{"a" * k}{special}{"b" * (20 - k)}", "n": 1}}' for k in range(20)]
    block = "\n".join(lines).encode()
    texts, rows, *_, other = _native.jsonl_fields(
        block, _native.line_starts(block), b"text", b"", b"", 2
    )
    try:
        want = [json.loads(line)["text"].encode() for line in lines]
    except ValueError:
        assert other == 0
    else:
        assert other == -1 and texts == want


@pytest.mark.parametrize("bad", [b"\xff", b"\xc3", b"\xe2\x82", b"\xed\xa0\x80"])
def test_the_utf8_check_on_threads_is_pythons_at_every_cut(bad):
    from veltrane import _native

    # 3 MiB: cut in three parts on three threads, at characters of 2, 3 and 4 bytes.
    body = ("é€𝄞x" * 300_000).encode()
    assert _native.is_utf8(body, 3) and _native.is_utf8(body, 1)
    for at in (1 << 20, (1 << 20) + 1, 2 << 20, len(body) // 3 * 2 + 2, len(body) - 1):
        data = body[:at] + bad + body[at:]
        assert not _native.is_utf8(data, 3) and not _native.is_utf8(data, 1)


def test_values_for_a_keep_rule_read_alike_from_every_format(tmp_path):
    scores = [3, -1.5, None, 1e300, 7]
    lines = [json.dumps({"text": f"t{k}", "score": v}) for k, v in enumerate(scores)]
    lines[2] = json.dumps({"text": "t2"})  # no value: ranked last by a keep rule, as NaN
    (tmp_path / "slow.jsonl").write_text("\n".join(lines))
    (tmp_path / "fast.jsonl").write_text("\n".join(lines[:2] + lines[3:]))
    pq.write_table(
        pa.table({"text": [f"t{k}" for k in range(5)], "score": scores}), tmp_path / "c.parquet"
    )
    expected = [3.0, -1.5, np.nan, 1e300, 7.0]
    for name, want in [
        ("slow.jsonl", expected),
        ("fast.jsonl", expected[:2] + expected[3:]),
        ("c.parquet", expected),
    ]:
        got = Corpus(tmp_path / name, value_field="score").read(block_size=1 << 20).values
        np.testing.assert_array_equal(got, want)
    (tmp_path / "bad.jsonl").write_text('{"text": "a", "score": "high"}\n')
    with pytest.raises(CorpusError, match="line 1: field 'score' must be a number"):
        Corpus(tmp_path / "bad.jsonl", value_field="score").read()
    with pytest.raises(CorpusError, match="column 'text' holds string, not numbers"):
        Corpus(tmp_path / "c.parquet", value_field="text")


@pytest.mark.parametrize("ext", list(COMPRESS))
def test_long_compressed_files_read_in_many_blocks(tmp_path, ext):
    # Random enough that the compressed file takes many reads, each making many blocks.
    rng = np.random.default_rng(0)
    texts = [f"line {k} " + rng.bytes(k % 200).hex() for k in range(3000)]
    raw = b"".join(json.dumps({"text": t}).encode() + b"\n" for t in texts)
    (tmp_path / f"c.jsonl{ext}").write_bytes(COMPRESS[ext](raw))
    assert Corpus(tmp_path / f"c.jsonl{ext}").read(block_size=4096).texts == [
        t.encode() for t in texts
    ]


@pytest.mark.parametrize("ext", [e for e in COMPRESS if e])
def test_concatenated_compressed_streams_read_as_one_file(tmp_path, ext):
    (tmp_path / f"c.txt{ext}").write_bytes(
        COMPRESS[ext](b"one\ntw") + COMPRESS[ext](b"o\nthree\n")
    )
    assert Corpus(tmp_path / f"c.txt{ext}").read().texts == [b"one", b"two", b"three"]


@pytest.mark.parametrize(
    "fmt, case",
    [
        ("lines", "mixed"),
        ("jsonl", "mixed"),
        ("lines", "invalid utf-8"),
        ("jsonl", "invalid utf-8"),
        ("lines", "nul"),
        ("jsonl", "escaped key"),
    ],
)
def test_one_pass_reads_and_signs_as_the_general_reader(tmp_path, monkeypatch, fmt, case):
    from veltrane import _native
    from veltrane.corpus import signed as signed_module
    from veltrane.corpus.signed import read_signed
    from veltrane.sketch.minhash import minhash_signatures, shingle_hashes

    rng = np.random.default_rng(7)
    words = ["Alpha", "beta", "ünï", "𝄞", 'q"u', "back\\slash", "tab\t", "x"]
    texts = [" ".join(rng.choice(words, int(rng.choice([0, 3, 40, 60_000])))) for _ in range(120)]
    if fmt == "lines":
        texts = [t.replace("\n", " ") for t in texts]
        lines = [t.encode() for t in texts]
    else:
        lines = [
            json.dumps(
                {"v": k * 0.5, "text": t, "id": k if k % 2 else f"d{k}"}, ensure_ascii=k % 3 == 0
            ).encode()
            for k, t in enumerate(texts)
        ]
        lines[5] = b" \t"  # a blank line: no record
    bad = {"invalid utf-8": b"\xff", "nul": b"\0", "escaped key": b'{"te\\u0078t": "a"}'}
    if case == "escaped key":
        lines[90] = bad[case]
    elif case in bad:  # within the text
        lines[90] = lines[90].replace(b'"text": "', b'"text": "' + bad[case], 1) + bad[case] * (
            fmt == "lines"
        )
    # A byte-order mark, CRLF endings here and there, no ending on the last line; over 2 MiB, so
    # that lines cross the 1 MiB stretches the threads take.
    raw = b"\xef\xbb\xbf" + b"".join(
        line + (b"\r\n" if k % 7 == 3 else b"\n") for k, line in enumerate(lines)
    )
    raw = raw[:-1]
    assert len(raw) > 2 << 20
    path = tmp_path / ("c.jsonl" if fmt == "jsonl" else "c.txt")
    path.write_bytes(raw)
    named = {"id_field": "id", "value_field": "v"} if fmt == "jsonl" else {}
    corpus = Corpus(path, **named)
    got = read_signed(corpus, 24, 3, 2, None)
    if case != "mixed":
        assert got is None  # read the general way, which replaces, refuses or takes it
        return
    assert got is not None
    records, signatures = got
    want = corpus.read()
    assert records.numbers.tolist() == want.numbers.tolist()
    assert records.spans.tolist() == want.spans.tolist()
    assert records.ids == want.ids
    assert (records.values is None) == (want.values is None)
    if want.values is not None:
        assert records.values.tolist() == want.values.tolist()
    assert records.texts.take(np.arange(len(want.texts))) == want.texts
    monkeypatch.setattr(signed_module, "_ITER_BATCH", 7)  # iterated a few texts a read
    assert list(records.texts) == want.texts
    assert records.texts.sizes.tolist() == [len(t) for t in want.texts]
    searched = [t for t in want.texts if t or fmt == "jsonl"]
    assert np.array_equal(signatures, minhash_signatures(searched, 24, ngram=3))
    # Banded rows: the keys of the bands, of the whole signature, and no shingles.
    table = read_signed(corpus, 24, 3, 1, None, (4, 5))[1]
    _, offsets = shingle_hashes(searched, ngram=3)
    assert np.array_equal(table[:, :4], _native.band_keys(signatures, 4, 5, 1).T)
    assert np.array_equal(table[:, 4], _native.band_keys(signatures, 1, 24, 1)[0])
    assert table[:, 5].tolist() == (np.diff(offsets) == 0).tolist()


@settings(max_examples=150, deadline=None)
@given(
    texts=st.lists(st.text(alphabet='ab é𝄞\t\r"\\', max_size=12), max_size=12),
    fmt=st.sampled_from(["lines", "jsonl"]),
    bom=st.booleans(),
    crlf=st.booleans(),
    ended=st.booleans(),
    stretch=st.integers(1, 40),
    threads=st.integers(1, 3),
)
def test_one_pass_reads_any_stretches_as_the_general_reader(
    tmp_path_factory, texts, fmt, bom, crlf, ended, stretch, threads
):
    # Stretches of a few bytes put every line boundary, the byte-order mark and the file's end
    # at a stretch's edge somewhere.
    from veltrane import _native
    from veltrane.sketch.minhash import minhash_signatures

    if fmt == "lines":
        lines = [t.encode() for t in texts]
    else:
        lines = [json.dumps({"text": t}).encode() if t != "a" else b" " for t in texts]
    raw = b"\xef\xbb\xbf" * bom + b"".join(x + (b"\r\n" if crlf else b"\n") for x in lines)
    if not ended and raw.endswith(b"\n"):
        raw = raw[:-1]
    path = tmp_path_factory.mktemp("one") / ("c.jsonl" if fmt == "jsonl" else "c.txt")
    path.write_bytes(raw)
    want = Corpus(path).read()
    got = _native.sign_plain_file(
        str(path), fmt == "jsonl", b"text", b"", b"", 8, 2, 0, 0, 0, threads, None, stretch
    )
    assert got is not None
    numbers, spans, sizes, rows, signed, *_ = got
    assert numbers.tolist() == want.numbers.tolist()
    assert spans.tolist() == want.spans.tolist()
    assert sizes.tolist() == [len(t) for t in want.texts]
    searched = [t for t in want.texts if t or fmt == "jsonl"]
    assert np.array_equal(rows[:signed], minhash_signatures(searched, 8, ngram=2))
    # Banded rows, keyed a few records at a time per thread, whatever the stretches.
    banded = _native.sign_plain_file(
        str(path), fmt == "jsonl", b"text", b"", b"", 8, 2, 0, 2, 3, threads, None, stretch
    )
    assert banded is not None
    table = banded[3][: banded[4]]
    signatures = rows[:signed]
    if len(signatures):
        assert np.array_equal(table[:, :2], _native.band_keys(signatures, 2, 3, 1).T)
        assert np.array_equal(table[:, 2], _native.band_keys(signatures, 1, 8, 1)[0])
