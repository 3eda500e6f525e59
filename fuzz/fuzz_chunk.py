"""CDC(chunk_size).chunk(data) against the model.

Input: byte 0 picks the kind of chunk_size and bytes 1-2 (little-endian) its value, byte 3 the
type of data; the rest is the data. Kinds of chunk_size (byte 0 mod 16):
  0-11  1 to 300: pieces of 2 to 600 bytes, below, around and above the 48-byte window
  12    2^64 - 1024 to 2^64 - 1: start + 2 * chunk_size wraps past 2^64
  13    2^63 - 512 to 2^63 + 511: 2 * chunk_size itself crosses 2^64 here
  14    the default, CDC() with no argument
  15    refused: 0 (ValueError), negative, 2^64 or more, or a float (TypeError)
"""

from common import ByteArray, Bytes, check, dedup_core, fuzz, incompatible, model_cdc, raises

CDC = dedup_core.CDC
SMALL_MAX = 300
# Kinds 12 and 13 spread over 1024 values either side of where the arithmetic wraps.
SPREAD = 1024
DEFAULT_CHUNK_SIZE = 1024


def make_cdc(kind, value):
    """The CDC and its chunk_size, or None and the refused chunk_size."""
    if kind < 12:
        size = 1 + value % SMALL_MAX
    elif kind == 12:
        size = 2**64 - 1 - value % SPREAD
    elif kind == 13:
        size = 2**63 - SPREAD // 2 + value % SPREAD
    elif kind == 14:
        return CDC(), DEFAULT_CHUNK_SIZE
    else:
        refused = [0, -1 - value, 2**64 + value, float(value)][value % 4]
        if refused == 0:
            raises(lambda: CDC(refused), ValueError, "chunk_size must be at least 1")
        else:
            message = "__init__(): incompatible constructor arguments..."
            raises(lambda: CDC(refused), TypeError, message)
        return None, refused
    return CDC(size), size


def test_one_input(data):
    if len(data) < 4:
        return
    cdc, size = make_cdc(data[0] % 16, int.from_bytes(data[1:3], "little"))
    if cdc is None:
        return
    form = [bytes, bytes, Bytes, ByteArray, bytearray][data[3] % 5]
    payload = form(data[4:])
    if not isinstance(payload, bytes):
        raises(lambda: cdc.chunk(payload), TypeError, incompatible("chunk"))
        return

    got = cdc.chunk(payload)
    want = model_cdc.chunk(bytes(payload), size)
    check(
        type(got) is list and all(type(c) is bytes for c in got),
        "chunk returned other types",
        got=got,
    )
    check(
        got == want,
        "chunks differ from the model",
        chunk_size=size,
        data=payload,
        got=[len(c) for c in got],
        want=[len(c) for c in want],
    )


if __name__ == "__main__":
    fuzz(test_one_input)
