"""``veltrane store``: a deduplicating store of snapshots of files and trees."""

from __future__ import annotations

import datetime
import json
import sys

from ..progress import ProgressBar
from ..store import DEFAULT_AVG_SIZE, DEFAULT_LEVEL, DEFAULT_PACK_SIZE, Store, StoreError
from ..store.snapshot import DIR, FILE, HARDLINK, LINK
from ._common import EXIT_USAGE, CommandError, progress_wanted, shown

VERBS = ("init", "add", "ls", "diff", "stats", "restore", "verify", "forget", "prune")


def add_parser(commands, parents) -> None:
    """Adds ``store`` and its verbs to the command line."""
    store = commands.add_parser(
        "store",
        help="a deduplicating store of snapshots of files and trees",
        description=(
            "Keep snapshots of files and trees, each repeat stored once: content-defined "
            "chunks (GearCDC) addressed by their BLAKE3 digest, compressed with zstd, in "
            "packs written once. A file unchanged since the last snapshot of the same paths "
            "is not read again."
        ),
    )
    verbs = store.add_subparsers(dest="verb", metavar="VERB", required=True)

    def verb(name: str, help: str):
        p = verbs.add_parser(name, parents=parents, help=help, description=help)
        p.add_argument("repo", metavar="REPO", help="the store's directory")
        return p

    p = verb("init", "create an empty store")
    p.add_argument(
        "--avg-size",
        type=int,
        default=DEFAULT_AVG_SIZE,
        metavar="N",
        help=f"average chunk length, a power of two (default: {DEFAULT_AVG_SIZE})",
    )
    p.add_argument(
        "--level",
        type=int,
        default=DEFAULT_LEVEL,
        metavar="N",
        help=f"zstd level, 1 to 22 (default: {DEFAULT_LEVEL})",
    )
    p.add_argument(
        "--pack-size",
        type=int,
        default=DEFAULT_PACK_SIZE,
        metavar="BYTES",
        help=f"bytes per pack (default: {DEFAULT_PACK_SIZE})",
    )
    p = verb("add", "add a snapshot of files and trees")
    p.add_argument("paths", nargs="+", metavar="PATH")
    p.add_argument("--name", default="", help="a name for the snapshot")
    _threads(p)
    p = verb("ls", "list snapshots, or the entries of one")
    p.add_argument(
        "snapshot",
        nargs="?",
        metavar="SNAPSHOT",
        help="an id (or a prefix of one), a name, or latest",
    )
    p.add_argument("path", nargs="?", default="", metavar="PATH")
    p = verb("diff", "paths added, removed and changed from snapshot A to B")
    p.add_argument("a", metavar="A")
    p.add_argument("b", metavar="B")
    verb("stats", "what the store holds")
    p = verb("restore", "write a snapshot (or paths in it) back under DEST")
    p.add_argument("snapshot", metavar="SNAPSHOT")
    p.add_argument("dest", metavar="DEST")
    p.add_argument("paths", nargs="*", metavar="PATH", help="only these paths of the snapshot")
    p.add_argument("--force", action="store_true", help="replace existing files")
    _threads(p)
    p = verb("verify", "check the store; with --read-data every chunk's digest too")
    p.add_argument("--read-data", action="store_true")
    _threads(p)
    p = verb("forget", "delete snapshots (their chunks stay until prune)")
    p.add_argument("snapshots", nargs="+", metavar="SNAPSHOT")
    verb("prune", "remove the chunks no snapshot needs")
    for p in verbs.choices.values():
        p.add_argument("--json", action="store_true", help="write the result as JSON")
        p.add_argument(
            "--wait",
            type=float,
            default=10.0,
            metavar="SECONDS",
            help="how long to wait for another writer (default: 10)",
        )


def _threads(p) -> None:
    p.add_argument("--threads", type=int, metavar="N", help="worker threads (default: all cores)")


def _mb(n: int) -> str:
    return f"{n / 1e6:,.1f} MB"


def run(args, out) -> None:
    """Runs one verb."""
    status = 0
    try:
        status = _run(args, out)
    except StoreError as e:
        raise CommandError(str(e), prog=f"veltrane store {args.verb}") from None
    if status:
        raise CommandError(
            f"{status} problem(s), listed above", prog=f"veltrane store {args.verb}"
        )


def _errors(errors) -> int:
    for path, message in errors:
        print(f"veltrane store: {shown(path)}: {message}", file=sys.stderr)
    return len(errors)


def _run(args, out) -> int:
    if args.verb == "init":
        Store.init(args.repo, avg_size=args.avg_size, level=args.level, pack_size=args.pack_size)
        out.write(f"created store {args.repo}\n")
        return 0
    store = Store(args.repo, wait=args.wait)
    bar = ProgressBar(progress_wanted(args) and not args.json, None, "reading")
    try:
        return _verb(store, args, out, bar)
    finally:
        bar.close()


def _verb(store: Store, args, out, bar) -> int:
    verb = args.verb
    if verb == "add":
        r = store.add(args.paths, name=args.name, progress=bar, threads=args.threads)
        bar.close()
        if args.json:
            out.write(json.dumps(r, indent=1) + "\n")
        else:
            out.write(
                f"snapshot {r['id'][:12]}: {r['files']:,} files, {_mb(r['bytes'])}; "
                f"{r['files_unchanged']:,} unchanged; new chunks {_mb(r['new_bytes'])}, "
                f"stored {_mb(r['stored_bytes'])}; {r['seconds']:.2f} s\n"
            )
        return _errors(r["errors"])
    if verb == "ls":
        if args.snapshot is None:
            snaps = store.snapshots()
            if args.json:
                out.write(json.dumps([{"id": s.id, **s.header()} for s in snaps], indent=1) + "\n")
            for s in [] if args.json else snaps:
                when = datetime.datetime.fromtimestamp(s.time_ns / 1e9).isoformat(" ", "seconds")
                files, size = s.summary.get("files", 0), s.summary.get("bytes", 0)
                out.write(f"{s.id[:12]}  {when}  {files:>9,} files  {_mb(size):>12}  {s.name}\n")
            return 0
        nodes = store.ls(args.snapshot, args.path)
        for n in nodes:
            if args.json:
                row = {
                    "path": n.path,
                    "kind": n.kind,
                    "mode": n.mode,
                    "mtime_ns": n.mtime_ns,
                    "size": n.size,
                    "target": n.target,
                }
                out.write(json.dumps(row) + "\n")
                continue
            what = {DIR: "d", FILE: "-", LINK: "l", HARDLINK: "h"}[n.kind]
            tail = f" -> {shown(n.target)}" if n.kind in (LINK, HARDLINK) else ""
            out.write(f"{what} {n.mode:04o} {n.size:>12,} {shown(n.path)}{tail}\n")
        return 0
    if verb == "diff":
        r = store.diff(args.a, args.b)
        if args.json:
            out.write(json.dumps(r, indent=1) + "\n")
            return 0
        for sign, key in (("+", "added"), ("-", "removed"), ("M", "changed")):
            for p in r[key]:
                out.write(f"{sign} {shown(p)}\n")
        out.write(
            f"{len(r['added']):,} added, {len(r['removed']):,} removed, "
            f"{len(r['changed']):,} changed; {_mb(r['new_bytes'])} of {r['b'][:12]} "
            f"not in {r['a'][:12]}\n"
        )
        return 0
    if verb == "stats":
        r = store.stats()
        if args.json:
            out.write(json.dumps(r, indent=1) + "\n")
        else:
            for k, v in r.items():
                out.write(f"{k:>18}: {v:,}\n" if isinstance(v, int) else f"{k:>18}: {v}\n")
        return 0
    if verb == "restore":
        r = store.restore(
            args.snapshot,
            args.dest,
            args.paths,
            force=args.force,
            progress=bar,
            threads=args.threads,
        )
        bar.close()
        if args.json:
            out.write(json.dumps(r, indent=1) + "\n")
        else:
            out.write(f"restored {r['files']:,} files, {_mb(r['bytes'])} to {args.dest}\n")
        return _errors(r["errors"])
    if verb == "verify":
        r = store.verify(read_data=args.read_data, progress=bar, threads=args.threads)
        bar.close()
        if args.json:
            out.write(json.dumps(r, indent=1) + "\n")
        else:
            for line in r["problems"]:
                out.write(f"damaged: {shown(line)}\n")
            for line in r["notes"]:
                out.write(f"note: {shown(line)}\n")
            read = f", {r['chunks_read']:,} chunks read" if args.read_data else ""
            out.write(
                f"{r['snapshots']} snapshots, {r['packs']} packs, {r['chunks']:,} chunks{read}: "
                + ("no problems\n" if not r["problems"] else f"{len(r['problems'])} problems\n")
            )
        return len(r["problems"])
    if verb == "forget":
        for sid in store.forget(args.snapshots):
            out.write(f"forgot {sid[:12]}\n")
        return 0
    if verb == "prune":
        r = store.prune(progress=bar)
        if args.json:
            out.write(json.dumps(r, indent=1) + "\n")
        else:
            out.write(
                f"removed {r['chunks_removed']:,} chunks: {r['packs_deleted']} packs deleted, "
                f"{r['packs_rewritten']} rewritten; {_mb(r['bytes_freed'])} freed\n"
            )
        return 0
    raise AssertionError(verb)


def add_link_arguments(dedup) -> None:
    """``--link`` and ``--dry-run`` for ``veltrane dedup --duplicate-files``."""
    dedup.add_argument(
        "--link",
        choices=("reflink", "hardlink"),
        help="with --duplicate-files: replace each later file of a group by a hardlink to the "
        "first (it then has the first file's mode, owner and times), or share the first "
        "file's extents (reflink: the kernel compares the bytes itself; each file keeps its "
        "own metadata). Bytes are compared first; a file that changed since is left alone",
    )
    dedup.add_argument(
        "--dry-run",
        action="store_true",
        help="with --link: print what would be linked and the bytes it would free",
    )


def link_duplicates(args, report, out) -> None:
    """Runs ``--link`` on the report's groups of identical files."""
    if args.link is None:
        if args.dry_run:
            raise CommandError("--dry-run goes with --link", EXIT_USAGE)
        return
    if not args.duplicate_files:
        raise CommandError("--link needs --duplicate-files", EXIT_USAGE)
    from ..store.links import replace_duplicates

    try:
        r = replace_duplicates(report.duplicate_files, args.link, args.dry_run)
    except StoreError as e:
        raise CommandError(shown(str(e)), prog="veltrane dedup") from None
    write = (lambda s: print(s, end="", file=sys.stderr)) if args.json else out.write
    verb = "would link" if args.dry_run else "linked"
    lines = [f"{verb} {shown(c)} -> {shown(f)}\n" for f, c in r.linked]
    lines += [f"left alone: {shown(p)}: {shown(why)}\n" for p, why in r.left]
    freed = "would free" if args.dry_run else "freed"
    lines.append(f"{len(r.linked):,} files {verb} ({args.link}); {freed} {r.freed:,} bytes\n")
    write("".join(lines))
