"""Table construction and filter on 100,000 rows by 8 columns, against a bare
C floor (bench/floor_tables.c) and against a pure-Python version of the same
class behind a pass-through decorator. Our figures include the default
`logger` decorator at its default level."""

import functools
import logging
from typing import Any

from harness import Case, Row, floor, memo

ROWS = 100_000
COLUMNS = [f"column_{i}" for i in range(8)]
INCLUDE = COLUMNS[1:8:2]          # 4 of the 8
EXCLUDE = [COLUMNS[2], COLUMNS[5]]  # 2 of the 8


def passthrough(prefix=None):
    def decorator(func):
        @functools.wraps(func)
        def wrapper(*args, logger=None, **kwargs):
            return func(*args, **kwargs)

        wrapper.logger = None
        return wrapper

    return decorator


class PyTable:
    __slots__ = ("__columns", "__data")

    @passthrough(prefix=__name__)
    def __init__(self, table: dict[str, list[str | dict[str, Any]]] = None):
        if table is None:
            table = {"columns": [], "data": []}
        if type(table) is not dict:
            raise TypeError("table")
        for ii in ("columns", "data"):
            if ii not in table:
                raise KeyError(f'Parameter "{ii}" not found')
            if not isinstance(table[ii], list):
                raise TypeError(f'Parameter "{ii}" is not a "list"')
        for i, row in enumerate(table["data"]):
            if not isinstance(row, dict):
                raise TypeError(f'Parameter "data"[{i}] is not a "dict"')
            if len(row) != len(table["columns"]):
                raise ValueError(f'Parameter "data"[{i}] length not match with "columns" length')
            for column in table["columns"]:
                if column not in row:
                    raise Exception(f'Parameter "data"[{i}]["{column}"] not found')
        self.__columns = table["columns"]
        self.__data = table["data"]

    @passthrough(prefix=__name__)
    def filter(self, include=None, exclude=None):
        if include is None:
            include = tuple(self.__columns)
        if exclude is None:
            exclude = ()
        return PyTable(
            table={
                "columns": [c for c in self.__columns if c in include and c not in exclude],
                "data": [{c: v for c, v in row.items() if c in include and c not in exclude}
                         for row in self.__data],
            },
            logger=self.filter.logger,
        )


@memo
def names():
    from tools.tables.tables import Table

    # Our figures are those of the shipped default logger at its default level.
    assert Table.filter.logger.name == "tools.tables.tables.Table.filter"
    assert not Table.filter.logger.isEnabledFor(logging.DEBUG)
    rows = [dict(zip(COLUMNS, range(i, i + 8))) for i in range(ROWS)]
    source = {"columns": COLUMNS, "data": rows}
    return {"Table": Table, "PyTable": PyTable, "floor": floor("floor_tables"), "source": source, "rows": rows,
            "ours": Table(table=source), "python": PyTable(table=source), "INCLUDE": INCLUDE, "EXCLUDE": EXCLUDE,
            "ALL": tuple(COLUMNS)}


CONSTRUCT = Case("Table(table=source)", "Table(table=source)", names)
FILTER = Case("ours.filter(include=INCLUDE)", "ours.filter(include=INCLUDE)", names)


def rows():
    label = f"Table(table=...) {ROWS:,} x {len(COLUMNS)}"
    out = [Row("tables", label, CONSTRUCT, Case("floor.construct", "floor.construct(source)", names), "C floor", 1.3),
           Row("tables", label, CONSTRUCT, Case("PyTable(table=source)", "PyTable(table=source)", names),
               "pure Python")]
    for call, floor_call in (("filter(include=INCLUDE)", "floor.filter(source, INCLUDE, ())"),
                             ("filter(exclude=EXCLUDE)", "floor.filter(source, ALL, EXCLUDE)")):
        label = f".{call} {ROWS:,} x {len(COLUMNS)}"
        ours = FILTER if "include" in call else Case(f"ours.{call}", f"ours.{call}", names)
        out.append(Row("tables", label, ours, Case(floor_call, floor_call, names), "C floor", 1.5))
        out.append(Row("tables", label, ours, Case(f"python.{call}", f"python.{call}", names), "pure Python"))
    return out
