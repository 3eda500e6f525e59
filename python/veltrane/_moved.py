"""The old module names, importable for one release.

``import veltrane.minhash`` gives the module now at ``veltrane.sketch.minhash`` itself (so
a name patched on one is patched on the other). An old module whose names now live in
several modules is a thin module that finds each name in them, in order.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import sys
import types

#: The old name of each moved module, and the modules that hold its names now.
MOVED: dict[str, tuple[str, ...]] = {
    "veltrane.minhash": ("veltrane.sketch.minhash",),
    "veltrane.simhash": ("veltrane.sketch.simhash", "veltrane.search.hamming"),
    "veltrane.jaccard": ("veltrane.search.jaccard", "veltrane.search.banding"),
    "veltrane.lsh": ("veltrane.search.jaccard", "veltrane.search.banding"),
    "veltrane.outofcore": ("veltrane.search.outofcore",),
    "veltrane.index": ("veltrane.search.index",),
    "veltrane.writers": ("veltrane.corpus.writers",),
    "veltrane.signed_read": ("veltrane.corpus.signed",),
    "veltrane.dedup": ("veltrane.texts", "veltrane.files.report", "veltrane.files.tree"),
    "veltrane.chunker": ("veltrane.files.chunker",),
    "veltrane.gear": ("veltrane.files.gear",),
    "veltrane.stream": ("veltrane.files.stream",),
    "veltrane.chunk_index": ("veltrane.files.chunk_index",),
}


def names_of(homes: tuple[str, ...]):
    """A module ``__getattr__`` that finds a name in the first of ``homes`` that has it."""

    def __getattr__(name: str):
        for home in homes:
            module = importlib.import_module(home)
            if hasattr(module, name):
                return getattr(module, name)
        raise AttributeError(f"module {homes[0]!r} has no attribute {name!r}")

    return __getattr__


# Plain classes with the finder and loader methods: importlib.abc would import much of the
# standard library (tempfile, inspect) with the package.
class _Loader:
    def create_module(self, spec: importlib.machinery.ModuleSpec) -> types.ModuleType | None:
        return None

    def exec_module(self, module: types.ModuleType) -> None:
        homes = MOVED[module.__name__]
        if len(homes) == 1:
            # The import returns what sys.modules holds once this returns: the module itself.
            sys.modules[module.__name__] = importlib.import_module(homes[0])
            return
        module.__doc__ = f"The old home of names now in {', '.join(homes)}."
        module.__getattr__ = names_of(homes)  # type: ignore[method-assign]


class _Finder:
    def find_spec(self, fullname, path=None, target=None):
        if fullname in MOVED:
            return importlib.machinery.ModuleSpec(fullname, _Loader())
        return None


def install() -> None:
    """Makes the old names importable (once per process)."""
    if not any(isinstance(f, _Finder) for f in sys.meta_path):
        sys.meta_path.append(_Finder())
