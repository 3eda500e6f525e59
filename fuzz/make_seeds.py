"""Writes the committed seed corpus, fuzz/corpus/<target>/, one small file per case.

Each seed is a case the tests know to be interesting, laid out as its target's docstring tells;
the fuzzer grows the rest from them. Run it again after changing an input layout:
    python3 fuzz/make_seeds.py
"""

import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import model_cdc  # noqa: E402

RAMP = bytes(i % 251 for i in range(10000))


def compute_seed(bits, form, text):
    # form indexes str, bytes, bytearray, Str, Bytes, ByteArray.
    return bytes([bits + 16, form]) + text


def hamming_seed(way, fp1, rest, flags=0):
    return bytes([way]) + len(fp1).to_bytes(2, "little") + bytes([flags]) + fp1 + rest


def chunk_seed(kind, value, data, form=0):
    return bytes([kind]) + value.to_bytes(2, "little") + bytes([form]) + data


def new(chunk):
    return bytes([15 if len(chunk) >= 48 else 0, len(chunk)]) + chunk


def dedup_seed(program, flags=4, pick=0):
    # flags 4: a plain list, no misfit.
    return bytes([flags, pick]) + b"".join(program)


def content_cut_data(chunk_size, length):
    """Data that chunk_size cuts at a content cut before its limit, found by trying seeds."""
    rng = random.Random(0)
    while True:
        data = rng.randbytes(length)
        chunks = model_cdc.chunk(data, chunk_size)
        if any(len(c) < 2 * chunk_size for c in chunks[:-1]):
            return data


SEEDS = {
    "compute": {
        "abc": compute_seed(64, 0, b"abc"),
        "hello_world": compute_seed(64, 1, b"hello world"),
        "case_and_double_space": compute_seed(128, 2, b"ABC  abc"),
        "spaces_only": compute_seed(12, 0, b"   "),
        "empty": compute_seed(64, 1, b""),
        "utf8_tab": compute_seed(200, 0, "café CAFÉ\tword".encode()),
        "lone_surrogate": compute_seed(64, 0, b"abc \xed\xa0\x80 def"),
        "negative_bits": compute_seed(-8, 1, b"abc"),
        "short_bits_subclass": compute_seed(7, 3, b"x y"),
        "edges_subclass": compute_seed(65, 5, b" leading and trailing  "),
    },
    "hamming_distance": {
        "equal": hamming_seed(2, bytes(range(8)), b""),
        "all_bits_40": hamming_seed(1, bytes(40), b"\xff" * 40),
        "0f_01": hamming_seed(1, b"\x0f", b"\x0e", flags=4 | 1),
        "fp2_shorter": hamming_seed(0, b"123456789", b"12345678"),
        "longer_fp2": hamming_seed(2, bytes(range(33)), b"xyz", flags=2),
        "empty_fp1": hamming_seed(0, b"", b"anything"),
        "bytearray_fp2": hamming_seed(3, b"ab", b"ab"),
        "str_fp1": hamming_seed(3, b"ab", b"ab", flags=0x80 | (3 << 3)),
    },
    "chunk": {
        "default_49_and_1": chunk_seed(14, 0, bytes(50)),
        "size1": chunk_seed(0, 0, b"abcde"),
        "size10_fixed_pieces": chunk_seed(0, 9, RAMP[:45]),
        "size24": chunk_seed(0, 23, RAMP[:100]),
        "size100_content_cut": chunk_seed(0, 99, content_cut_data(100, 400)),
        "size300_content_cut": chunk_seed(0, 299, content_cut_data(300, 2000), form=2),
        "zeros_huge": chunk_seed(12, 0, bytes(200)),
        "ramp_half_wrap": chunk_seed(13, 512, RAMP[:300]),
        "zero_refused": chunk_seed(15, 0, b"x"),
        "negative_refused": chunk_seed(15, 1, b"x"),
        "bytearray_refused": chunk_seed(0, 5, b"data", form=3),
    },
    "deduplicate": {
        "aaba": dedup_seed([new(b"AAAA"), b"\x06\x00", new(b"BBBB"), b"\x06\x00"]),
        "colliding": dedup_seed([b"\x0b\x00", b"\x0c\x00", b"\x0b\x00", b"\x0c\x00"]),
        "empties": dedup_seed([b"\x0a\x00", new(b""), b"\x0a\x00", new(b"x")]),
        "five_four_distinct": dedup_seed(
            [new(b"a"), new(b"b"), new(b"c"), new(b"d"), b"\x06\x00"], flags=5
        ),
        "near_copies": dedup_seed(
            [new(RAMP[:20]), b"\x0e\x00", b"\x0e\x01", b"\x0e\x06", b"\x0d\x00"]
        ),
        "long": dedup_seed([new(RAMP[:200]), new(RAMP[1:201]), b"\x06\x00", b"\x06\x01"]),
        "misfit_str": dedup_seed([new(b"A"), new(b"B")], flags=0, pick=8),
        "tuple": dedup_seed([new(b"A")], flags=2),
    },
}


def gear_seed(sizes, repeat, key, data):
    return bytes([sizes, repeat, key]) + data


# Random bytes of a fixed seed: content cuts at every size.
NOISE = random.Random(12).randbytes(1000)

SEEDS["gear"] = {
    # avg 64, normalization 0, min 64, max 64: fixed pieces.
    "fixed_pieces": gear_seed(0x00, 0, 0, RAMP[:300]),
    # avg 256, level 2, min/max halfway, repeated to 16 KB: the AVX-512 lanes.
    "lanes_noise": gear_seed(0x8A, 16, 0, NOISE),
    "lanes_zeros": gear_seed(0xFE, 23, 0, bytes(700)),
    "keyed_ramp": gear_seed(0x45, 9, 200, RAMP[:1000]),
    "low_entropy": gear_seed(0xF9, 20, 0, bytes(random.Random(13).choices(b"ab", k=900))),
    "refused": gear_seed(0x03, 0, 0, b""),
}


def jsonl_seed(lines, text=0, id=0, value=0, form=0):
    """Byte 0 picks the text, id and value field names (see fuzz_jsonl.py), byte 1 the form."""
    return bytes([text | id << 2 | value << 4, form]) + b"\n".join(lines)


SEEDS["jsonl"] = {
    "plain": jsonl_seed([b'{"text": "a b c", "n": [1, {"x": null}]}', b'{"text":""}'] * 2),
    "id_string_and_number": jsonl_seed(
        [b'{"id": "x1", "text": "a"}', b'{"text": "b", "id": -12.5e3}', b" \t\r", b""], id=1
    ),
    "big_number_id": jsonl_seed([b'{"text": "a", "id": ' + b"9" * 40 + b"}"], id=1),
    "value": jsonl_seed(
        [b'{"text": "a", "v": 0.1}', b'{"text": "b", "v": 1e400}', b'{"text": "c", "v": -1e-400}'],
        value=1,
    ),
    "value_null": jsonl_seed([b'{"text": "a", "v": null}'], value=1),
    "escapes": jsonl_seed([rb'{"text": "\"\\\/\b\f\n\r\t\u00e9\u20ac\ud83d\ude00"}']),
    "lone_surrogate": jsonl_seed([rb'{"text": "a\ud800b"}', rb'{"x": "\udc00", "text": ""}']),
    "escaped_key": jsonl_seed([rb'{"t\u0065xt": "a"}', rb'{"text": "a", "\u0041": 1}']),
    "duplicate_keys": jsonl_seed([b'{"text": "a", "text": "b"}', b'{"text": 1, "text": "b"}']),
    "nan": jsonl_seed([b'{"text": "a", "x": NaN}', b'{"text": "a", "x": -Infinity}']),
    "deep": jsonl_seed([b'{"text": "a", "x": ' + b"[" * 1500 + b"]" * 1500 + b"}"]),
    "not_objects": jsonl_seed(
        [b'["text", "a"]', b'"text"', b"1", b"{}", b"{", b'{"text": "a"} x']
    ),
    "crlf_and_bad_utf8": jsonl_seed([b'{"text": "caf\xc3\xa9 \xff\xe2\x82"}\r', b""], form=1),
    "controls": jsonl_seed(
        [b'{"text": "a\tb"}', b'{"text": "a\x7f"}', b'\x0c{"text": ""}'], form=2
    ),
    "numbers": jsonl_seed(
        [
            b'{"text": "a", "id": ' + n + b"}"
            for n in (b"0", b"-0", b"01", b"1.", b".5", b"1e", b"-", b"2E+7", b"+1")
        ],
        id=1,
    ),
    "same_key_two_fields": jsonl_seed([b'{"id": 7, "text": "a"}'], id=1, value=2),
    "empty_name": jsonl_seed([b'{"": "a"}', b'{"text": "a"}'], text=2),
}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
