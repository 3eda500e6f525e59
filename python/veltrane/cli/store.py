"""``veltrane store``: a deduplicating store of snapshots of files and trees."""

from __future__ import annotations

import datetime
import json
import string
import sys

from ..progress import ProgressBar
from ..store import DEFAULT_AVG_SIZE, DEFAULT_LEVEL, DEFAULT_PACK_SIZE, Store, StoreError
from ..store.snapshot import DIR, FILE, HARDLINK, LINK
from ._common import CommandError, int_at_least, progress_wanted, shown

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
    p.add_argument(
        "--threads", type=int_at_least(1), metavar="N", help="worker threads (default: all cores)"
    )


class _Text(string.Formatter):
    """``str.format`` with one more spec: ``{n:mb}``, bytes as megabytes."""

    def format_field(self, value, format_spec: str) -> str:
        if format_spec == "mb":
            return f"{value / 1e6:,.1f} MB"
        return super().format_field(value, format_spec)


_TEXT = _Text()

#: The line each verb's result ends with (its JSON is the result itself).
_SUMMARY = {
    "add": "snapshot {id:.12}: {files:,} files, {bytes:mb}; {files_unchanged:,} unchanged; "
    "new chunks {new_bytes:mb}, stored {stored_bytes:mb}; {seconds:.2f} s",
    "diff": "{n_added:,} added, {n_removed:,} removed, {n_changed:,} changed; {new_bytes:mb} "
    "of {b:.12} not in {a:.12}",
    "restore": "restored {files:,} files, {bytes:mb} to {dest}",
    "verify": "{snapshots} snapshots, {packs} packs, {chunks:,} chunks{read}: {verdict}",
    "prune": "removed {chunks_removed:,} chunks: {packs_deleted} packs deleted, "
    "{packs_rewritten} rewritten; {bytes_freed:mb} freed",
}


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
        if args.verb == "ls":
            _ls(store, args, out)
            return 0
        if args.verb == "forget":
            for sid in store.forget(args.snapshots):
                out.write(f"forgot {sid[:12]}\n")
            return 0
        r = _result(store, args, bar)
    finally:
        bar.close()
    if args.json:
        out.write(json.dumps(r, indent=1) + "\n")
    else:
        out.write(_text(args, r))
    if args.verb == "verify":
        return len(r["problems"])
    return _errors(r["errors"]) if args.verb in ("add", "restore") else 0


def _result(store: Store, args, bar) -> dict:
    """What the verb returns: a dict, written as JSON or as text."""
    verb, threads = args.verb, getattr(args, "threads", None)
    if verb == "add":
        return store.add(args.paths, name=args.name, progress=bar, threads=threads)
    if verb == "restore":
        return store.restore(
            args.snapshot, args.dest, args.paths, force=args.force, progress=bar, threads=threads
        )
    if verb == "verify":
        return store.verify(read_data=args.read_data, progress=bar, threads=threads)
    if verb == "prune":
        return store.prune(progress=bar)
    if verb == "diff":
        return store.diff(args.a, args.b)
    assert verb == "stats", verb
    return store.stats()


def _text(args, r: dict) -> str:
    if args.verb == "stats":
        return "".join(
            f"{k:>18}: {v:,}\n" if isinstance(v, int) else f"{k:>18}: {v}\n" for k, v in r.items()
        )
    lines, fields = [], dict(r)
    if args.verb == "diff":
        for sign, key in (("+", "added"), ("-", "removed"), ("M", "changed")):
            lines += [f"{sign} {shown(p)}\n" for p in r[key]]
            fields[f"n_{key}"] = len(r[key])
    elif args.verb == "restore":
        fields["dest"] = args.dest
    elif args.verb == "verify":
        lines += [f"damaged: {shown(line)}\n" for line in r["problems"]]
        lines += [f"note: {shown(line)}\n" for line in r["notes"]]
        fields["read"] = f", {r['chunks_read']:,} chunks read" if args.read_data else ""
        problems = len(r["problems"])
        fields["verdict"] = f"{problems} problems" if problems else "no problems"
    return "".join(lines) + _TEXT.format(_SUMMARY[args.verb], **fields) + "\n"


def _ls(store: Store, args, out) -> None:
    if args.snapshot is None:
        snaps = store.snapshots()
        if args.json:
            out.write(json.dumps([{"id": s.id, **s.header()} for s in snaps], indent=1) + "\n")
        for s in [] if args.json else snaps:
            when = datetime.datetime.fromtimestamp(s.time_ns / 1e9).isoformat(" ", "seconds")
            files = s.summary.get("files", 0)
            size = _TEXT.format("{:mb}", s.summary.get("bytes", 0))
            out.write(f"{s.id[:12]}  {when}  {files:>9,} files  {size:>12}  {s.name}\n")
        return
    for n in store.ls(args.snapshot, args.path):
        if args.json:
            fields = ("path", "kind", "mode", "mtime_ns", "size", "target")
            out.write(json.dumps({k: getattr(n, k) for k in fields}) + "\n")
            continue
        what = {DIR: "d", FILE: "-", LINK: "l", HARDLINK: "h"}[n.kind]
        tail = f" -> {shown(n.target)}" if n.kind in (LINK, HARDLINK) else ""
        out.write(f"{what} {n.mode:04o} {n.size:>12,} {shown(n.path)}{tail}\n")
