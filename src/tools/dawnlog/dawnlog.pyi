def dawnlog(prefix: str = "app", name: str = "main", separator: str = ":") -> None:
    """
    Log Dawnlog.

    :param prefix: 'app-name'
    :param name: 'var-name'
    :param separator: 'separator'
    :return:
    """
