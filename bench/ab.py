"""One command under two or more builds of veltrane, side by side: the runs alternate between
the builds, round after round, so that the drift of a shared machine's load falls on each
build alike. Wall time and peak RSS come from `/usr/bin/time -v`; the table gives each build's
median and every run.

Run: `python bench/ab.py --python OLD/bin/python --python NEW/bin/python [--rounds 3]
[--corpus-mb 1024] [--big-file] -- near-dups -q {corpus} -o {out}`. In the command,
``{corpus}`` is a generated JSON Lines corpus (bench/corpus_dedup.py draws it), ``{big}`` a
1 GiB file whose every fourth 64 MiB block repeats (bench/files.py draws it), ``{out}`` a
fresh output path per run; the command runs as `PYTHON -m veltrane COMMAND...`. With
``--same-output``, the builds' outputs must be byte for byte equal; with ``--json-loads``,
each round also times Python's `json.loads` parsing the corpus's records on one core (the
yardstick of the corpus commands' targets), and each build's median is given against it. With
``--warm GIB``, a process touches that much memory before each timed command: on a virtual
machine that backs memory lazily, memory first touched costs the host's faults, which come
back seconds after memory is freed (docs/measurements.md, "Measuring on a virtual machine").
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from corpus_dedup import generate, timed  # noqa: E402

GIB = 1 << 30


def big_file(path: Path) -> None:
    rng = random.Random(1)
    block = rng.randbytes(64 << 20)
    with open(path, "wb") as f:
        for i in range(GIB // len(block)):
            f.write(block if i % 4 == 3 else rng.randbytes(len(block)))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", action="append", required=True, help="a build's python")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--corpus-mb", type=int, default=1024)
    parser.add_argument("--same-output", action="store_true")
    parser.add_argument("--json-loads", action="store_true")
    parser.add_argument("--warm", type=int, default=0, metavar="GIB")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as tmp:
        places = {"corpus": Path(tmp) / "corpus.jsonl", "big": Path(tmp) / "big.bin"}
        text = " ".join(command)
        if "{corpus}" in text:
            generate(places["corpus"], args.corpus_mb << 20)
        if "{big}" in text:
            big_file(places["big"])
        runs: dict[str, list[tuple[float, float]]] = {p: [] for p in args.python}
        outputs: dict[str, bytes] = {}
        parse = (
            "import json, sys\n"
            "with open(sys.argv[1], 'rb') as f:\n"
            "    for line in f:\n"
            "        json.loads(line)\n"
        )
        warm = [sys.executable, "-c", f"import numpy; numpy.ones({args.warm} << 27, numpy.uint64)"]

        def warmed(command: list[str]) -> tuple[float, float]:
            if args.warm:
                subprocess.run(warm, check=True)
            return timed(command)

        loads: list[float] = []
        for _ in range(args.rounds):
            if args.json_loads:
                loads.append(warmed([sys.executable, "-c", parse, str(places["corpus"])])[0])
            for python in args.python:
                out = Path(tmp) / "out"
                out.unlink(missing_ok=True)
                filled = [
                    part.format(corpus=places["corpus"], big=places["big"], out=out)
                    for part in command
                ]
                runs[python].append(warmed([python, "-m", "veltrane", *filled]))
                if args.same_output and out.exists():
                    outputs[python] = out.read_bytes()
    print(f"command: veltrane {text}")
    first = statistics.median(w for w, _ in runs[args.python[0]])
    yardstick = statistics.median(loads) if loads else None
    if yardstick is not None:
        every = " ".join(f"{w:.2f}" for w in loads)
        print(f"json.loads of the records, one core: median {yardstick:.2f} s; runs {every}")
    print(f"{'build':48} {'median s':>9} {'x first':>8} {'x json':>7} {'RSS MB':>8}  runs (s)")
    for python, done in runs.items():
        wall = statistics.median(w for w, _ in done)
        rss = statistics.median(r for _, r in done)
        every = " ".join(f"{w:.2f}" for w, _ in done)
        ratio = f"{wall / yardstick:7.2f}" if yardstick is not None else f"{'':7}"
        print(f"{python[-48:]:48} {wall:9.2f} {wall / first:8.3f} {ratio} {rss:8.0f}  {every}")
    if args.same_output:
        same = len(set(outputs.values())) == 1 and len(outputs) == len(args.python)
        print(f"outputs byte for byte equal: {same}")


if __name__ == "__main__":
    main()
