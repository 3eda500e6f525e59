"""Griffe extension of the veltrane docs site (loaded by mkdocstrings from mkdocs.yml).

The package's docstrings are written for Python's help() and Sphinx-style readers:
``:func:`name``` and its kin become Markdown cross-references to the object they name, resolved
as Python would resolve the name in the docstring's scope. Two things are warnings, which
``mkdocs build --strict`` turns into a failed build:

- a role in a public object's docstring that names nothing in the package;
- a public name of a documented module (``public_modules``) without a docstring: the module
  itself, its public functions, classes and attributes, and the public methods, properties and
  attributes of its public classes; and a public name whose definition griffe cannot see.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from typing import Any

import griffe

logger = griffe.get_logger("veltrane_docs")

ROLE = re.compile(r":(?:py:)?(?:func|class|meth|data|attr|mod|exc|obj):`(~?)([\w.]+)(?:\(\))?`")


def _canonical(obj: griffe.Object | griffe.Alias) -> str | None:
    try:
        return obj.final_target.path if obj.is_alias else obj.path
    except (griffe.AliasResolutionError, griffe.CyclicAliasError):
        return None


def _resolve(name: str, scope: griffe.Object, collection: griffe.ModulesCollection) -> str | None:
    """The canonical path of ``name`` as seen from ``scope``'s docstring, or None."""
    first, _, rest = name.partition(".")
    node: griffe.Object | None = scope
    while node is not None:
        if first in node.members:
            found = node.members[first]
            try:
                target = found[rest] if rest else found
            except (KeyError, griffe.AliasResolutionError, griffe.CyclicAliasError):
                return None
            return _canonical(target)
        node = node.parent
    try:
        return _canonical(collection[name])
    except (KeyError, griffe.AliasResolutionError, griffe.CyclicAliasError):
        return None


def _walk(obj: griffe.Object) -> Iterator[griffe.Object]:
    yield obj
    for member in obj.members.values():
        if not member.is_alias:
            yield from _walk(member)


def _public_members(obj: griffe.Object) -> Iterator[griffe.Object]:
    """The public functions, classes and attributes of a module or class, aliases followed to
    objects of the package."""
    for member in obj.members.values():
        if not member.is_public or member.name.startswith("__"):
            continue
        if member.is_alias:
            try:
                member = member.final_target
            except (griffe.AliasResolutionError, griffe.CyclicAliasError):
                # Outside the package (dedup_core, numpy) it is documented by hand; inside,
                # griffe cannot see the definition (a tuple assignment), so neither can readers.
                if member.target_path.partition(".")[0] == obj.package.name:
                    logger.warning(
                        f"{member.path}: public, but its definition ({member.target_path}) "
                        "cannot be documented"
                    )
                continue
        if not member.is_module and member.package.name == obj.package.name:
            yield member


class VeltraneDocs(griffe.Extension):
    """Sphinx roles to cross-references; warnings for undocumented public names."""

    def __init__(self, public_modules: list[str] | None = None) -> None:
        super().__init__()
        self.public_modules = public_modules or []

    def on_package(
        self, *, pkg: griffe.Module, loader: griffe.GriffeLoader, **kwargs: Any
    ) -> None:
        public: dict[str, griffe.Object] = {}
        for path in self.public_modules:
            if path.partition(".")[0] != pkg.name:
                continue
            try:
                module = loader.modules_collection[path]
            except KeyError:
                logger.warning(f"{path}: listed in mkdocs.yml but not found in the package")
                continue
            public[module.path] = module
            for member in _public_members(module):
                public[member.path] = member
                if member.is_class:
                    for inner in _public_members(member):
                        public[inner.path] = inner

        for path, obj in sorted(public.items()):
            if obj.docstring is None or not obj.docstring.value.strip():
                logger.warning(f"{path}: public name without a docstring")

        for obj in _walk(pkg):
            if obj.docstring is not None:
                self._link_roles(obj, loader.modules_collection, warn=obj.path in public)

    @staticmethod
    def _link_roles(obj: griffe.Object, collection: griffe.ModulesCollection, warn: bool) -> None:
        assert obj.docstring is not None
        scope = obj if obj.is_module or obj.is_class else obj.parent
        assert scope is not None

        def link(match: re.Match[str]) -> str:
            short, name = match.group(1), match.group(2)
            shown = name.rpartition(".")[2] if short else name
            target = _resolve(name, scope, collection)
            if target is None:
                if warn:
                    logger.warning(f"{obj.path}: docstring names {name!r}, which is not found")
                return f"`{shown}`"
            return f"[`{shown}`][{target}]"

        obj.docstring.value = ROLE.sub(link, obj.docstring.value)
