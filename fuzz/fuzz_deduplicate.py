"""CDC.deduplicate(chunks) against the model: the first occurrence of each distinct chunk, in
input order, and the exact reduction percentage.

Input: byte 0 holds flags, byte 1 picks a misfit for the list; the rest is a program that
builds the list, one operation byte (mod 16) at a time, most taking one argument byte:
  0-5  a new chunk: the argument is its length (mod 48), its bytes follow
  6-9  a repeat of an earlier item (the argument picks it)
  10   an empty chunk          11, 12  one of two chunks that share a digest
  13   an earlier item again, as a bytes subclass
  14   an earlier item with one byte changed, or its last byte dropped
  15   a long new chunk: the argument is its length (0 to 255), its bytes follow
Flags: bit 0 passes a list subclass; bits 1-3 == 0 put a misfit into the list at a position
picked by byte 1, == 1 pass the items as a tuple instead of a list.
"""

from common import ByteArray, Bytes, List, check, dedup_core, fuzz, incompatible, model_cdc, raises

# Two different chunks with the same 64-bit digest (0xe329ee6bdabdccec): a dedup that
# trusted digests alone would merge them.
COLLIDING = (bytes.fromhex("d86f0c06534e4300"), bytes.fromhex("4f2d5fb2e274ec22"))
assert COLLIDING[0] != COLLIDING[1]
assert model_cdc.digest(COLLIDING[0]) == model_cdc.digest(COLLIDING[1])

SHORT_MAX = 48
# List items that are not bytes; bytes-like ones too, since the check is by type.
MISFITS = [
    lambda: "str",
    lambda: bytearray(b"x"),
    lambda: ByteArray(),
    lambda: memoryview(b"x"),
    lambda: 7,
    lambda: None,
    lambda: [b"x"],
    lambda: 1.5,
]


def build(program):
    items = []
    i = 0
    while i < len(program):
        op, arg = program[i] % 16, program[i + 1] if i + 1 < len(program) else 0
        i += 2
        if op <= 5 or op == 15:
            length = arg if op == 15 else arg % SHORT_MAX
            items.append(bytes(program[i : i + length]))
            i += length
        elif op <= 9 or op == 13:
            if items:
                earlier = items[arg % len(items)]
                items.append(Bytes(earlier) if op == 13 else earlier)
        elif op == 10:
            items.append(b"")
        elif op <= 12:
            items.append(COLLIDING[op - 11])
        elif items:
            earlier = bytearray(items[arg % len(items)])
            if earlier and arg & 1:
                del earlier[-1]
            elif earlier:
                earlier[arg % len(earlier)] ^= 1 + (arg >> 1) % 255
            items.append(bytes(earlier))
    return items


def test_one_input(data):
    if len(data) < 2:
        return
    flags, pick = data[0], data[1]
    items = build(data[2:])
    cdc = dedup_core.CDC()
    shape = (flags >> 1) & 7

    if shape == 1:
        raises(lambda: cdc.deduplicate(tuple(items)), TypeError, incompatible("deduplicate"))
        return
    if shape == 0:
        misfit = MISFITS[pick % len(MISFITS)]()
        items.insert(pick % (len(items) + 1), misfit)
    chunks = List(items) if flags & 1 else list(items)
    before = list(chunks)
    if shape == 0:
        message = f"Object of type '{type(misfit).__name__}' is not an instance of 'bytes'"
        raises(lambda: cdc.deduplicate(chunks), TypeError, message)
        return

    got = cdc.deduplicate(chunks)
    want = model_cdc.deduplicate(chunks)
    check(
        chunks == before and all(a is b for a, b in zip(chunks, before)),
        "deduplicate changed its argument",
        before=before,
        after=chunks,
    )
    check(
        type(got) is tuple and len(got) == 2 and type(got[0]) is list and type(got[1]) is float,
        "deduplicate returned other types",
        got=got,
    )
    check(all(type(c) is bytes for c in got[0]), "unique chunks are not plain bytes", got=got[0])
    # Exact equality of the float too: the percentage is computed in one documented order.
    check(got == tuple(want), "result differs from the model", chunks=chunks, got=got, want=want)


if __name__ == "__main__":
    fuzz(test_one_input)
