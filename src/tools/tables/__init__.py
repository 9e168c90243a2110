"""Validated tables.

`tools.tables.tables` imports its decorator factory from a top-level module
named `logger`. An application's own `logger` (or one that any distribution
installs) on `sys.path` is found first, as usual. Only when the import system
finds none does the finder below answer, with `tools.tables.default_logger`;
so nothing changes for programs that never import this package, and nothing
is installed at the top level of site-packages.
"""

import sys


class _DefaultLoggerFinder:
    """Answers `import logger` last, with the package's default module."""

    _tools_default_logger = True

    @classmethod
    def find_spec(cls, fullname, path=None, target=None):
        if fullname != "logger" or path is not None:
            return None
        from importlib.machinery import ModuleSpec

        return ModuleSpec("logger", cls, origin="tools.tables.default_logger")

    @staticmethod
    def create_module(spec):
        # The same module object under both names: one set of loggers.
        from tools.tables import default_logger

        return default_logger

    @staticmethod
    def exec_module(module):
        pass


# Appended, so every other finder (sys.path included) is asked first; once
# per process, even when this package is reloaded.
if not any(getattr(f, "_tools_default_logger", False) for f in sys.meta_path):
    sys.meta_path.append(_DefaultLoggerFinder)
