"""The literal model of repeats: a dict of the units seen (lines, paragraphs) or of the word
tuples seen (windows), walked in corpus order. Shared by the tests and bench/repeats.py."""

from __future__ import annotations

from model_minhash import WORDS
from veltrane import _native


def _blank(line: bytes) -> bool:
    return line.decode("utf-8", "replace").isspace() or not line


def model_pieces(text: bytes, unit: str) -> list[tuple[int, int, int, int]]:
    """(start, end, cut_start, cut_end) of each line or paragraph, found literally."""
    lines, pos = [], 0
    while pos < len(text):
        nl = text.find(b"\n", pos)
        stop = len(text) if nl < 0 else nl
        end = stop - 1 if nl >= 0 and stop > pos and text[stop - 1 : stop] == b"\r" else stop
        lines.append((pos, end, pos, stop if nl < 0 else nl + 1))
        pos = stop if nl < 0 else nl + 1
    if unit == "line":
        return lines
    out, i = [], 0
    blank = [_blank(text[a:b]) for a, b, _, _ in lines]
    while i < len(lines):
        if blank[i]:
            i += 1
            continue
        j = i
        while j + 1 < len(lines) and not blank[j + 1]:
            j += 1
        k = j + 1
        while k < len(lines) and blank[k]:
            k += 1
        cut_start, cut_end = lines[i][0], lines[j][3]
        if k > j + 1:
            cut_end = lines[k - 1][3]
        else:
            b = i
            while b > 0 and blank[b - 1]:
                b -= 1
            cut_start = lines[b][2]
        out.append((lines[i][0], lines[j][1], cut_start, cut_end))
        i = k
    return out


def _joined(cuts: list[list[int]]) -> list[list[int]]:
    out: list[list[int]] = []
    for c in cuts:
        if out and c[0] <= out[-1][1]:
            out[-1][1] = max(out[-1][1], c[1])
        else:
            out.append(list(c))
    return out


def model_units(texts: list[bytes], unit: str, normalize: str) -> list[list[list[int]]]:
    seen: dict = {}
    result = []
    for t, text in enumerate(texts):
        cuts = []
        for start, end, a, b in model_pieces(text, unit):
            words = _native.words(text[start:end])
            if not words:
                continue
            key = tuple(words) if normalize == "words" else text[start:end]
            if key in seen:
                cuts.append([a, b, *seen[key]])
            else:
                seen[key] = (t, start)
        result.append(_joined(cuts))
    return result


def model_spans(texts: list[bytes], n: int) -> list[list[list[int]] | None]:
    """The cuts of each text with unit="span": windows from a dict of word tuples, word
    places from a regex over the text; None for a text where the regex's words are not the
    rule's (lower-casing moved or joined them), or that is not valid UTF-8."""
    seen: dict = {}
    result: list[list[list[int]] | None] = []
    for t, text in enumerate(texts):
        words = _native.words(text)
        covered: list = [None] * len(words)
        for i in range(len(words) - n + 1):
            key = tuple(words[i : i + n])
            if key in seen:
                for j in range(i, i + n):
                    if covered[j] is None:
                        covered[j] = seen[key]
            else:
                seen[key] = (t, i)
        s = text.decode("utf-8", "replace")
        # The word rule's words, placed in the text as it stands (each character of a script
        # without spaces alone, every other word a run of \w).
        found = list(WORDS.finditer(s))
        if s.encode() != text or [m.group().lower() for m in found] != words:
            result.append(None)
            continue
        places, at, byte = [], 0, 0  # byte: the UTF-8 offset of character at
        for m in found:
            byte += len(s[at : m.start()].encode())
            end = byte + len(m.group().encode())
            places.append((byte, end))
            at, byte = m.end(), end
        cuts: list[list[int]] = []
        i = 0
        while i < len(words):
            if covered[i] is None:
                i += 1
                continue
            j = i
            while j + 1 < len(words) and covered[j + 1] is not None:
                j += 1
            cuts.append([places[i][0], places[j][1], *covered[i]])
            i = j + 1
        result.append(cuts)
    return result
