"""The default `logger` module: a decorator factory that records calls at
DEBUG level through the standard library's logging.

`tools.tables.tables` imports the top-level module `logger`. When nothing on
`sys.path` provides one, importing `tools.tables` makes `import logger` yield
this module (see tools/tables/__init__.py); an application's own `logger`, or
one that another distribution installs, always comes first. Usage::

    from logger import logging

    @logging(prefix=__name__)
    def work(x): ...

Each call of `work` is recorded on the logger named "<prefix>.<qualname>"
(arguments in short form, outcome, elapsed time). When DEBUG is not enabled
for that logger, the wrapper costs one level check plus the call itself.
"""

from __future__ import annotations

import functools
import logging as _logging
import reprlib
import time
from collections.abc import Callable
from typing import Any, Concatenate, Generic, ParamSpec, Protocol, TypeVar, overload

__all__ = ["Logged", "logging"]

_P = ParamSpec("_P")
_P2 = ParamSpec("_P2")
_R_co = TypeVar("_R_co", covariant=True)
_R2 = TypeVar("_R2")
_S = TypeVar("_S")


class Logged(Protocol, Generic[_P, _R_co]):
    """What `logging(prefix=...)` makes of a function: the same call (plus a
    `logger` keyword that it swallows), and the logger it records to."""

    logger: _logging.Logger

    @property
    def __wrapped__(self) -> Callable[_P, _R_co]: ...

    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...

    # Read through an instance, a wrapped method binds it, like any function.
    @overload
    def __get__(self, obj: None, owner: type[Any] | None = None) -> Logged[_P, _R_co]: ...
    @overload
    def __get__(
        self: Logged[Concatenate[_S, _P2], _R2], obj: _S, owner: type[Any] | None = None
    ) -> Logged[_P2, _R2]: ...


_DEBUG = _logging.DEBUG
_Logger = _logging.Logger

_short = reprlib.Repr()
_short.maxstring = 40
_short.maxother = 40
_short.maxlist = _short.maxtuple = _short.maxdict = _short.maxset = 4
_short.maxlevel = 2


def _arguments(args: tuple[Any, ...], kwargs: dict[str, Any]) -> str:
    try:
        parts = [_short.repr(a) for a in args]
        parts.extend(f"{k}={_short.repr(v)}" for k, v in kwargs.items())
        return ", ".join(parts)
    except Exception:
        return "<arguments not shown>"


def _record(log: _logging.Logger, qualname: str, shown: str, start: float, outcome: str, value: Any) -> None:
    # The record never changes what the call returns or raises.
    elapsed = (time.perf_counter() - start) * 1e3
    try:
        if outcome == "raised":
            text = type(value).__name__
            try:
                if value.args:
                    text = f"{text}: {value}"
            except Exception:
                pass
            if len(text) > 80:
                text = text[:77] + "..."
            log.debug("%s(%s) raised %s [%.3f ms]", qualname, shown, text, elapsed)
        else:
            log.debug("%s(%s) -> %s [%.3f ms]", qualname, shown, _short.repr(value), elapsed)
    except Exception:
        pass


def logging(prefix: str | None = None) -> Callable[[Callable[_P, _R2]], Logged[_P, _R2]]:
    """
    Return a decorator that records each call of the decorated function.

    :param prefix: first part of the logger name (usually the module's __name__)
    :return: decorator
    """

    def decorator(func: Callable[_P, _R2]) -> Logged[_P, _R2]:
        qualname = getattr(func, "__qualname__", None) or getattr(func, "__name__", None) or repr(func)
        default = _logging.getLogger(f"{prefix}.{qualname}" if prefix else qualname)

        @functools.wraps(func)
        def wrapper(*args: Any, logger: object = None, **kwargs: Any) -> Any:
            log = logger if isinstance(logger, _Logger) else default
            if not log.isEnabledFor(_DEBUG):
                return func(*args, **kwargs)
            shown = _arguments(args, kwargs)
            start = time.perf_counter()
            try:
                result = func(*args, **kwargs)
            except BaseException as exc:
                _record(log, qualname, shown, start, "raised", exc)
                raise
            _record(log, qualname, shown, start, "returned", result)
            return result

        wrapper.logger = default  # type: ignore[attr-defined]
        return wrapper  # type: ignore[return-value]

    return decorator
