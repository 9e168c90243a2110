from pathlib import Path
from typing import Any, Callable

def siteward(file: Path | str | None = None, func: Callable[..., Any] | type | None = None) -> Path | None: ...
