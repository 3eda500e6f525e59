"""The JSON Lines scanner (_native.line_starts and jsonl_fields) against Python's json module.

Input: byte 0 picks the field names, byte 1 how the block is passed; the rest is the block.
Byte 0: the text field (bits 0-1), the id field (bits 2-3, 0: none) and the value field (bits
4-5, 0: none), from small sets of names that overlap, so that one key can be two fields.
Byte 1 (mod 3): bytes, a bytearray, or a memoryview into a larger buffer.

A line the scanner takes must be a JSON object whose fields json.loads reads the same: the
text, the id (its bytes, and whether it is a number) and the value as float(). A line it marks
as other must be one json.loads refuses, or one of the cases the scanner leaves to its caller:
a field missing or of a type it does not take (also in a duplicate key), an escaped top-level
key, an escaped lone surrogate anywhere, NaN or Infinity. A line of blanks only is blank.
Every line is also scanned alone, and the whole block on 1 and on 3 threads must agree with
the lines one by one.
"""

import json
import struct

import numpy as np
from veltrane import _native

from common import check, fuzz

TEXT_NAMES = [b"text", b"t", b"", b"id"]
ID_NAMES = [b"", b"id", b"text", b"t"]
VALUE_NAMES = [b"", b"v", b"id", b"text"]
BLANKS = b" \t\r"
WHITESPACE = " \t\n\r"


class Number(str):
    """A JSON number kept as its text."""


class Constant(Exception):
    """NaN, Infinity or -Infinity, which the scanner leaves to its caller."""


def refuse_constant(name):
    raise Constant(name)


DECODER = json.JSONDecoder(
    parse_int=Number, parse_float=Number, parse_constant=refuse_constant, object_pairs_hook=list
)


def has_surrogate(value):
    """Whether a decoded value holds U+D800-U+DFFF: from an escape, since the line was decoded
    with errors replaced."""
    if isinstance(value, str):
        return any("\ud800" <= ch <= "\udfff" for ch in value)
    if isinstance(value, list):  # arrays, and objects as lists of pairs
        return any(has_surrogate(v) for v in value)
    if isinstance(value, tuple):
        return has_surrogate(value[0]) or has_surrogate(value[1])
    return False


def escaped_top_level_key(text):
    """Whether a key of the object that ``text`` (valid JSON) holds is written with an escape."""
    pos = len(text) - len(text.lstrip(WHITESPACE)) + 1  # after "{"
    while True:
        while text[pos] in WHITESPACE:
            pos += 1
        if text[pos] == "}":
            return False
        _, end = json.decoder.scanstring(text, pos + 1, True)
        if "\\" in text[pos + 1 : end - 1]:
            return True
        pos = end
        while text[pos] in WHITESPACE + ":":
            pos += 1
        _, pos = DECODER.raw_decode(text, pos)
        while text[pos] in WHITESPACE + ",":
            pos += 1


def model(line, names):
    """What the scanner must make of one line (without its "\\n"): ("blank",), ("record",
    fields) with fields {role: decoded value}, ("other", why), or ("unknown",) when json.loads
    cannot tell (nesting deeper than it recurses)."""
    if not line.strip(BLANKS):
        return ("blank",)
    text = line.decode("utf-8", "replace")
    try:
        pairs = DECODER.decode(text)
    except Constant:
        return ("other", "NaN or Infinity")
    except json.JSONDecodeError:
        return ("other", "not JSON")
    except RecursionError:
        return ("unknown",)
    if not isinstance(pairs, list) or not text.lstrip(WHITESPACE).startswith("{"):
        return ("other", "not an object")
    if has_surrogate(pairs):
        return ("other", "an escaped lone surrogate")
    takes = {
        "text": lambda v: isinstance(v, str) and not isinstance(v, Number),
        "id": lambda v: isinstance(v, str),  # a string or a Number
        "value": lambda v: isinstance(v, Number),
    }
    fields = {}
    for role, name in zip(("text", "id", "value"), names):
        if role != "text" and not name:
            continue
        key = name.decode()
        found = [v for k, v in pairs if k == key]
        if not found or not all(takes[role](v) for v in found):
            return ("other", f"the {role} field missing or of another type")
        fields[role] = found[-1]
    if escaped_top_level_key(text):
        return ("other", "an escaped key")
    return ("record", fields)


def scan(block, starts, names, threads):
    return _native.jsonl_fields(block, starts, names[0], names[1], names[2], threads)


def scan_one(line, names):
    """The scanner's view of one line: ("blank",), ("other",) or ("record", fields)."""
    texts, rows, ids, numeric, values, other = scan(line, np.array([0, len(line)]), names, 1)
    if other == 0:
        check(len(texts) == 0, "texts returned with a line not taken", line=line)
        return ("other",)
    check(other == -1, "first_other out of range", line=line, other=other)
    if len(rows) == 0:
        return ("blank",)
    check(rows.tolist() == [0] and len(texts) == 1, "one line, not one record", rows=rows)
    fields = {"text": texts[0].decode("utf-8", "replace")}
    if names[1]:
        raw = ids[0]
        fields["id"] = Number(raw.decode()) if numeric[0] else raw.decode("utf-8", "replace")
        fields["id_is_number"] = bool(numeric[0])
    if names[2]:
        fields["value"] = float(values[0])
    return ("record", fields)


def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


def check_line(line, names, got):
    want = model(line, names)
    kind = want[0]
    if kind == "unknown":
        return
    check(got[0] == kind, "the line's status differs", line=line, got=got, want=want)
    if kind != "record":
        return
    fields = want[1]
    check(got[1]["text"] == fields["text"], "the text differs", line=line, got=got, want=want)
    if names[1]:
        want_id = fields["id"]
        is_number = isinstance(want_id, Number)
        check(
            got[1]["id_is_number"] == is_number and got[1]["id"] == str(want_id),
            "the id differs",
            line=line,
            got=got,
            want=want,
        )
    if names[2]:
        check(
            same_float(got[1]["value"], float(fields["value"])),
            "the value differs",
            line=line,
            got=got,
            want=want,
        )


def check_starts(block, starts):
    s = starts.tolist()
    check(s[0] == 0 and s[-1] == len(block), "line starts do not span the block", starts=s)
    for a, b in zip(s[:-1], s[1:]):
        piece = block[a:b]
        check(
            a < b and b"\n" not in piece[:-1] and (piece.endswith(b"\n") or b == len(block)),
            "a line start is not after a newline",
            starts=s,
            block=block,
        )


def test_one_input(data):
    if len(data) < 2:
        return
    names = (
        TEXT_NAMES[data[0] & 3],
        ID_NAMES[(data[0] >> 2) & 3],
        VALUE_NAMES[(data[0] >> 4) & 3],
    )
    block = bytes(data[2:])
    form = data[1] % 3
    if form == 0:
        passed = block
    elif form == 1:
        passed = bytearray(block)
    else:
        passed = memoryview(b"<" + block + b">")[1:-1]
    starts = _native.line_starts(passed)
    check_starts(block, starts)
    lines = [block[a:b].removesuffix(b"\n") for a, b in zip(starts[:-1], starts[1:])]
    alone = [scan_one(line, names) for line in lines]
    for line, got in zip(lines, alone):
        check_line(line, names, got)

    # The block at once: the first line not taken, else every record in order.
    first_other = next((k for k, got in enumerate(alone) if got[0] == "other"), -1)
    rows = [k for k, got in enumerate(alone) if got[0] == "record"]
    one = scan(passed, starts, names, 1)
    three = scan(passed, starts, names, 3)
    for threads, result in ((1, one), (3, three)):
        texts, got_rows, ids, numeric, values, other = result
        check(other == first_other, "the block's first other line differs", threads=threads)
        if other >= 0:
            continue
        check(got_rows.tolist() == rows, "the block's rows differ", threads=threads)
        check(
            [t.decode("utf-8", "replace") for t in texts] == [alone[k][1]["text"] for k in rows],
            "the block's texts differ from the lines'",
            threads=threads,
        )
        if names[2]:
            check(
                all(same_float(v, alone[k][1]["value"]) for v, k in zip(values.tolist(), rows)),
                "the block's values differ from the lines'",
                threads=threads,
            )
    check(
        one[0] == three[0] and one[2] == three[2] and np.array_equal(one[1], three[1]),
        "1 and 3 threads differ",
    )


if __name__ == "__main__":
    fuzz(test_one_input)
