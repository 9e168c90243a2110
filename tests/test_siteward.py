"""tools.common.siteward: the directory of a file or of a definition."""

import inspect
import os
from pathlib import Path, PurePosixPath

import pytest

from conftest import tb_names
from tools.common.siteward import siteward


def test_no_arguments_give_none():
    assert siteward() is None
    assert siteward(None, None) is None


@pytest.mark.parametrize("file, expected", [
    ("/a/b/c.txt", Path("/a/b")),
    ("c.txt", Path(".")),
    ("", Path(".")),
    (Path("/x/y/z"), Path("/x/y")),
    (PurePosixPath("rel/dir/f"), Path("rel/dir")),
])
def test_file_gives_its_parent_unresolved(file, expected):
    result = siteward(file)
    assert result == expected
    assert not result.is_absolute() or Path(file).is_absolute()


def test_file_wins_and_func_is_not_examined():
    assert siteward("/a/b/c.txt", len) == Path("/a/b")
    assert siteward(file="/a/b/c.txt", func=object()) == Path("/a/b")


def test_func_gives_the_directory_of_its_source():
    def local():
        pass

    here = Path(__file__).resolve().parent
    assert siteward(func=local) == here
    assert siteward(func=lambda _: 0) == here
    assert siteward(func=Path) == Path(inspect.getfile(Path)).parent
    assert siteward(func=inspect) == Path(inspect.getfile(inspect)).parent


def test_relative_source_is_made_absolute(tmp_path, monkeypatch):
    code = compile("def f(): pass", "pkg/mod.py", "exec")
    ns = {}
    exec(code, ns)
    monkeypatch.chdir(tmp_path)
    assert siteward(func=ns["f"]) == tmp_path / "pkg"


@pytest.mark.parametrize("kwargs, error", [
    ({"func": len}, TypeError),
    ({"file": 1}, TypeError),
])
def test_failures_propagate_with_an_entry(kwargs, error):
    with pytest.raises(error) as info:
        siteward(**kwargs)
    assert ("src/tools/common/siteward", "tools.common.siteward.siteward") in tb_names(info.value)
    # The host's own message passes through unchanged.
    try:
        if "func" in kwargs:
            inspect.getfile(kwargs["func"])
        else:
            Path(kwargs["file"])
    except error as direct:
        assert str(info.value) == str(direct)


class Broken(type(Path())):
    """A path whose absolute() or parent fails."""

    def absolute(self):
        raise PermissionError("no cwd")

    @property
    def parent(self):
        if self.is_absolute():
            raise LookupError("no parent")
        return super().parent


def refusing(arg):
    raise LookupError("no path")


@pytest.mark.parametrize("kwargs", [{"file": "x"}, {"func": Broken}])
def test_path_class_that_refuses(monkeypatch, kwargs):
    import tools.common.siteward as mod
    monkeypatch.setattr(mod, "Path", refusing)
    with pytest.raises(LookupError, match="^no path$"):
        siteward(**kwargs)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"func": Broken}, PermissionError, "no cwd"),          # getfile finds this file; absolute() fails
    ({"file": "/a/b"}, LookupError, "no parent"),
])
def test_failures_of_the_path_class(monkeypatch, kwargs, error, message):
    import tools.common.siteward as mod
    monkeypatch.setattr(mod, "Path", Broken)
    with pytest.raises(error) as info:
        siteward(**kwargs)
    assert str(info.value) == message
    assert tb_names(info.value)[1] == ("src/tools/common/siteward", "tools.common.siteward.siteward")


@pytest.mark.parametrize("func", [int, str, type, Ellipsis, NotImplemented, True, print])
def test_builtins_have_no_source(func):
    # Objects of the interpreter's own, wherever they lie in memory: each is
    # handed to getfile, whose error passes through.
    with pytest.raises(TypeError) as info:
        siteward(func=func)
    with pytest.raises(TypeError) as direct:
        inspect.getfile(func)
    assert str(info.value) == str(direct.value)


def test_path_like_whose_fspath_raises():
    class Bad:
        def __fspath__(self):
            raise OSError("refused")

    with pytest.raises(OSError, match="^refused$"):
        siteward(Bad())


def test_os_fspath_objects_are_accepted():
    class P(os.PathLike):
        def __fspath__(self):
            return "/q/r/s"

    assert siteward(P()) == Path("/q/r")
