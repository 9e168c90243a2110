"""Quillmark against the same class written in plain Python (no argument
type tests, which only make the Python side slower): a private attribute read
through the static method and through the `value` property, and written
through the property."""

from typing import Any

from common import paired, record

from tools.common.quillmark import Quillmark


class PyQuillmark:
    __slots__ = ("__obj", "__attr")

    def __init__(self, obj: Any, attr: str):
        self.__obj = obj
        self.__attr = attr

    @property
    def name(self) -> str:
        return self.get_name(obj=self.__obj, attr=self.__attr)

    @property
    def value(self) -> Any:
        return PyQuillmark.get_attribute(obj=self.__obj, attr=self.__attr)

    @value.setter
    def value(self, value: Any):
        PyQuillmark.set_attribute(obj=self.__obj, attr=self.__attr, value=value)

    @property
    def exists(self) -> bool:
        return PyQuillmark.has_attribute(obj=self.__obj, attr=self.__attr)

    @staticmethod
    def get_name(obj: Any, attr: str) -> str:
        if not attr.startswith("__") or attr.startswith("___") or attr.endswith("__"):
            return attr
        owner = obj if isinstance(obj, type) else obj.__class__
        return "_" + owner.__name__.lstrip("_") + attr

    @staticmethod
    def get_attribute(obj: Any, attr: str) -> Any:
        return object.__getattribute__(obj, PyQuillmark.get_name(obj=obj, attr=attr))

    @staticmethod
    def set_attribute(obj: Any, attr: str, value: Any):
        object.__setattr__(obj, PyQuillmark.get_name(obj=obj, attr=attr), value)

    @staticmethod
    def has_attribute(obj: Any, attr: str) -> bool:
        try:
            PyQuillmark.get_attribute(obj=obj, attr=attr)
            return True
        except AttributeError:
            return False


ROUNDS = 5


class Account:
    def __init__(self):
        self.__secret = 42


def run():
    target = Account()
    ns = {"Q": Quillmark, "P": PyQuillmark, "obj": target, "q": Quillmark(target, "__secret"),
          "p": PyQuillmark(target, "__secret")}
    workloads = [
        ('Quillmark.get_attribute(obj, "__secret")', '{}.get_attribute(obj, "__secret")', "Q", "P"),
        ("Quillmark(obj, '__secret').value", "{}.value", "q", "p"),
        ("Quillmark(obj, '__secret').value = 7", "{}.value = 7", "q", "p"),
        ('Quillmark.has_attribute(obj, "__missing")', '{}.has_attribute(obj, "__missing")', "Q", "P"),
    ]
    goals = {0: 0.4, 1: 0.4, 2: 0.4}
    for i, (label, stmt, ours, theirs) in enumerate(workloads):
        times = paired(stmt.format(ours), stmt.format(theirs), ns, rounds=ROUNDS)
        record(label, times[0], times[1], "pure-Python class", goals.get(i))
