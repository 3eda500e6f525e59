"""The writers: kept records are the input's, byte for byte or row for row, in input order; an
output appears whole or not at all."""

from __future__ import annotations

import bz2
import errno
import gzip
import io
import json
import lzma
import os

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import zstandard
from test_corpus import COMPRESS
from veltrane.corpus import Corpus, CorpusError, writers

DECOMPRESS = {
    "": lambda b: b,
    ".gz": gzip.decompress,
    ".zst": lambda b: zstandard.ZstdDecompressor().stream_reader(io.BytesIO(b)).read(),
    ".bz2": bz2.decompress,
    ".xz": lzma.decompress,
}


def lines_of(n: int, rng) -> list[bytes]:
    return [
        json.dumps(
            {"text": f"record {k} ✓", "n": int(rng.integers(9))}, ensure_ascii=k % 2 == 0
        ).encode()
        + (b"\r\n" if k % 3 == 0 else b"\n")
        for k in range(n)
    ]


@pytest.mark.parametrize("ext", list(COMPRESS))
@pytest.mark.parametrize("block", [64, 32 << 20])
def test_kept_lines_are_the_input_lines_byte_for_byte(tmp_path, monkeypatch, ext, block):
    monkeypatch.setattr(writers, "_COPY_BLOCK", block)  # runs of kept lines across blocks
    rng = np.random.default_rng(len(ext))
    shards = [lines_of(50, rng), lines_of(30, rng)]
    shards[1][-1] = shards[1][-1].rstrip(b"\r\n")  # a last line without its ending
    for k, lines in enumerate(shards):
        (tmp_path / f"in{k}.jsonl{ext}").write_bytes(COMPRESS[ext](b"".join(lines)))
    corpus = Corpus([tmp_path / f"in{k}.jsonl{ext}" for k in range(2)])
    records = corpus.read(block_size=100)
    keep = rng.random(len(records.texts)) < 0.5
    out = tmp_path / f"out.jsonl{ext}"
    assert writers.write_kept(corpus, records, keep, out) == keep.sum()
    expected = b"".join(
        line if line.endswith(b"\n") else line + b"\n"
        for line, kept in zip(shards[0] + shards[1], keep)
        if kept
    )
    assert DECOMPRESS[ext](out.read_bytes()) == expected


@pytest.mark.parametrize("out_ext", ["", ".gz"])
def test_kept_lines_of_a_plain_file_equal_those_copied_from_its_compressed_copy(tmp_path, out_ext):
    # A plain input is copied by the kernel, a compressed one through Python: the same bytes.
    rng = np.random.default_rng(5)
    data = b"\xef\xbb\xbf" + b"".join(lines_of(300, rng)) + b"\n \r\n" + b'{"text": "end"}'
    (tmp_path / "in.jsonl").write_bytes(data)
    (tmp_path / "in.jsonl.gz").write_bytes(gzip.compress(data))
    outputs = []
    for k, name in enumerate(["in.jsonl", "in.jsonl.gz"]):
        corpus = Corpus(tmp_path / name)
        records = corpus.read(block_size=1000)
        keep = np.random.default_rng(6).random(len(records.texts)) < 0.7
        keep[-1] = True
        out = tmp_path / f"out{k}.jsonl{out_ext}"
        writers.write_kept(corpus, records, keep, out)
        outputs.append(DECOMPRESS[out_ext](out.read_bytes()))
    assert outputs[0] == outputs[1] and outputs[0].endswith(b'{"text": "end"}\n')


@pytest.mark.parametrize("append", [False, True])
def test_ranges_are_copied_in_order_by_the_kernel_or_through_a_buffer(tmp_path, append):
    # sendfile refuses an output opened to append: the copy goes through a buffer instead.
    from veltrane import _native

    data = np.random.default_rng(3).integers(0, 256, 3 << 20, dtype=np.uint8).tobytes()
    (tmp_path / "in").write_bytes(data)
    starts, ends = [0, 10, 1 << 20, len(data) - 5], [5, (1 << 20) + 7, 2 << 20, len(data)]
    fd = os.open(tmp_path / "out", os.O_WRONLY | os.O_CREAT | (os.O_APPEND if append else 0))
    try:
        os.write(fd, b"head")
        assert _native.send_ranges(fd, str(tmp_path / "in"), starts, ends)
        # A range past the end: the file changed since its lines were found.
        assert not _native.send_ranges(fd, str(tmp_path / "in"), [len(data) - 1], [len(data) + 1])
    finally:
        os.close(fd)
    expected = b"head" + b"".join(data[a:b] for a, b in zip(starts, ends)) + data[-1:]
    assert (tmp_path / "out").read_bytes() == expected


def test_kept_parquet_rows_are_the_input_rows_with_their_schema(tmp_path):
    rng = np.random.default_rng(0)
    tables = [
        pa.table(
            {"text": [f"t{k}" for k in range(n)], "v": rng.random(n)}
        ).replace_schema_metadata({"origin": "test"})
        for n in (70, 40)
    ]
    for k, table in enumerate(tables):
        pq.write_table(table, tmp_path / f"in{k}.parquet", row_group_size=16)
    corpus = Corpus([tmp_path / "in0.parquet", tmp_path / "in1.parquet"])
    records = corpus.read(block_size=10_000)
    keep = rng.random(110) < 0.3
    writers.write_kept(corpus, records, keep, tmp_path / "out.parquet")
    got = pq.read_table(tmp_path / "out.parquet")
    assert got.equals(pa.concat_tables(tables).filter(pa.array(keep)))
    assert got.schema.metadata == {b"origin": b"test"}


def test_outputs_equal_to_an_input_or_existing_are_refused(tmp_path):
    (tmp_path / "in.jsonl").write_bytes(b'{"text": "a"}\n')
    os.symlink(tmp_path / "in.jsonl", tmp_path / "link.jsonl")
    corpus = Corpus(tmp_path / "in.jsonl")
    records = corpus.read()
    for name, message in [("in.jsonl", "the output is an input"), ("link.jsonl", "an input")]:
        with pytest.raises(CorpusError, match=message):
            writers.write_kept(corpus, records, np.ones(1, bool), tmp_path / name, force=True)
    (tmp_path / "out.jsonl").write_bytes(b"old")
    with pytest.raises(CorpusError, match="the output exists"):
        writers.write_kept(corpus, records, np.ones(1, bool), tmp_path / "out.jsonl")
    writers.write_kept(corpus, records, np.ones(1, bool), tmp_path / "out.jsonl", force=True)
    assert (tmp_path / "out.jsonl").read_bytes() == b'{"text": "a"}\n'
    with pytest.raises(CorpusError, match="the output is in their format"):
        writers.write_kept(corpus, records, np.ones(1, bool), tmp_path / "out.parquet")


def test_a_full_disk_leaves_the_output_as_it_was(tmp_path, monkeypatch):
    (tmp_path / "in.jsonl").write_bytes(b'{"text": "a"}\n' * 1000)
    (tmp_path / "out.jsonl").write_bytes(b"old")
    corpus = Corpus(tmp_path / "in.jsonl")
    records = corpus.read()

    class Full:
        def __init__(self, raw):
            self.raw = raw

        def write(self, data):
            self.raw.write(data[:100])
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(writers, "_compressed", lambda raw, compression: Full(raw))
    with pytest.raises(CorpusError) as e:
        writers.write_kept(
            corpus, records, np.ones(1000, bool), tmp_path / "out.jsonl", force=True
        )
    assert str(e.value) == (
        f"{tmp_path / 'out.jsonl'}: No space left on device (nothing was written under that name)"
    )
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "out.jsonl"]
    assert (tmp_path / "out.jsonl").read_bytes() == b"old"


@pytest.mark.parametrize("id_field", [None, "id"])
def test_duplicates_name_each_dropped_record_and_its_keeper(tmp_path, id_field):
    (tmp_path / "in.jsonl").write_text(
        "".join(json.dumps({"id": f"d{k}", "text": "x"}) + "\n" for k in range(4))
    )
    corpus = Corpus(tmp_path / "in.jsonl", id_field=id_field)
    records = corpus.read()
    keeper, similarity = np.array([0, 0, 2, 2]), np.array([1.0, 0.9, 1.0, 0.85])
    assert writers.write_duplicates(corpus, records, keeper, similarity, tmp_path / "d.jsonl") == 2
    rows = [json.loads(line) for line in (tmp_path / "d.jsonl").read_text().splitlines()]
    path = str(tmp_path / "in.jsonl")
    assert rows == (
        [
            {"id": "d1", "keeper_id": "d0", "similarity": 0.9},
            {"id": "d3", "keeper_id": "d2", "similarity": 0.85},
        ]
        if id_field
        else [
            {"file": path, "line": 2, "keeper_file": path, "keeper_line": 1, "similarity": 0.9},
            {"file": path, "line": 4, "keeper_file": path, "keeper_line": 3, "similarity": 0.85},
        ]
    )


# Every byte JSON escapes, and some it must not (DEL, U+2028, non-ASCII, a lone "u").
_NEW_TEXT = "".join(map(chr, range(0x20))) + '"q" \\u \x7f é \u2028 😀 end'


@pytest.mark.parametrize(
    ("line", "before", "after"),
    [
        # Compact separators, a number as written, an escaped text: kept but for the string.
        (
            b'{"id":7,"text":"a\\u00e9\\"b","x":1.0E5}\r\n',
            b'{"id":7,"text":"',
            b'","x":1.0E5}\r\n',
        ),
        (
            b'{ "x" : [1, {"text": "inner"}] , "text" : "old" }',
            b'{ "x" : [1, {"text": "inner"}] , "text" : "',
            b'" }\n',
        ),
        # Two text keys: json.loads takes the last, and so does the edit.
        (b'{"text":"first","text":"last"}\n', b'{"text":"first","text":"', b'"}\n'),
    ],
)
def test_an_edited_record_changes_its_text_string_alone(line, before, after):
    edited = writers._edited_line(line, _NEW_TEXT.encode(), "jsonl", "text")
    # Python's own escaping is the model of the string written.
    assert edited == before + json.dumps(_NEW_TEXT, ensure_ascii=False)[1:-1].encode() + after
    assert json.loads(edited)["text"] == _NEW_TEXT


def test_an_edited_record_the_scanner_does_not_take_is_written_again_whole():
    # An escaped key: the scanner leaves the line to json, which writes the record again.
    edited = writers._edited_line(b'{"te\\u0078t": "old", "n": 1}\n', b"new", "jsonl", "text")
    assert edited == b'{"text": "new", "n": 1}\n'
