"""The module boundary: namespace, build constants, import rules and argument conversion."""

import glob
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import threading
import time
from decimal import Decimal
from fractions import Fraction

import dedup_core
import pytest
from dedup_core import CDC, SimHash


def run_python(code, exe=sys.executable):
    return subprocess.run([exe, "-c", code], capture_output=True, text=True, timeout=60)


def test_namespace_and_constants():
    # The installed build, never the source tree.
    assert os.path.dirname(dedup_core.__file__) == sysconfig.get_paths()["platlib"]
    assert list(vars(dedup_core)) == [
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
        "_openmp_available",
        "SimHash",
        "CDC",
        "__version__",
        "has_avx2",
        "has_openmp",
    ]
    assert dedup_core.__doc__ == "Veltrane C++ Deduplication Core"
    assert dedup_core.__version__ == "1.0.0"
    assert dedup_core.has_avx2 is dedup_core.has_openmp is dedup_core._openmp_available() is True
    for cls, members in [
        (SimHash, ["compute", "hamming_distance"]),
        (CDC, ["chunk", "deduplicate"]),
    ]:
        assert cls.__doc__ is None
        assert [k for k in vars(cls) if not k.startswith("__")] == [
            "_pybind11_conduit_v1_",
            *members,
        ]
        # No attribute gives Python access to the native fields.
        assert [k for k in dir(cls()) if not k.startswith("__")] == [
            "_pybind11_conduit_v1_",
            *members,
        ]


# Pinned so that a pybind11 upgrade that renders signatures differently shows up here.
@pytest.mark.parametrize(
    "obj, doc",
    [
        (
            SimHash.__init__,
            "__init__(self: dedup_core.SimHash, bits: typing.SupportsInt = 64) -> None\n",
        ),
        (
            SimHash.compute,
            "compute(self: dedup_core.SimHash, text: str) -> bytes\n\n"
            "Compute SimHash fingerprint\n",
        ),
        (
            SimHash.hamming_distance,
            "hamming_distance(fp1: bytes, fp2: bytes) -> int\n\n"
            "Calculate Hamming distance between two fingerprints\n",
        ),
        (
            dedup_core._openmp_available,
            "_openmp_available() -> bool\n\nCheck if OpenMP is available\n",
        ),
    ],
)
def test_rendered_docstrings(obj, doc):
    assert obj.__doc__ == doc


SH = SimHash()
INIT = ("__init__", "constructor", "dedup_core.SimHash(bits: typing.SupportsInt = 64)")
DISTANCE = ("hamming_distance", "function", "(fp1: bytes, fp2: bytes) -> int")


@pytest.mark.parametrize(
    "call, target, invoked",
    [
        (
            lambda: dedup_core._openmp_available(1),
            ("_openmp_available", "function", "() -> bool"),
            "1",
        ),
        (lambda: SimHash(bits=1.0), INIT, "kwargs: bits=1.0"),
        (
            lambda: SH.compute(None),
            ("compute", "function", "(self: dedup_core.SimHash, text: str) -> bytes"),
            f"{SH!r}, None",
        ),
        (lambda: SimHash.hamming_distance(b"", fp3=b""), DISTANCE, "b''; kwargs: fp3=b''"),
    ],
)
def test_type_error_message(call, target, invoked):
    name, kind, signature = target
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == (
        f"{name}(): incompatible {kind} arguments. The following argument types are supported:"
        f"\n    1. {signature}\n\nInvoked with: {invoked}"
    )


class Index:
    def __index__(self):
        return 16


class IntOnly:
    def __int__(self):
        return 24


class FloatOnly:  # a number, but int() of it fails
    def __float__(self):
        return 16.0


class FloatWithIndex(float):
    def __index__(self):
        return 16


@pytest.mark.parametrize(
    "value, same_as",
    [
        (True, 1),
        (False, 0),
        (Index(), 16),
        (IntOnly(), 24),
        (Decimal("16.9"), 16),
        (Decimal("-0.9"), 0),
        (Fraction(33, 2), 16),
        (type("I", (int,), {})(40), 40),
    ],
)
def test_bits_accepts_ints_and_numbers_truncated_by_int(value, same_as):
    text = "Bits are converted once"
    assert SimHash(bits=value).compute(text) == SimHash(same_as).compute(text)


@pytest.mark.parametrize(
    "value",
    [
        2**31,
        -(2**31) - 1,
        16.0,
        FloatWithIndex(16),
        FloatOnly(),
        Decimal("NaN"),
        "16",
        b"16",
        None,
    ],
)
def test_bits_rejects(value):
    SimHash(2**31 - 1), SimHash(-(2**31))  # the int32 range itself is fine
    with pytest.raises(TypeError, match=r"^__init__\(\): incompatible constructor arguments"):
        SimHash(value)


@pytest.mark.parametrize(
    "call",
    [
        lambda: SimHash().compute("a " * 2_000_000),
        lambda: SimHash.hamming_distance(b"\xff" * 50_000_000, b"\x00" * 50_000_000),
    ],
    ids=["compute", "hamming_distance"],
)
def test_calls_keep_the_gil(call):
    # With a huge switch interval the main thread gives up the GIL only if a call releases it;
    # a worker woken just before the call that gets to run during it proves a release.
    ready, go, ran = threading.Event(), threading.Event(), []
    thread = threading.Thread(target=lambda: (ready.set(), go.wait(), ran.append(1)))
    thread.start()
    ready.wait()
    time.sleep(0.05)  # the worker now blocks in go.wait()
    old = sys.getswitchinterval()
    sys.setswitchinterval(100)
    try:
        go.set()
        call()
        ran_during_call = bool(ran)
    finally:
        sys.setswitchinterval(old)
        go.set()
        thread.join(60)
    assert not ran_during_call


def test_isolated_subinterpreter_refuses_import():
    out = run_python("""if True:
        import _xxsubinterpreters as interpreters
        def sub_import():
            try:
                interpreters.run_string(interpreters.create(), "import dedup_core")
            except interpreters.RunFailedError as e:
                return str(e)
        print(sub_import())
        import dedup_core
        print(sub_import())
        print(dedup_core.SimHash().compute("abc").hex())
    """)
    assert out.returncode == 0, out.stderr
    refusal = (
        "<class 'ImportError'>: module dedup_core does not support loading in subinterpreters"
    )
    assert out.stdout.splitlines() == [refusal, refusal, "39ba3dedf82bd832"]


def python_311():
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    candidates = sorted(glob.glob(f"{root}/versions/3.11.*/bin/python3.11"))
    for exe in filter(None, [*candidates, shutil.which("python3.11"), shutil.which("python3")]):
        if (
            run_python("import sys; print(sys.version_info[:2] == (3, 11))", exe).stdout
            == "True\n"
        ):
            return exe
    pytest.skip("no Python 3.11 interpreter found")


def test_other_python_version_is_refused_with_message():
    out = run_python(
        f"""if True:
        import importlib.machinery as m, importlib.util as u, json, sys
        path = {dedup_core.__file__!r}
        loader = m.ExtensionFileLoader("dedup_core", path)
        spec = u.spec_from_file_location("dedup_core", path, loader=loader)
        try:
            u.module_from_spec(spec)
        except ImportError as e:
            print(json.dumps([str(e), sys.version]))
    """,
        python_311(),
    )
    assert out.returncode == 0, out.stderr
    message, version = json.loads(out.stdout)
    assert message == (
        "Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}."
    )
