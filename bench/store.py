"""The store against borg and restic on the same files, side by side in one run.

    python bench/store.py [TREE ...]        default: every Python installation under pyenv
    python bench/store.py --series DIR      DIR holds one unpacked release per subdirectory,
                                            in order: stored size per chunk size and peer
    python bench/store.py --quick           a small tree and series, made here
    python bench/store.py --settle 0 DIR    DIR of a few large files: no wait before restores

Every command runs in its own process, timed by wall clock, its peak RSS from wait4. The tree
is read once untimed first, so every run finds it in the page cache. Runs: `veltrane store
add` (first, then again on the unchanged tree), `restore` of the whole snapshot, and
beside them `find TREE -printf '%s %T@ %C@ %i\\n'` (a bare stat walk), `cp -a` to the same
file system, borg 1.2 `create` (its default lz4, and `-C zstd,3`; no encryption) with
`extract`, restic `backup` (twice) and `restore`. Peers that are not installed show as n/a.
The restores and copies run one after another, after a wait, each into a new target, and
nothing is deleted until all are made (see SETTLE_SECONDS).
The machine's other work makes figures noisy: they are reported, never held to a target.
"""

import argparse
import glob
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
VELTRANE = [sys.executable, "-m", "veltrane"]


def run(cmd: list[str], cwd: str | None = None, env: dict | None = None) -> tuple[float, int]:
    """Wall seconds and peak RSS (bytes) of one command; it must succeed. The writeback of
    what earlier commands wrote is finished first, untimed, so that no command pays for
    another's dirty pages."""
    os.sync()
    t = time.perf_counter()
    p = subprocess.Popen(
        cmd,
        cwd=cwd,
        env={**os.environ, **(env or {})},
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - t
    err = p.stderr.read().decode(errors="replace") if p.stderr else ""
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode not in (0, 1) or (p.returncode == 1 and "borg" not in cmd[0]):
        raise SystemExit(f"{' '.join(cmd)} failed ({p.returncode}): {err[-2000:]}")
    return wall, usage.ru_maxrss * 1024


def du(path: str) -> int:
    """Bytes of the files under path."""
    total = 0
    for top, _, names in os.walk(path):
        for n in names:
            total += os.lstat(os.path.join(top, n)).st_size
    return total


def warm(paths: list[str]) -> tuple[int, int]:
    """Reads every file once; (files, bytes)."""
    files = size = 0
    for top in paths:
        for root, _, names in os.walk(top):
            for n in names:
                p = os.path.join(root, n)
                if os.path.isfile(p) and not os.path.islink(p):
                    with open(p, "rb") as f:
                        while chunk := f.read(1 << 20):
                            size += len(chunk)
                    files += 1
    return files, size


def peers() -> dict:
    out = {}
    for name in ("borg", "restic"):
        exe = shutil.which(name)
        if exe:
            v = subprocess.run([exe, "--version"], capture_output=True, text=True).stdout
            out[name] = v.strip().splitlines()[0] if v else name
    return out


BORG_ENV = {
    "BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK": "yes",
    "BORG_RELOCATED_REPO_ACCESS_IS_OK": "yes",
}
RESTIC_ENV = {"RESTIC_PASSWORD": "bench"}


# ext4 looks past inodes freed in the last 60 to 300 seconds when it allocates one (the
# kernel's RECENTCY_MIN and RECENTCY_DIRTY in fs/ext4/ialloc.c), which made creating a file
# cost up to five times as much right after a tree was deleted: a restore then measured the
# deletion before it. Every tree is created after this long without a deletion, and no tree
# is deleted until all are made.
SETTLE_SECONDS = 310


def tree_bench(paths: list[str], work: str, have: dict, settle: float) -> list[tuple]:
    rows = []
    files, size = warm(paths)
    print(f"tree: {files:,} files, {size / 1e9:.2f} GB in {', '.join(paths)}", flush=True)
    stat_walk = run(["find", *paths, "-printf", r"%s %T@ %C@ %i\n"])
    rows.append(("find -printf (stat walk)", *stat_walk, None))
    repo = os.path.join(work, "vrepo")
    run([*VELTRANE, "store", "init", repo])
    rows.append(("veltrane store add", *run([*VELTRANE, "store", "add", repo, *paths]), du(repo)))
    rows.append(
        ("veltrane store add (unchanged)", *run([*VELTRANE, "store", "add", repo, *paths]), None)
    )
    # The stores first; each restore then runs after the others', into its own new target.
    restores: list[tuple[str, list[str], str | None, dict | None]] = []
    brepo = os.path.join(work, "borg")
    if "borg" in have:
        for label, extra in (
            ("borg create (lz4)", []),
            ("borg create -C zstd,3", ["-C", "zstd,3"]),
        ):
            b = os.path.join(work, "borg-zstd") if extra else brepo
            run(["borg", "init", "-e", "none", b], env=BORG_ENV)
            rows.append(
                (label, *run(["borg", "create", *extra, f"{b}::a", *paths], env=BORG_ENV), du(b))
            )
            if extra:
                shutil.rmtree(b)
        rows.append(
            (
                "borg create (unchanged)",
                *run(["borg", "create", f"{brepo}::b", *paths], env=BORG_ENV),
                None,
            )
        )
    rrepo = os.path.join(work, "restic")
    if "restic" in have:
        run(["restic", "-q", "-r", rrepo, "init"], env=RESTIC_ENV)
        for label in ("restic backup", "restic backup (unchanged)"):
            rows.append(
                (
                    label,
                    *run(["restic", "-q", "-r", rrepo, "backup", *paths], env=RESTIC_ENV),
                    None if "unchanged" in label else du(rrepo),
                )
            )
    targets = {k: os.path.join(work, "out-" + k) for k in ("cp1", "v", "r", "b", "cp2")}
    restores.append(("cp -a (first)", ["cp", "-a", *paths, targets["cp1"]], None, None))
    restores.append(
        (
            "veltrane store restore",
            [*VELTRANE, "store", "restore", repo, "latest", targets["v"]],
            None,
            None,
        )
    )
    if "restic" in have:
        restores.append(
            (
                "restic restore",
                ["restic", "-q", "-r", rrepo, "restore", "latest", "--target", targets["r"]],
                None,
                RESTIC_ENV,
            )
        )
    if "borg" in have:
        restores.append(
            ("borg extract", ["borg", "extract", f"{brepo}::a"], targets["b"], BORG_ENV)
        )
    restores.append(("cp -a (last)", ["cp", "-a", *paths, targets["cp2"]], None, None))
    if settle:
        print(f"waiting {settle:.0f} s for freed inodes to settle", flush=True)
        time.sleep(settle)
    for label, cmd, cwd, env in restores:
        for t in targets.values():
            if cmd[-1] == t or cwd == t:
                os.makedirs(t, exist_ok=True)
        rows.append((label, *run(cmd, cwd=cwd, env=env), None))
    check = subprocess.run(
        [
            "diff",
            "-r",
            "--no-dereference",
            paths[0],
            os.path.join(targets["v"], os.path.abspath(paths[0]).lstrip("/")),
        ],
        capture_output=True,
    )
    print(f"restore: diff -r {'equal' if check.returncode == 0 else 'DIFFERS'}", flush=True)
    for t in (*targets.values(), repo, brepo, rrepo):
        shutil.rmtree(t, ignore_errors=True)
    return rows


def series_bench(series: str, work: str, have: dict, sizes: list[int]) -> list[tuple]:
    releases = sorted(
        os.path.join(series, d)
        for d in os.listdir(series)
        if os.path.isdir(os.path.join(series, d))
    )
    total = sum(du(r) for r in releases)
    print(
        f"series: {len(releases)} releases in {series}, {total / 1e6:.1f} MB together", flush=True
    )
    rows = [("sum of the releases", 0.0, 0, total)]
    for avg in sizes:
        repo = os.path.join(work, f"s{avg}")
        run([*VELTRANE, "store", "init", repo, "--avg-size", str(avg)])
        wall = 0.0
        for r in releases:
            wall += run([*VELTRANE, "store", "add", repo, r])[0]
        rows.append((f"veltrane store, avg {avg // 1024} KiB", wall, 0, du(repo)))
        shutil.rmtree(repo)
    if "borg" in have:
        for label, extra in (("borg (lz4)", []), ("borg -C zstd,3", ["-C", "zstd,3"])):
            brepo = os.path.join(work, "sborg")
            run(["borg", "init", "-e", "none", brepo], env=BORG_ENV)
            wall = sum(
                run(["borg", "create", *extra, f"{brepo}::{k}", r], env=BORG_ENV)[0]
                for k, r in enumerate(releases)
            )
            rows.append((label, wall, 0, du(brepo)))
            shutil.rmtree(brepo)
    if "restic" in have:
        rrepo = os.path.join(work, "srestic")
        run(["restic", "-q", "-r", rrepo, "init"], env=RESTIC_ENV)
        wall = sum(
            run(["restic", "-q", "-r", rrepo, "backup", r], env=RESTIC_ENV)[0] for r in releases
        )
        rows.append(("restic", wall, 0, du(rrepo)))
        shutil.rmtree(rrepo)
    return rows


def table(title: str, rows: list[tuple]) -> None:
    print(f"\n{title}\n")
    print("| run | wall s | peak RSS MB | stored MB |\n|---|---:|---:|---:|")
    for name, wall, rss, stored in rows:
        s = f"{stored / 1e6:,.1f}" if stored is not None else ""
        r = f"{rss / 1e6:,.0f}" if rss else ""
        print(f"| {name} | {wall:.2f} | {r} | {s} |")


def quick_inputs(work: str) -> tuple[list[str], str]:
    """A small tree of real text (licenses and docs) with copies, and a series of ten
    versions of it, each a few files changed."""
    rng = random.Random(1)
    tree = os.path.join(work, "tree")
    sources = [p for p in glob.glob("/usr/share/common-licenses/*") if os.path.isfile(p)][:40]
    os.makedirs(tree)
    for k, p in enumerate(sources * 2):
        shutil.copy(p, os.path.join(tree, f"{k}-{os.path.basename(p)}"))
    series = os.path.join(work, "series")
    for v in range(10):
        d = os.path.join(series, f"v{v:02d}")
        shutil.copytree(tree, d)
        for name in rng.sample(sorted(os.listdir(d)), 3):
            with open(os.path.join(d, name), "ab") as f:
                f.write(rng.randbytes(2000))
    return [tree], series


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("trees", nargs="*")
    ap.add_argument("--series", help="a directory of unpacked releases, one per subdirectory")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--no-tree", action="store_true", help="only the series")
    ap.add_argument("--work", help="where stores and restores go (default: a temporary dir)")
    ap.add_argument(
        "--settle",
        type=float,
        default=SETTLE_SECONDS,
        help=f"seconds to wait before the restores (default {SETTLE_SECONDS}; 0 for a tree "
        "of a few large files, which creates too few inodes to be slowed)",
    )
    args = ap.parse_args()
    import veltrane
    from veltrane import _native

    have = peers()
    print(
        f"processor: {platform.processor() or platform.machine()}, "
        f"{_cpu()}, ISA {_native.isa()}, {os.cpu_count()} cores; veltrane "
        f"{veltrane.__version__}; peers: {have or 'none'}",
        flush=True,
    )
    with tempfile.TemporaryDirectory(dir=args.work) as work:
        trees, series = args.trees, args.series
        if args.quick:
            trees, series = quick_inputs(work)
        elif not trees:
            root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
            trees = [os.path.join(root or os.path.expanduser("~/.pyenv"), "versions")]
        if not args.no_tree:
            table(
                "A tree, store defaults",
                tree_bench(trees, work, have, 0 if args.quick else args.settle),
            )
        if series:
            sizes = [16384, 65536] if args.quick else [8192, 16384, 32768, 65536, 131072]
            table("Dataset versions (ten releases)", series_bench(series, work, have, sizes))


def _cpu() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown processor"


if __name__ == "__main__":
    main()
