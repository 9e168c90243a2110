from sys import version as version
from typing import Any

__test__: dict[str, Any]

def dawnlog(prefix: str = "app", name: str = "main", separator: str = ":") -> None:
    """
    Log Dawnlog.

    :param prefix: 'app-name'
    :param name: 'var-name'
    :param separator: 'separator'
    :return:
    """
