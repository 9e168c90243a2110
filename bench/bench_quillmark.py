"""Quillmark against the same class written in plain Python (no argument
type tests, which only make the Python side slower): a private attribute read
through the static method and through the `value` property, and written
through the property; and the static read against the base object's own
`__getattribute__` given the mangled name."""

from typing import Any

from harness import Case, Row, memo


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


class Account:
    def __init__(self):
        self.__secret = 42


@memo
def names():
    from tools.common.quillmark import Quillmark

    target = Account()
    return {"Q": Quillmark, "P": PyQuillmark, "obj": target, "q": Quillmark(target, "__secret"),
            "p": PyQuillmark(target, "__secret"), "object": object}


def rows():
    workloads = [
        ('Quillmark.get_attribute(obj, "__secret")', '{}.get_attribute(obj, "__secret")', "Q", "P", 0.4),
        ("Quillmark(obj, '__secret').value", "{}.value", "q", "p", 0.4),
        ("Quillmark(obj, '__secret').value = 7", "{}.value = 7", "q", "p", 0.4),
        ('Quillmark.has_attribute(obj, "__missing")', '{}.has_attribute(obj, "__missing")', "Q", "P", None),
    ]
    out = []
    for label, stmt, ours, theirs, goal in workloads:
        ours_case = Case(stmt.format(ours), stmt.format(ours), names, inner=10)
        out.append(Row("quillmark", label, ours_case, Case(stmt.format(theirs), stmt.format(theirs), names, inner=10),
                       "pure-Python class", goal))
        if ours == "Q" and "get_attribute" in stmt:
            bare = 'object.__getattribute__(obj, "_Account__secret")'
            out.append(Row("quillmark", label, ours_case, Case(bare, bare, names, inner=10),
                           "object.__getattribute__", 1.8, "mangled name given"))
    return out
