from typing import Any

def starveil(name: str | None = None, value: Any = None) -> Any:
    """
    Starveil in the object.

    :param name: 'param-name'
    :param value: 'param-value'
    :return: new object with masked password
    """
