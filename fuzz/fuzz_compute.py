"""SimHash(bits).compute(text) against the model, for bits from -16 to 200.

Input: byte 0 picks bits, byte 1 the type of the text, the rest is the text. A str is the rest
decoded as UTF-8 with invalid bytes kept as lone surrogates, which have no UTF-8 encoding and so
must be refused with TypeError.
"""

from common import (
    ByteArray,
    Bytes,
    Str,
    check,
    dedup_core,
    fuzz,
    incompatible,
    model_simhash,
    raises,
)

# Negative counts must fail; 200 covers three whole repeats of the 64-bit fingerprint plus a
# part of one, and counts that are not multiples of 8.
BITS_MIN, BITS_MAX = -16, 200
FORMS = [str, bytes, bytearray, Str, Bytes, ByteArray]


def text_of(form, raw):
    if issubclass(form, str):
        return form(raw.decode("utf-8", "surrogateescape"))
    return form(raw)


def test_one_input(data):
    if len(data) < 2:
        return
    bits = BITS_MIN + data[0] % (BITS_MAX - BITS_MIN + 1)
    text = text_of(FORMS[data[1] % len(FORMS)], data[2:])
    sh = dedup_core.SimHash(bits)

    try:
        encoded = model_simhash.as_bytes(text)
    except UnicodeEncodeError:
        # Refused by the argument caster, before bits is looked at.
        raises(lambda: sh.compute(text), TypeError, incompatible("compute"))
        return
    if bits < 0:
        message = "cannot create std::vector larger than max_size()"
        raises(lambda: sh.compute(text), ValueError, message)
        return

    got = sh.compute(text)
    check(type(got) is bytes, "compute returned a non-bytes", got=got)
    want = model_simhash.fingerprint(encoded, bits)
    check(
        got == want, "fingerprint differs from the model", bits=bits, text=text, got=got, want=want
    )


if __name__ == "__main__":
    fuzz(test_one_input)
