"""Validated tables.

`tools.tables.tables` imports its decorator factory from a top-level module
named `logger`. An application's own `logger` (or one that any distribution
installs) on `sys.path` is found first, as usual. Only when the import system
finds none does the finder below answer, with `tools.tables.default_logger`;
so nothing changes for programs that never import this package, and nothing
is installed at the top level of site-packages.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, cast

if TYPE_CHECKING:
    from importlib.abc import Loader
    from importlib.machinery import ModuleSpec
    from types import ModuleType


class _DefaultLoggerFinder:
    """Answers `import logger` last, with the package's default module."""

    _tools_default_logger = True

    @classmethod
    def find_spec(cls, fullname: str, path: object = None, target: object = None) -> ModuleSpec | None:
        if fullname != "logger" or path is not None:
            return None
        from importlib.machinery import ModuleSpec

        return ModuleSpec("logger", cast("Loader", cls), origin="tools.tables.default_logger")

    @staticmethod
    def create_module(spec: ModuleSpec) -> ModuleType:
        # The same module object under both names: one set of loggers.
        from tools.tables import default_logger

        return default_logger

    @staticmethod
    def exec_module(module: ModuleType) -> None:
        pass


# Appended, so every other finder (sys.path included) is asked first; once
# per process, even when this package is reloaded.
if not any(getattr(f, "_tools_default_logger", False) for f in sys.meta_path):
    sys.meta_path.append(_DefaultLoggerFinder)
