"""A recording stand-in for the application's `logger` module, put first on
sys.path by tests/test_tables.py so that tools.tables.tables imports it.

It records every factory call, every decoration and every call through a
wrapper (with the `logger` keyword it swallowed), and passes everything else
through untouched."""

import collections
import functools

IS_STUB = True
factory_calls = []   # prefix of each logging(prefix=...) call, in order
decorated = []       # (prefix, function) for each decorator application
# (qualname, logger keyword or MISSING) of the latest wrapped calls; bounded,
# so that leak checks do not see it grow.
calls = collections.deque(maxlen=64)
MISSING = object()


class Marker:
    """The object exposed as `.logger`, so tests can see it passed along."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Marker({self.name!r})"


def logging(*args, **kwargs):
    assert not args and list(kwargs) == ["prefix"], (args, kwargs)
    prefix = kwargs["prefix"]
    factory_calls.append(prefix)

    def decorator(func):
        decorated.append((prefix, func))

        @functools.wraps(func)
        def wrapper(*args, logger=MISSING, **kwargs):
            calls.append((func.__qualname__, logger))
            return func(*args, **kwargs)

        wrapper.logger = Marker(f"{prefix}.{func.__qualname__}")
        return wrapper

    return decorator
