from typing import Any

__test__: dict[str, Any]

class Quillmark:
    __slots__ = ("__obj", "__attr")
    def __init__(self, obj: Any, attr: str) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> Any: ...
    @value.setter
    def value(self, value: Any) -> None: ...
    @property
    def exists(self) -> bool: ...
    @staticmethod
    def get_name(obj: Any, attr: str) -> str:
        """
        Build attribute name.

        :param obj: object instance
        :param attr: attribute name
        :return: attribute name (mangled, for private attributes)
        """
    @staticmethod
    def get_attribute(obj: Any, attr: str) -> Any:
        """
        Get an attribute.

        :param obj: object instance
        :param attr: attribute name
        :return: attribute value
        """
    @staticmethod
    def set_attribute(obj: Any, attr: str, value: Any) -> None:
        """
        Set an attribute.

        :param obj: object instance
        :param attr: attribute name
        :param value: attribute value
        :return:
        """
    @staticmethod
    def has_attribute(obj: Any, attr: str) -> bool: ...
