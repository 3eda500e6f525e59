"""Trees for the store's tests: random ones with copies, hardlinks, symlinks, empty files and
odd names, and an exact comparison of two trees."""

import os
import stat


def make_tree(root: str, rng, files: int = 40, big: int = 0) -> None:
    """A random tree under ``root`` (bytes names too: not UTF-8, with newlines)."""
    os.makedirs(root, exist_ok=True)
    dirs = [root]
    names = [b"plain", b"with space", b"new\nline", b"\xff\xfenot-utf8", b"caf\xc3\xa9", b"-dash"]
    made: list[str] = []
    for k in range(files):
        if rng.random() < 0.2:
            d = os.path.join(rng.choice(dirs), os.fsdecode(rng.choice(names) + b"%d" % k))
            os.mkdir(d)
            os.chmod(d, rng.choice([0o755, 0o700, 0o750]))
            dirs.append(d)
        parent = rng.choice(dirs)
        path = os.path.join(parent, os.fsdecode(rng.choice(names) + b".%d" % k))
        r = rng.random()
        if made and r < 0.15:
            os.link(rng.choice(made), path)
            continue
        if made and r < 0.25:
            os.symlink(os.path.relpath(rng.choice(made), parent), path)
            continue
        if r < 0.3:
            data = b""
        elif made and r < 0.5:
            with open(rng.choice(made), "rb") as f:
                data = f.read()  # a copy
        else:
            n = rng.choice([1, 100, 5000, 70000, 300000])
            data = rng.randbytes(n // 2) * 2 if rng.random() < 0.5 else rng.randbytes(n)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, rng.choice([0o644, 0o600, 0o755, 0o4755, 0o444]))
        os.utime(path, ns=(rng.randrange(1 << 40) * 1000 + 7, rng.randrange(1 << 40) * 1000 + 7))
        made.append(path)
    for k in range(big):
        path = os.path.join(root, f"big{k}")
        with open(path, "wb") as f:
            f.write(rng.randbytes(3 << 20) * 2)
        made.append(path)
    os.symlink("/nonexistent/target", os.path.join(root, "dangling"))
    for d in reversed(dirs[1:]):
        os.utime(d, ns=(1_000_000_007, 1_600_000_000_123_456_789))


def tree(root: str) -> dict:
    """Everything restore must get right: per path its kind, mode, mtime and content (or
    target), and which paths share a file."""
    out = {}
    inodes: dict[int, list[bytes]] = {}
    broot = os.fsencode(root)
    for top, dirs, files in os.walk(broot):
        for name in dirs + files:
            p = os.path.join(top, name)
            rel = os.path.relpath(p, broot)
            st = os.lstat(p)
            if stat.S_ISLNK(st.st_mode):
                out[rel] = ("l", os.readlink(p), st.st_mtime_ns)
            elif stat.S_ISDIR(st.st_mode):
                out[rel] = ("d", stat.S_IMODE(st.st_mode), st.st_mtime_ns)
            else:
                with open(p, "rb") as f:
                    out[rel] = ("f", stat.S_IMODE(st.st_mode), st.st_mtime_ns, f.read())
                inodes.setdefault(st.st_ino, []).append(rel)
    out["<links>"] = sorted(sorted(g) for g in inodes.values() if len(g) > 1)
    return out
