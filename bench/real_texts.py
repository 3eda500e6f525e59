"""Corpora of real text found on a Debian machine with pyenv, read the same way every run.

- ``licenses``: the copyright files of installed Debian packages and the common licenses
  (prose, with many near-copies of the same license paragraphs).
- ``python_sources``: the Python files of the Python versions under pyenv (source code, with
  many near-copies across versions).
- ``man_pages``: the gzipped man pages under /usr/share/man, as raw roff (structured text,
  translations beside the originals).

Each returns a list of ``bytes`` in sorted path order, at most ``limit`` documents of at most
``max_size`` bytes (larger files are skipped, so that one huge file cannot dominate).
"""

import gzip
import os
import subprocess
from pathlib import Path


def _read(paths, limit, max_size, opener=None):
    out = []
    for path in paths:
        if len(out) >= limit:
            break
        try:
            if path.stat().st_size > max_size:
                continue
            data = opener(path) if opener else path.read_bytes()
        except (OSError, EOFError, gzip.BadGzipFile):
            continue
        if data and len(data) <= max_size:
            out.append(data)
    return out


def licenses(limit=100_000, max_size=1 << 20):
    paths = sorted(Path("/usr/share/doc").glob("*/copyright"))
    paths += sorted(p for p in Path("/usr/share/common-licenses").iterdir() if p.is_file())
    return _read(paths, limit, max_size)


def _pyenv_root():
    try:
        return Path(
            subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
        )
    except OSError:
        return Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))


def python_sources(limit=10_000, max_size=256 << 10):
    root = _pyenv_root() / "versions"
    paths = sorted(p for p in root.glob("*/lib/python*/**/*.py") if "site-packages" not in p.parts)
    return _read(paths, limit, max_size)


def man_pages(limit=10_000, max_size=1 << 20):
    paths = sorted(Path("/usr/share/man").glob("**/*.gz"))
    return _read(paths, limit, max_size, opener=lambda p: gzip.decompress(p.read_bytes()))


CORPORA = {"licenses": licenses, "python sources": python_sources, "man pages": man_pages}


def one_kib_documents(count, size=1024, per_corpus=2000):
    """`count` documents of about `size` bytes cut from the first `per_corpus` documents of
    the three corpora at whitespace, in turn from each, repeating the corpora when they run
    out."""
    sources = [b"\n".join(load(limit=per_corpus)) for load in CORPORA.values()]
    docs, offsets = [], [0] * len(sources)
    while len(docs) < count:
        k = len(docs) % len(sources)
        data, at = sources[k], offsets[k]
        if at + size >= len(data):
            at = 0
        end = data.find(b" ", at + size)
        end = len(data) if end < 0 else end
        docs.append(data[at:end])
        offsets[k] = end + 1
    return docs
