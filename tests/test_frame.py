"""What every deliverable shares: import rules, function objects, argument
binding and its messages, type tests and traceback entries."""

import importlib
import importlib.util
import inspect
import re
import shutil
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

from conftest import FAILED_TABLES_IMPORT, SUPPORT, run_python, tb_names

import tools.common.siteward as siteward_module
from tools.common.siteward import siteward

DELIVERABLES = {
    "quillmark": "tools.common.quillmark",
    "tables": "tools.tables.tables",
    "murkfold": "tools.common.murkfold",
    "starveil": "tools.common.starveil",
    "dawnlog": "tools.dawnlog.dawnlog",
    "siteward": "tools.common.siteward",
}


def target(module, path):
    """The object at dotted `path` in `module`, or a skip if the module is
    not part of this build."""
    try:
        obj = importlib.import_module(module)
    except ImportError as exc:
        pytest.skip(f"{module} not importable here: {exc}")
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


# ---- argument binding -------------------------------------------------------

NONSTR = object()

# (module, function path, args, kwargs, message)
BINDING = [
    ("tools.common.siteward", "siteward", (1, 2, 3), {},
     "siteward() takes at most 2 positional arguments (3 given)"),
    ("tools.common.siteward", "siteward", (1,), {"file": 2},
     "siteward() got multiple values for keyword argument 'file'"),
    ("tools.common.siteward", "siteward", (), {"path": 1},
     "siteward() got an unexpected keyword argument 'path'"),
    ("tools.common.siteward", "siteward", (1,), {"func": 2, "file": 3},
     "siteward() got multiple values for keyword argument 'file'"),
    ("tools.common.murkfold", "murkfold", (1, 2), {},
     "murkfold() takes at most 1 positional argument (2 given)"),
    ("tools.common.starveil", "starveil", (1, 2, 3), {},
     "starveil() takes at most 2 positional arguments (3 given)"),
    ("tools.dawnlog.dawnlog", "dawnlog", ("a", "b", "c", "d"), {},
     "dawnlog() takes at most 3 positional arguments (4 given)"),
    ("tools.common.quillmark", "Quillmark.get_name", (), {},
     "get_name() takes exactly 2 positional arguments (0 given)"),
    ("tools.common.quillmark", "Quillmark.get_name", (), {"attr": "x"},
     "get_name() takes exactly 2 positional arguments (0 given)"),
    ("tools.common.quillmark", "Quillmark.get_name", (1,), {},
     "get_name() takes exactly 2 positional arguments (1 given)"),
    ("tools.common.quillmark", "Quillmark.get_name", (1, "a", 3), {},
     "get_name() takes exactly 2 positional arguments (3 given)"),
    ("tools.common.quillmark", "Quillmark.set_attribute", (1, "a"), {},
     "set_attribute() takes exactly 3 positional arguments (2 given)"),
    ("tools.common.quillmark", "Quillmark.get_name", (1,), {"obj": 2},
     "get_name() got multiple values for keyword argument 'obj'"),
    ("tools.common.quillmark", "Quillmark.get_name", (1, "a"), {"value": 2},
     "get_name() got an unexpected keyword argument 'value'"),
    ("tools.tables.tables", "Table.columns.fget", (1, 2), {},
     "columns() takes exactly 1 positional argument (2 given)"),
    ("tools.tables.tables", "Table.columns.fget", (), {},
     "columns() takes exactly 1 positional argument (0 given)"),
    ("tools.tables.tables", "Table.__init__.__wrapped__", (), {},
     "__init__() takes at least 1 positional argument (0 given)"),
    ("tools.tables.tables", "Table.__init__.__wrapped__", (1, 2, 3), {},
     "__init__() takes at most 2 positional arguments (3 given)"),
    ("tools.tables.tables", "Table.filter.__wrapped__", (), {"include": 1},
     "filter() takes at least 1 positional argument (0 given)"),
]


@pytest.mark.parametrize("module, path, args, kwargs, message", BINDING)
def test_binding_messages(module, path, args, kwargs, message):
    f = target(module, path)
    with pytest.raises(TypeError) as info:
        f(*args, **kwargs)
    assert str(info.value) == message
    # A binding failure carries the function's traceback entry.
    name = module + "." + f.__qualname__
    assert tb_names(info.value)[-1] == ("src/" + module.replace(".", "/"), name)


@pytest.mark.parametrize("call", [
    lambda f: f(**{1: 2}),
    lambda f: f(**{"file": None, 2: 3}),
])
def test_keyword_dictionary_with_non_string_keys(call):
    with pytest.raises(TypeError) as info:
        call(siteward)
    assert str(info.value) == "keywords must be strings"


def test_vectorcall_keyword_names_must_be_strings():
    _testcapi = pytest.importorskip("_testcapi")
    with pytest.raises(TypeError) as info:
        _testcapi.pyobject_vectorcall(siteward, (None, 1), (NONSTR,))
    assert str(info.value) == "siteward() keywords must be strings"
    assert tb_names(info.value)[-1][1] == "tools.common.siteward.siteward"


class OddName(str):
    """A keyword name that is a string subclass with hostile comparisons."""

    def __eq__(self, other):
        raise RuntimeError("compared")

    def __hash__(self):
        return hash(str(self))


def test_string_subclass_keyword_binds_by_value(tmp_path):
    assert siteward(**{OddName("file"): "/a/b/c.txt"}) == Path("/a/b")
    with pytest.raises(TypeError) as info:
        siteward(**{OddName("nope"): 1})
    assert str(info.value) == "siteward() got an unexpected keyword argument 'nope'"


def test_keywords_bind_in_any_order():
    assert siteward(func=None, file="/x/y") == Path("/x")
    assert siteward(None, func=None) is None


# ---- type tests --------------------------------------------------------------

class Str(str):
    pass


@pytest.mark.parametrize("module, path, kwargs, message, note", [
    ("tools.common.starveil", "starveil", {"name": 123},
     "Argument 'name' has incorrect type (expected str, got int)", False),
    ("tools.common.starveil", "starveil", {"name": Str("x")},
     "Argument 'name' has incorrect type (expected str, got Str)", True),
    ("tools.dawnlog.dawnlog", "dawnlog", {"name": None},
     "Argument 'name' has incorrect type (expected str, got NoneType)", False),
    ("tools.dawnlog.dawnlog", "dawnlog", {"separator": Str("-")},
     "Argument 'separator' has incorrect type (expected str, got Str)", True),
    ("tools.common.quillmark", "Quillmark.get_name", {"obj": 1, "attr": b"x"},
     "Argument 'attr' has incorrect type (expected str, got bytes)", False),
])
def test_type_test_messages_note_and_no_traceback(module, path, kwargs, message, note):
    f = target(module, path)
    with pytest.raises(TypeError) as info:
        f(**kwargs)
    assert str(info.value) == message
    assert bool(getattr(info.value, "__notes__", None)) == note
    # A failed type test adds no entry of the function's own.
    assert all(not name.startswith("tools.") for _, name in tb_names(info.value))


# ---- function objects -------------------------------------------------------

def test_function_attributes():
    f = siteward
    assert f.__name__ == f.__qualname__ == "siteward"
    assert f.__module__ == "tools.common.siteward"
    assert f.__doc__ == ("\n        Siteward of given file/function.\n\n"
                         "        :param file: file object (__file__)\n"
                         "        :param func: function object (lambda _: 0)\n"
                         "        :return: 'location/if-can-be-found'\n        ")
    assert f.__defaults__ == (None, None)
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == {"file": "Path | str", "func": "Callable | Type", "return": "Path | None"}
    assert f.__globals__ is siteward_module.__dict__
    assert f.__code__.co_varnames == ("file", "func")
    assert f.__code__.co_filename == "src/tools/common/siteward"
    assert str(inspect.signature(f)) == "(file: 'Path | str' = None, func: 'Callable | Type' = None) -> 'Path | None'"


# Each function's traceback entries name it at a fixed line of its module's
# source path; binding errors add exactly that entry.
LINES = [
    ("tools.common.siteward", "siteward", 7),
    ("tools.common.murkfold", "murkfold", 13),
    ("tools.common.starveil", "starveil", 9),
    ("tools.dawnlog.dawnlog", "dawnlog", 39),
    ("tools.common.quillmark", "Quillmark.__init__", 50),
    ("tools.common.quillmark", "Quillmark.name.fget", 60),
    ("tools.common.quillmark", "Quillmark.value.fget", 69),
    ("tools.common.quillmark", "Quillmark.value.fset", 77),
    ("tools.common.quillmark", "Quillmark.exists.fget", 86),
    ("tools.common.quillmark", "Quillmark.get_name", 99),
    ("tools.common.quillmark", "Quillmark.get_attribute", 112),
    ("tools.common.quillmark", "Quillmark.set_attribute", 125),
    ("tools.common.quillmark", "Quillmark.has_attribute", 134),
    ("tools.tables.tables", "Table.__init__.__wrapped__", 12),
    ("tools.tables.tables", "Table.columns.fget", 45),
    ("tools.tables.tables", "Table.data.fget", 52),
    ("tools.tables.tables", "Table.__repr__", 62),
    ("tools.tables.tables", "Table.__str__", 65),
    ("tools.tables.tables", "Table.filter.__wrapped__", 68),
]


@pytest.mark.parametrize("module, path, line", LINES)
def test_traceback_lines_and_repr(module, path, line):
    f = target(module, path)
    with pytest.raises(TypeError) as info:
        f(*[None] * (f.__code__.co_argcount + 1))
    tb = info.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    assert (code.co_filename, code.co_name, tb.tb_lineno) == (module.replace(".", "/").replace("tools/", "src/tools/", 1),
                                                              f"{module}.{f.__qualname__}", line)
    assert f.__code__.co_firstlineno == line
    assert repr(f) == f"<function {f.__qualname__} at {id(f):#x}>"


def test_function_binds_like_the_hosts_functions():
    class Located:
        where = siteward

        def __fspath__(self):
            return "/a/b/c.txt"

    assert Located.where is siteward
    bound = Located().where
    assert isinstance(bound, types.MethodType) and bound.__func__ is siteward
    assert bound() == Path("/a/b")
    assert siteward.__get__(None, Located) is siteward


def test_function_keeps_attributes_and_pickles_by_name():
    import pickle
    assert pickle.loads(pickle.dumps(siteward)) is siteward
    siteward.extra = 1
    try:
        assert siteward.__dict__["extra"] == 1
    finally:
        del siteward.extra


@pytest.mark.parametrize("attr, good, bad, message", [
    ("__name__", "renamed", 5, "__name__ must be set to a string object"),
    ("__qualname__", "Some.renamed", None, "__qualname__ must be set to a string object"),
    ("__annotations__", {"file": "str"}, [], "__annotations__ must be set to a dict object"),
    ("__doc__", "documented", None, None),
    ("__module__", "elsewhere", 1, None),
])
def test_function_attributes_can_be_set_like_the_hosts(attr, good, bad, message):
    # As on the interpreter's own functions: names must stay strings and
    # annotations a dict; the rest take anything. Deleting the checked ones
    # is refused too.
    saved = getattr(siteward, attr)
    try:
        setattr(siteward, attr, good)
        assert getattr(siteward, attr) == good
        if message is None:
            setattr(siteward, attr, bad)
            assert getattr(siteward, attr) == bad
            return
        with pytest.raises(TypeError) as info:
            setattr(siteward, attr, bad)
        assert str(info.value) == message and getattr(siteward, attr) == good
        with pytest.raises(TypeError) as info:
            delattr(siteward, attr)
        assert str(info.value) == message
        assert siteward("/a/b") == Path("/a")    # calls still bind by the declared names
    finally:
        setattr(siteward, attr, saved)


# ---- names at call time -----------------------------------------------------

@pytest.fixture
def restore_siteward_names():
    saved = dict(siteward_module.__dict__)
    yield siteward_module
    siteward_module.__dict__.clear()
    siteward_module.__dict__.update(saved)


def test_rebound_names_are_used_at_the_next_call(restore_siteward_names):
    m = restore_siteward_names
    seen = []

    class FakePath:
        def __init__(self, arg):
            seen.append(arg)
            self.parent = "parent-of-" + str(arg)

        def absolute(self):
            return self

    m.Path = FakePath
    assert siteward("x") == "parent-of-x"
    m.getfile = lambda obj: "from-getfile"
    assert siteward(func=len) == "parent-of-from-getfile"
    assert seen == ["x", "from-getfile"]


@pytest.mark.parametrize("deleted, kwargs, missing", [
    (["Path"], {"file": "x"}, "Path"),
    (["getfile"], {"func": len}, "getfile"),
    (["Path", "getfile"], {"func": len}, "Path"),
])
def test_deleted_names_raise_name_error(restore_siteward_names, deleted, kwargs, missing):
    for name in deleted:
        delattr(restore_siteward_names, name)
    with pytest.raises(NameError) as info:
        siteward(**kwargs)
    assert str(info.value) == f"name '{missing}' is not defined"
    assert tb_names(info.value)[-1] == ("src/tools/common/siteward", "tools.common.siteward.siteward")


def test_names_fall_back_to_builtins(restore_siteward_names):
    import builtins
    del restore_siteward_names.Path
    builtins.Path = lambda arg: types.SimpleNamespace(parent="builtin")
    try:
        assert siteward("x") == "builtin"
    finally:
        del builtins.Path


def test_traceback_entry_has_module_globals():
    with pytest.raises(TypeError) as info:
        siteward(1)
    tb = info.value.__traceback__
    while tb.tb_frame.f_code.co_name != "tools.common.siteward.siteward":
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is siteward_module.__dict__


# ---- modules ----------------------------------------------------------------

def test_module_namespace():
    d = siteward_module.__dict__
    assert list(d) == ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                       "__builtins__", "Path", "getfile", "Callable", "Type", "siteward", "__test__"]
    import builtins
    assert d["__builtins__"] is builtins
    assert d["__doc__"] is None and d["__test__"] == {}
    assert d["__package__"] == "tools.common"
    assert d["__file__"] == siteward_module.__spec__.origin


# What a function kept past a failed exec does when called: each line is
# printed before and after a later successful import.
KEPT_CALLS = """
    def outcome(call):
        try:
            return repr(call())
        except Exception as e:
            tb = e.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            own = tb.tb_frame.f_globals is kept[0].__globals__
            return f"{type(e).__name__}: {e} (own globals: {own})"
    def report():
        for name, call in calls:
            print(name, outcome(call))
    report()
    import {module} as again
    report()
    print(kept[0].__globals__ is not again.__dict__, {works})
"""


@pytest.mark.parametrize("setup, calls, module, works, expected", [
    # The outside decorator keeps __init__ and filter, then fails the import.
    (FAILED_TABLES_IMPORT + textwrap.dedent("""
        del sys.modules["logger"]
        class T:
            _Table__columns = ["a"]
            _Table__data = [{"a": 1}]
     """),
     """[("init()", lambda: kept[0]()), ("init(T(), 1)", lambda: kept[0](T(), 1)),
         ("init(T(), {})", lambda: kept[0](T(), {})), ("filter(T())", lambda: kept[1](T()))]""",
     "tools.tables.tables", "str(again.Table({'columns': ['a'], 'data': [{'a': 1}]}).filter())",
     ["init() TypeError: __init__() takes at least 1 positional argument (0 given) (own globals: True)",
      "init(T(), 1) TypeError: Argument 'table' has incorrect type (expected dict, got int) (own globals: False)",
      "init(T(), {}) KeyError: 'Parameter \"columns\" not found' (own globals: True)",
      "filter(T()) NameError: name 'Table' is not defined (own globals: True)"] * 2
     + ["True {'columns': ['a'], 'data': [{'a': 1}]}"]),
    # A replaced built-in staticmethod keeps the static members.
    ("""
        import builtins
        kept, real = [], builtins.staticmethod
        def keep(f):
            if getattr(f, "__module__", "") != "tools.common.quillmark":
                return real(f)
            kept.append(f)
            if len(kept) == 2:
                raise RuntimeError("refused")
            return real(f)
        builtins.staticmethod = keep
        try:
            import tools.common.quillmark
        except RuntimeError:
            pass
        builtins.staticmethod = real
        class T:
            x = 1
     """,
     """[("get_name", lambda: kept[0](T(), "__x")), ("get_name()", lambda: kept[0]()),
         ("get_attribute", lambda: kept[1](T(), "x"))]""",
     "tools.common.quillmark", "again.Quillmark(T(), 'x').value",
     ["get_name '_T__x'",
      "get_name() TypeError: get_name() takes exactly 2 positional arguments (0 given) (own globals: True)",
      "get_attribute NameError: name 'Quillmark' is not defined (own globals: True)"] * 2 + ["True 1"]),
])
def test_functions_kept_past_a_failed_exec_use_their_own_dictionary(setup, calls, module, works, expected):
    code = textwrap.dedent(setup) + "calls = " + textwrap.dedent(calls).strip() + "\n"
    code += textwrap.dedent(KEPT_CALLS).replace("{module}", module).replace("{works}", works)
    assert run_python(code).stdout.splitlines() == expected


@pytest.mark.parametrize("first_at", ["lower", "higher"])
def test_exec_of_a_second_module_object_is_refused(first_at):
    # Two module objects made from the same definition: once one has been
    # executed, the other cannot be, wherever either lies in memory.
    out = run_python(f"""
        import _imp, importlib.util
        spec = importlib.util.find_spec("tools.common.siteward")
        first, second = sorted((_imp.create_dynamic(spec), _imp.create_dynamic(spec)),
                               key=id, reverse={first_at == "higher"})
        print(first is not second)
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as exc:
            print(exc)
        _imp.exec_dynamic(first)   # the held one again: nothing happens
        print(_imp.create_dynamic(spec) is first, first.siteward("/a/b"))
    """).stdout
    assert out.splitlines() == [
        "True", "Module 'siteward' has already been imported. Re-initialisation is not supported.", "True /a"]


def test_create_step_copies_from_the_spec():
    # What the spec has is copied (__path__ only when it lists locations);
    # what it lacks is skipped; any other failure reading it fails the step.
    out = run_python("""
        import _imp, importlib.util
        real = importlib.util.find_spec("tools.common.siteward")
        class Spec:
            name, origin, loader = "tools.common.siteward", real.origin, real.loader
            parent, submodule_search_locations = "tools.common", ["/somewhere"]
        class Bare:
            name, origin = "tools.common.siteward", real.origin
        class Failing(Spec):
            @property
            def parent(self):
                raise LookupError("no parent")
        m = _imp.create_dynamic(Spec())
        print(m.__name__, m.__path__, m.__package__, m.__file__ == real.origin, m.__loader__ is real.loader)
        m = _imp.create_dynamic(Bare())
        print(hasattr(m, "__path__"), m.__package__, m.__loader__, m.__file__ == real.origin)
        try:
            _imp.create_dynamic(Failing())
        except LookupError as exc:
            print("LookupError:", exc)
    """).stdout
    assert out.splitlines() == ["tools.common.siteward ['/somewhere'] tools.common True True", "False None None True",
                                "LookupError: no parent"]


@pytest.mark.parametrize("module, name", [("tools.dawnlog.dawnlog", "print"), ("tools.common.quillmark", "object")])
def test_builtin_fixed_at_import_is_missing(module, name):
    # Taken from the builtins once, at import: without it the import fails,
    # and succeeds again once it is back.
    out = run_python(f"""
        import builtins, importlib, sys, typing, os, datetime, getpass, socket, platform
        saved = getattr(builtins, {name!r})
        delattr(builtins, {name!r})
        try:
            importlib.import_module({module!r})
        except NameError as exc:
            message = str(exc)
        setattr(builtins, {name!r}, saved)
        print(message, {module!r} in sys.modules)
        print(importlib.import_module({module!r}).__name__)
    """).stdout
    assert out.splitlines() == [f"name '{name}' is not defined False", module]


def test_module_name_deleted_while_the_body_runs():
    # As in a class statement, __module__ is the name `__name__` as it stands
    # (the builtins' once the module's is gone); a function's __module__ is
    # only ever its globals' (None once gone).
    out = run_python(f"""
        import sys, types
        sys.path.insert(0, {SUPPORT!r})
        class Remover(types.ModuleType):
            def __getattr__(self, attr):
                if attr == "logging":
                    del sys.modules["tools.tables.tables"].__name__
                    del sys.modules["logger"]
                    import logger
                    return logger.logging
                raise AttributeError(attr)
        sys.modules["logger"] = Remover("logger")
        import tools.tables.tables as t
        print(t.Table.__module__, t.Table.__init__.__wrapped__.__module__, t.Table.columns.fget.__module__)
        import logger
        print(logger.factory_calls)
    """).stdout
    assert out.splitlines() == ["builtins None None", "['builtins', 'builtins']"]


def test_from_import_falls_back_to_the_module_table():
    out = run_python("""
        import sys, types
        import inspect, pathlib, typing  # what the module imports before typing, with the real typing
        fake = types.ModuleType("typing")
        fake.Callable = typing.Callable  # no Type attribute...
        sys.modules["typing"] = fake
        sys.modules["typing.Type"] = marker = types.ModuleType("typing.Type")  # ...but a table entry
        import tools.common.siteward as m
        print(m.Type is marker)
    """).stdout
    assert out == "True\n"


@pytest.mark.skipif(sys.platform != "linux", reason="needs mprotect on the interpreter's read-only data")
@pytest.mark.parametrize("module", ["tools.common.siteward", "tools.tables.tables"])
def test_version_check_names_the_build_and_the_runtime(module):
    # Another runtime version, faked by rewriting the interpreter's Py_Version
    # before the import: the warning names the version this build is for.
    out = run_python(f"""
        import ctypes, mmap, sys, warnings
        sys.path.insert(0, {SUPPORT!r})  # the recording logger tables needs
        version = ctypes.c_ulong.in_dll(ctypes.pythonapi, "Py_Version")
        libc = ctypes.CDLL(None)
        libc.mprotect.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)
        page = ctypes.addressof(version) & ~(mmap.PAGESIZE - 1)
        assert libc.mprotect(page, mmap.PAGESIZE, 3) == 0  # read and write
        version.value = (3 << 24) | (99 << 16) | sys.hexversion & 0xFFFF
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            import {module}
        print(*[f"{{w.category.__name__}}: {{w.message}}" for w in seen], sep="\\n")
    """).stdout
    built = "%d.%d" % sys.version_info[:2]  # the suite runs the interpreter the build is for
    assert out == (f"RuntimeWarning: compile time Python version {built} of module '{module}' "
                   "does not match runtime version 3.99\n")


def test_same_version_imports_without_a_warning():
    out = run_python("""
        import warnings
        warnings.simplefilter("error")
        import tools.common.siteward, tools.common.starveil
        print("ok")
    """).stdout
    assert out == "ok\n"


# ---- the deliverables themselves ----------------------------------------------

def deliverable_files():
    # Found as the import system finds them: an editable install keeps them
    # apart from the package's Python files.
    specs = [importlib.util.find_spec(name) for name in DELIVERABLES.values()]
    return sorted(Path(spec.origin) for spec in specs if spec is not None)


@pytest.mark.skipif(shutil.which("nm") is None or sys.platform != "linux", reason="needs GNU nm")
def test_each_deliverable_exports_only_its_entry():
    files = deliverable_files()
    assert files, "no deliverable found"
    for lib in files:
        short = lib.name.split(".")[0]
        assert short in DELIVERABLES and DELIVERABLES[short].endswith(lib.parent.name + "." + short)
        defined = subprocess.run(["nm", "-D", "--defined-only", str(lib)], capture_output=True, text=True,
                                 check=True).stdout.split()
        names = [defined[i + 2] for i in range(0, len(defined), 3)]
        assert names == [f"PyInit_{short}"], (lib.name, names)
        every = subprocess.run(["nm", "-D", str(lib)], capture_output=True, text=True, check=True).stdout
        assert not [line for line in every.splitlines() if " u " in line], f"{lib.name} has unique symbols"
        # The Linux wheels promise glibc 2.28 (older nm prints no versions).
        glibc = [tuple(map(int, v.split("."))) for v in re.findall(r"@GLIBC_([\d.]+)", every)]
        assert max(glibc, default=()) <= (2, 28), (lib.name, max(glibc))
