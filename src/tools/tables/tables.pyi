from collections.abc import Container
from typing import Any

# `logging` is whatever the top-level module `logger` provides; these stubs
# describe the package's default one.
from tools.tables.default_logger import logging as logging

__test__: dict[str, Any]

class Table:
    __slots__ = ("__columns", "__data")
    # Any dictionary of lists: "columns" a list of names, "data" a list of
    # row dictionaries (checked when the table is built).
    def __init__(self, table: dict[str, list[Any]] | None = None) -> None:
        """
        Create table object from dictionary.

        :param table:
            {
                'columns': ['column[0].name', 'column[1].name', ...],
                'data': [
                    {'column[0].name': 'row[0].column[0].value', 'column[1].name': 'row[0].column[1].value', ...},
                    {'column[0].name': 'row[1].column[0].value', 'column[1].name': 'row[1].column[1].value', ...},
                    ...
                ]
            }
        """
    @property
    def columns(self) -> list[str]:
        """
        ['column[0].name', 'column[1].name', ...]
        """
    @property
    def data(self) -> list[dict[str, Any]]:
        """
        [
            {'column[0].name': 'row[0].column[0].value', 'column[1].name': 'row[0].column[1].value', ...},
            {'column[0].name': 'row[1].column[0].value', 'column[1].name': 'row[1].column[1].value', ...},
            ...
        ]
        """
    def __repr__(self) -> str: ...
    def __str__(self) -> str: ...
    @logging(prefix="tools.tables.tables")
    def filter(
        self,
        include: Container[str] | None = None,
        exclude: Container[str] | None = None,
    ) -> Table:
        """
        Return filtered table.

        :param include: (column[0], column[1], ...) (default=$all)
        :param exclude: (column[0], column[1], ...) (default=$none)
        :return: filtered table
        """
