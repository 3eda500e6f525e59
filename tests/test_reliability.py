"""Reliability of dedup_core under forks, threads, exhausted memory, repeated errors and
unsupported processors. Anything that could hang or kill the interpreter runs in a subprocess
with a timeout."""

import gc
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from dedup_core import CDC, SimHash


def run_python(code, timeout=120, env=None, executable=sys.executable):
    return subprocess.run(
        [*executable, "-c", textwrap.dedent(code)]
        if isinstance(executable, list)
        else [executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, **(env or {})},
    )


def test_forked_child_can_deduplicate():
    # The parent's OpenMP team does not survive a fork; the child must not wait for it.
    result = run_python(
        """
        import multiprocessing
        from dedup_core import CDC

        cdc = CDC()
        def work(n):
            return cdc.deduplicate([b"a", b"b", b"a"] * n)

        if __name__ == "__main__":
            assert cdc.deduplicate([b"x"] * 1000) == ([b"x"], 99.9)
            with multiprocessing.get_context("fork").Pool(2) as pool:
                results = pool.map(work, range(1, 5))
            assert all(unique == [b"a", b"b"] for unique, _ in results), results
            print("ok")
        """,
        timeout=60,
        env={"OMP_NUM_THREADS": "2"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize("threads", ["1", "2"])
def test_threads_share_objects(threads):
    # Every Python thread hammers the same objects; any result that differs from the
    # single-threaded one, or a deadlock (timeout), fails.
    result = run_python(
        """
        import random, threading, time
        from dedup_core import CDC, SimHash

        rng = random.Random(5)
        data = rng.randbytes(200_000)
        texts = ["the quick brown fox", "Jumps over  the lazy dog", ""]
        sh, cdc = SimHash(64), CDC(256)
        chunks = cdc.chunk(data)
        expected = (
            [sh.compute(t) for t in texts],
            chunks,
            cdc.deduplicate(chunks + chunks[::3]),
            SimHash.hamming_distance(sh.compute(texts[0]), sh.compute(texts[1])),
        )
        failures = []

        def worker():
            deadline = time.monotonic() + 2
            while time.monotonic() < deadline:
                got = (
                    [sh.compute(t) for t in texts],
                    cdc.chunk(data),
                    cdc.deduplicate(chunks + chunks[::3]),
                    SimHash.hamming_distance(sh.compute(texts[0]), sh.compute(texts[1])),
                )
                if got != expected:
                    failures.append(got)
                    return

        workers = [threading.Thread(target=worker) for _ in range(4)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        print("failures", len(failures))
        """,
        timeout=120,
        env={"OMP_NUM_THREADS": threads},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "failures 0"


def test_reimport_and_import_order():
    result = run_python(
        """
        import sys
        import veltrane, dedup_core
        first = dedup_core
        del sys.modules["dedup_core"]
        import dedup_core
        assert dedup_core is first
        assert veltrane.SimHash is dedup_core.SimHash
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    result = run_python("import dedup_core, veltrane; assert veltrane.CDC is dedup_core.CDC")
    assert result.returncode == 0, result.stderr


QEMU = shutil.which("qemu-x86_64")


# Each module's own import entry, reached before anything else of ours runs: veltrane._native
# is loaded from its file, as `import veltrane` would import dedup_core first.
IMPORT_FIRST = {
    "dedup_core": "import dedup_core",
    "veltrane._native": """
        import importlib.machinery, importlib.util, pathlib
        package = importlib.util.find_spec("veltrane").submodule_search_locations[0]
        path = str(next(pathlib.Path(package).glob("_native.*.so")))
        loader = importlib.machinery.ExtensionFileLoader("veltrane._native", path)
        spec = importlib.util.spec_from_loader("veltrane._native", loader)
        importlib.util.module_from_spec(spec)
        """,
}


@pytest.mark.skipif(QEMU is None, reason="qemu-x86_64 (Debian's qemu-user) is not installed")
@pytest.mark.no_sanitizer
@pytest.mark.parametrize("module", sorted(IMPORT_FIRST))
@pytest.mark.parametrize(
    "cpu, lacks",
    [("Nehalem", "AVX2 BMI1 BMI2"), ("Haswell", None)],
)
def test_processor_check(module, cpu, lacks):
    # An emulated processor without AVX2 must get a readable ImportError, not SIGILL.
    result = run_python(
        textwrap.dedent(IMPORT_FIRST[module])
        + "\nimport dedup_core; print(dedup_core.SimHash().compute('abc').hex())",
        timeout=120,
        executable=[QEMU, "-cpu", cpu, sys.executable],
    )
    if lacks is None:
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "39ba3dedf82bd832"
    else:
        assert result.returncode == 1
        assert (
            f"ImportError: {module} needs an x86-64 processor with AVX2, BMI1, BMI2 and "
            f"POPCNT; this one lacks: {lacks}" in result.stderr
        )


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


class Blob(bytes):
    pass


def every_operation():
    """Successful calls and every error path, each with fresh and reused inputs."""
    sh, bad_sh, cdc = SimHash(128), SimHash(-8), CDC(16)
    text, blob, fp, short = "Alpha beta  GAMMA", Blob(b"x" * 300), b"\x01" * 16, b"\x01"
    chunks = [b"aa", blob, b"aa", b""]
    calls = [
        lambda: sh.compute(text),
        lambda: sh.compute(bytearray(b"a b")),
        lambda: SimHash.hamming_distance(fp, fp + b"\x00"),
        lambda: cdc.chunk(blob),
        lambda: cdc.deduplicate(chunks),
    ]
    failing = [
        (lambda: bad_sh.compute(text), ValueError),
        (lambda: sh.compute(None), TypeError),
        (lambda: sh.compute("\ud800"), TypeError),
        (lambda: SimHash(1.5), TypeError),
        (lambda: SimHash.hamming_distance(fp, short), ValueError),
        (lambda: SimHash.hamming_distance(bytearray(fp), fp), TypeError),
        (lambda: cdc.chunk(bytearray(blob)), TypeError),
        (lambda: cdc.deduplicate([b"a", "b"]), TypeError),
        (lambda: cdc.deduplicate(tuple(chunks)), TypeError),
        (lambda: CDC(0), ValueError),
        (lambda: CDC(-1), TypeError),
    ]
    return calls, failing, [text, blob, fp, short, *chunks]


@pytest.mark.no_sanitizer
def test_no_leaks():
    calls, failing, inputs = every_operation()

    def round_(n):
        for _ in range(n):
            for call in calls:
                call()
            for call, error in failing:
                with pytest.raises(error):
                    call()

    round_(200)
    gc.collect()
    refs = [sys.getrefcount(x) for x in inputs]
    before = rss_kib()
    round_(5000)
    gc.collect()
    assert [sys.getrefcount(x) for x in inputs] == refs
    # 5000 rounds of ~16 calls: even a few bytes lost per call would show as megabytes.
    assert rss_kib() - before < 2048


@pytest.mark.no_sanitizer
def test_memory_exhaustion_is_an_exception():
    result = run_python(
        """
        import resource
        from dedup_core import CDC, SimHash

        cdc = CDC(1)
        # Start the OpenMP team first: the runtime ends the process when it cannot create
        # its threads, and that is not ours to handle.
        cdc.deduplicate([b"warm"] * 100)
        big = bytes(64 << 20)
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + (96 << 20), resource.RLIM_INFINITY))

        outcomes = []
        for name, call in [
            # 256 MiB result
            ("compute", lambda: SimHash(2**31 - 1).compute("x")),
            # 32 Mi chunks of 2 bytes: far more list and bytes objects than fit
            ("chunk", lambda: cdc.chunk(big)),
            ("deduplicate", lambda: cdc.deduplicate([big[:1]] * (16 << 20))),
        ]:
            try:
                call()
                outcomes.append(f"{name} succeeded")
            except MemoryError:
                outcomes.append(f"{name} MemoryError")
            except RuntimeError as e:
                assert str(e).startswith("Could not allocate"), e
                outcomes.append(f"{name} MemoryError")
        # The process survives and works on.
        assert cdc.deduplicate([b"a", b"a"]) == ([b"a"], 50.0)
        assert SimHash().compute("abc").hex() == "39ba3dedf82bd832"
        print(";".join(outcomes))
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "compute MemoryError;chunk MemoryError;deduplicate MemoryError"


def test_stubs_match_modules(tmp_path):
    allowlist = os.path.join(os.path.dirname(__file__), "stubtest_allowlist.txt")
    modules = ["dedup_core", "veltrane._native"]
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *modules, "--allowlist", allowlist],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
