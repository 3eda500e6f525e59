"""MkDocs hook of the veltrane docs site (loaded from mkdocs.yml): the package's reference page
must name every public name of ``veltrane``, so that a name added to ``__all__`` cannot be
left out of it. A missing name is a warning, which ``mkdocs build --strict`` makes an error."""

from __future__ import annotations

import logging
from typing import Any

logger = logging.getLogger("mkdocs.hooks.veltrane")

PACKAGE_PAGE = "reference/veltrane.md"


def on_page_markdown(markdown: str, page: Any, **kwargs: Any) -> str:
    if page.file.src_uri == PACKAGE_PAGE:
        import veltrane

        for name in veltrane.__all__:
            if f"`{name}`" not in markdown:
                logger.warning(f"{PACKAGE_PAGE}: veltrane.{name} is public but not named here")
    return markdown
