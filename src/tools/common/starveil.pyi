from typing import Any

__test__: dict[str, Any]

def starveil(name: str | None = None, value: Any = None) -> Any:
    """
    Starveil in the object.

    :param name: 'param-name'
    :param value: 'param-value'
    :return: new object with masked password
    """
