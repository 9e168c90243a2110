from dataclasses import dataclass
from typing import Any

__test__: dict[str, Any]

@dataclass(frozen=True)
class _Const:
    char_limit: int = 4000

_const: _Const

def murkfold(value: Any = None) -> Any:
    """
    Murkfold in the object.

    :param value: 'param-value'
    :return: new object with hidden big-content
    """
