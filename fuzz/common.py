"""What every fuzz target shares: the models, the locale, and how a failed check is reported.

A target's test function raises Mismatch (an AssertionError) when the module and the model
disagree; atheris reports that as a crash and libFuzzer saves the input, just as it does for a
sanitizer report.
"""

import locale
import os
import sys

import atheris

# The pure-Python models live beside the tests and are imported by name.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

import dedup_core  # noqa: E402,F401  (re-exported for the targets)
import model_cdc  # noqa: E402,F401  (re-exported for the targets)
import model_gear  # noqa: E402,F401
import model_simhash  # noqa: E402,F401

# The model lower-cases ASCII letters only, which is what tolower() does under the C locale;
# a UTF-8 or Latin-1 locale inherited from the shell could fold other bytes.
locale.setlocale(locale.LC_CTYPE, "C")


# Instances of subclasses must be accepted wherever their base type is, so every target mixes
# them in.
class Str(str):
    pass


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    pass


class List(list):
    pass


class Mismatch(AssertionError):
    pass


def check(condition, what, **context):
    if not condition:
        details = "\n".join(f"  {name} = {value!r}" for name, value in context.items())
        raise Mismatch(f"{what}\n{details}")


def raises(call, exc_type, message=None):
    """Runs call() and returns the exception of exc_type it raised; anything else is a finding.

    message, when given, must be the exception's whole text; a prefix ending in "..." need only
    start it.
    """
    try:
        result = call()
    except exc_type as exc:
        text = str(exc)
        if message is not None:
            if message.endswith("..."):
                check(text.startswith(message[:-3]), "wrong error message", got=text, want=message)
            else:
                check(text == message, "wrong error message", got=text, want=message)
        return exc
    raise Mismatch(f"expected {exc_type.__name__}({message!r}), got the result {result!r}")


def incompatible(name):
    """pybind11's TypeError for arguments that no caster of callable `name` accepts."""
    return f"{name}(): incompatible function arguments..."


def fuzz(test_one_input):
    # Only the native code is instrumented: the models and this harness are the oracle, and
    # their Python branches would only add noise to the coverage that steers the search.
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
