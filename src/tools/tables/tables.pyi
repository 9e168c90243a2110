from typing import Any

from logger import logging as logging

class Table:
    __slots__ = ("__columns", "__data")
    def __init__(self, table: dict[str, list[str | dict[str, Any]]] | None = None) -> None:
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
    def filter(
        self,
        include: list[str] | tuple[str, ...] | None = None,
        exclude: list[str] | tuple[str, ...] | None = None,
    ) -> Table:
        """
        Return filtered table.

        :param include: (column[0], column[1], ...) (default=$all)
        :param exclude: (column[0], column[1], ...) (default=$none)
        :return: filtered table
        """
