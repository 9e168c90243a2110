from collections.abc import Callable
from os import PathLike
from pathlib import Path
from types import CodeType, FrameType, ModuleType, TracebackType
from typing import Any, overload

__test__: dict[str, Any]

# What the source of a definition can be found from.
_Source = Callable[..., Any] | type | ModuleType | CodeType | FrameType | TracebackType

# A file gives its directory (func is then ignored); a definition gives the
# directory of its source; neither gives None.
@overload
def siteward(file: str | PathLike[str], func: object = None) -> Path: ...
@overload
def siteward(file: None, func: _Source) -> Path: ...
@overload
def siteward(file: None = None, *, func: _Source) -> Path: ...
@overload
def siteward(file: None = None, func: None = None) -> None: ...
