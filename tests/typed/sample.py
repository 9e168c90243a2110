"""A typed program that uses every public name the README shows. mypy
--strict must accept it as it stands: the assert_type lines pin what the
stubs promise, and each `type: ignore` marks a call they must refuse (an
ignore that is not needed is itself an error under --strict), as the modules
refuse it when the program runs."""

import logging
from pathlib import Path
from collections.abc import Callable
from typing import Any, assert_type

import tools
import tools.common.murkfold as murk
from tools.common.murkfold import murkfold
from tools.common.quillmark import Quillmark
from tools.common.siteward import siteward
from tools.common.starveil import starveil
from tools.dawnlog.dawnlog import dawnlog
from tools.tables.tables import Table


def refused(call: Callable[[], object]) -> None:
    try:
        call()
    except TypeError:
        return
    raise AssertionError("accepted when the program runs")


def locations() -> Path:
    assert_type(siteward(__file__), Path)
    assert_type(siteward(Path(__file__)), Path)
    assert_type(siteward(func=lambda _: 0), Path)
    assert_type(siteward(None, Table), Path)
    assert_type(siteward(), None)
    refused(lambda: siteward(1))  # type: ignore[call-overload]
    return siteward(__file__) / "data"


def walkers() -> tuple[Any, Any]:
    folded = murkfold({"id": 7, "blob": "x" * 5000, "tags": ("a", None)})
    murk._const = murk._Const(char_limit=100)
    assert_type(murk._const.char_limit, int)
    masked = starveil(value={"user": "ann", "db": {"Password": "hunter2", "hosts": ["a", "b"]}})
    starveil("api_pwd", ["k1", ("k22",)])
    refused(lambda: starveil(name=1))  # type: ignore[arg-type]
    return folded, masked


def tables(cols: list[str], rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    t = Table({"columns": cols, "data": rows})
    Table({"columns": ["name", "team"], "data": [{"name": "Ada", "team": "core"}]})
    Table(table=None)
    Table()
    assert_type(t.columns, list[str])
    narrow = t.filter(include=["name"])
    assert_type(narrow, Table)
    assert_type(t.filter(exclude=("team",)), Table)
    assert_type(t.filter.logger, logging.Logger)
    assert_type(repr(narrow) + str(narrow), str)
    refused(lambda: t.filter(include=["name"], colour="red"))  # type: ignore[call-arg]
    refused(lambda: Table(["name"]))  # type: ignore[arg-type]
    return narrow.data


class Account:
    def __init__(self) -> None:
        self.__pin = 1234

    def pin(self) -> int:
        return self.__pin


def accessor() -> bool:
    acct = Account()
    pin = Quillmark(acct, "__pin")
    assert_type(pin.name, str)
    assert_type(pin.value, Any)
    pin.value = 4321
    assert_type(Quillmark.get_name(acct, "___x"), str)
    Quillmark.set_attribute(acct, "__pin", 1)
    assert acct.pin() == 1
    assert_type(Quillmark.get_attribute(acct, "__pin"), Any)
    refused(lambda: Quillmark(acct, 5))  # type: ignore[arg-type]
    return pin.exists and not Quillmark.has_attribute(acct, "__x")


def main() -> None:
    assert_type(tools.__version__, str)
    dawnlog()
    dawnlog("svc", "worker", "-")
    folded, masked = walkers()
    assert masked["db"]["Password"] == "*******" and folded["tags"] == ("a", "")
    assert locations().name == "data" and tables(["name"], [{"name": "Ada"}]) == [{"name": "Ada"}]
    assert accessor()
    print("typed sample ran")


if __name__ == "__main__":
    main()
