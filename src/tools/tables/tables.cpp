// tools.tables.tables: Table, a container of column names and row
// dictionaries that validates its shape on construction, and its filter.
#include <cstddef>
#include <initializer_list>

#include "frame/compiler.hpp"
#include "frame/frame.hpp"
#include "frame/remember.hpp"

namespace {

using frame::Call;
using frame::Name;
using frame::Ref;
using frame::Value;

Name k_columns{"columns"}, k_data{"data"};
Name f_columns{"_Table__columns"}, f_data{"_Table__data"};
Name n_logging{"logging"}, n_name{"__name__"}, n_table_class{"Table"}, n_filter{"filter"}, n_logger{"logger"},
    n_items{"items"};
Name t_empty{""}, t_table_open{"Table("}, t_close{")"}, t_row_open{"Parameter \"data\"["},
    t_column_open{"][\""}, t_column_close{"\"] not found"};
frame::KwNames kw_prefix{"prefix"}, kw_table_logger{"table", "logger"};

// ---- messages, built off the hot path ---------------------------------------

// The pieces joined into one text, raised as the only argument of `type`.
FRAME_COLD FRAME_NOINLINE void raise_joined(PyObject* type, std::initializer_list<PyObject*> pieces) {
  Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!parts) return;
  Py_ssize_t i = 0;
  for (PyObject* p : pieces) PyTuple_SET_ITEM(parts.get(), i++, Py_NewRef(p));
  Ref text = Ref::steal(PyUnicode_Join(t_empty, parts.get()));
  if (text) PyErr_SetObject(type, text.get());
}

FRAME_COLD FRAME_NOINLINE void key_missing(PyObject* key) {
  Ref text = Ref::steal(PyUnicode_FromFormat("Parameter \"%U\" not found", key));
  if (text) PyErr_SetObject(PyExc_KeyError, text.get());
}

FRAME_COLD FRAME_NOINLINE void not_a_list(PyObject* key) {
  Ref text = Ref::steal(PyUnicode_FromFormat("Parameter \"%U\" is not a \"list\"", key));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

FRAME_COLD FRAME_NOINLINE void row_error(PyObject* type, Py_ssize_t position, const char* what) {
  Ref text = Ref::steal(PyUnicode_FromFormat("Parameter \"data\"[%zd] %s", position, what));
  if (text) PyErr_SetObject(type, text.get());
}

FRAME_COLD FRAME_NOINLINE void column_missing(Py_ssize_t position, PyObject* column) {
  // The column's own __format__ may run here; the caller holds `column`.
  Ref where = Ref::steal(PyUnicode_FromFormat("%zd", position));
  if (!where) return;
  Ref name = Ref::steal(PyObject_Format(column, t_empty));
  if (!name) return;
  raise_joined(PyExc_Exception, {t_row_open, where.get(), t_column_open, name.get(), t_column_close});
}

// ---- iteration ----------------------------------------------------------------

// Walks `seq` as `for x in seq` does, handing each element to `each` with a
// reference held. Exact lists are walked by index, re-reading the size after
// every element, exactly as their iterator does. `each` returns false with an
// exception set to stop the walk.
template <class Each>
bool walk(PyObject* seq, Each&& each) {
  if (PyList_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      Ref element = Ref::borrow(PyList_GET_ITEM(seq, i));
      if (!each(element.get(), false)) return false;
    }
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(seq));
  if (!it) return false;
  while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
    if (!each(element.get(), true)) return false;
  }
  return !PyErr_Occurred();
}

// ---- construction -----------------------------------------------------------

Py_ssize_t length(PyObject* o) {
  if (PyList_CheckExact(o)) return PyList_GET_SIZE(o);
  if (PyDict_CheckExact(o)) return PyDict_GET_SIZE(o);
  return PyObject_Size(o);
}

// Step 4 of the constructor for one row at `position`. table["columns"] is
// looked up at each use, as the subscript in Python code would be: code run
// by a row or a column name may replace it. The lookup is remembered while
// the table's dictionary is watched and has not changed (remember.hpp).
bool check_row(frame::Watch& table, PyObject* row, Py_ssize_t position) {
  if (!PyDict_Check(row)) {
    row_error(PyExc_TypeError, position, "is not a \"dict\"");
    return false;
  }
  const Py_ssize_t entries = length(row);
  if (entries < 0) return false;
  Ref columns = table.item(k_columns);
  if (!columns) return false;
  const Py_ssize_t count = length(columns.get());
  if (count < 0) return false;
  if (entries != count) {
    row_error(PyExc_ValueError, position, "length not match with \"columns\" length");
    return false;
  }
  if (!(columns = table.item(k_columns))) return false;
  if (PyDict_CheckExact(row)) {
    return walk(columns.get(), [&](PyObject* column, bool) {
      int found = PyDict_Contains(row, column);
      if (found > 0) return true;
      if (found == 0) column_missing(position, column);
      return false;
    });
  }
  return walk(columns.get(), [&](PyObject* column, bool) {
    int found = PySequence_Contains(row, column);
    if (found > 0) return true;
    if (found == 0) column_missing(position, column);
    return false;
  });
}

PyObject* table_init(const Call& call) {
  PyObject* self = call[0];
  Ref table = Ref::borrow(call[1]);
  if (table.get() == Py_None) {
    Ref columns = Ref::steal(PyList_New(0));
    Ref data = Ref::steal(PyList_New(0));
    table = Ref::steal(PyDict_New());
    if (!columns || !data || !table || PyDict_SetItem(table.get(), k_columns, columns.get()) < 0 ||
        PyDict_SetItem(table.get(), k_data, data.get()) < 0)
      return nullptr;
  }
  frame::Watch source(table.get());
  for (PyObject* key : {k_columns.get(), k_data.get()}) {
    int present = PyDict_Contains(table.get(), key);
    if (present < 0) return nullptr;
    if (!present) {
      key_missing(key);
      return nullptr;
    }
    Ref value = source.item(key);
    if (!value) return nullptr;
    if (!PyList_Check(value.get())) {
      not_a_list(key);
      return nullptr;
    }
  }
  Ref data = source.item(k_data);
  if (!data) return nullptr;
  Py_ssize_t position = 0;
  if (!walk(data.get(), [&](PyObject* row, bool) { return check_row(source, row, position++); })) return nullptr;
  // Each value is looked up when it is stored: storing the columns may run a
  // subclass's __setattr__, which may change the table.
  Ref columns = source.item(k_columns);
  if (!columns || PyObject_SetAttr(self, f_columns, columns.get()) < 0) return nullptr;
  data = source.item(k_data);
  if (!data || PyObject_SetAttr(self, f_data, data.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// ---- accessors and text forms ---------------------------------------------

PyObject* table_columns(const Call& call) { return PyObject_GetAttr(call[0], f_columns); }

PyObject* table_data(const Call& call) { return PyObject_GetAttr(call[0], f_data); }

PyObject* table_repr(const Call& call) {
  Ref columns = Ref::steal(PyObject_GetAttr(call[0], f_columns));
  if (!columns) return nullptr;
  Ref text = Ref::steal(PyObject_Format(columns.get(), t_empty));
  if (!text) return nullptr;
  Ref parts = Ref::steal(PyTuple_Pack(3, t_table_open.get(), text.get(), t_close.get()));
  if (!parts) return nullptr;
  return PyUnicode_Join(t_empty, parts.get());
}

PyObject* table_str(const Call& call) {
  Ref columns = Ref::steal(PyObject_GetAttr(call[0], f_columns));
  if (!columns) return nullptr;
  Ref data = Ref::steal(PyObject_GetAttr(call[0], f_data));
  if (!data) return nullptr;
  Ref both = Ref::steal(PyDict_New());
  if (!both || PyDict_SetItem(both.get(), k_columns, columns.get()) < 0 ||
      PyDict_SetItem(both.get(), k_data, data.get()) < 0)
    return nullptr;
  return PyObject_Str(both.get());
}

// ---- filter -------------------------------------------------------------------

// True when membership of an exact string in `container` runs no code of the
// caller's and depends only on the string's text: exact strings, and exact
// lists, tuples, sets, frozensets and dicts holding only exact strings.
bool pure_container(PyObject* c) {
  if (PyUnicode_CheckExact(c)) return true;
  if (PyList_CheckExact(c) || PyTuple_CheckExact(c)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(c);
    PyObject** items = PySequence_Fast_ITEMS(c);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!PyUnicode_CheckExact(items[i])) return false;
    return true;
  }
  if (PyDict_CheckExact(c)) return frame::exact_string_keys(c);
  if (PyAnySet_CheckExact(c)) {
    // A set's own iterator runs no code of the caller's, and nothing changes
    // the set while it runs.
    Ref it = Ref::steal(PyObject_GetIter(c));
    if (!it) {        // GCOVR_EXCL_BR_LINE: only when memory runs out
      PyErr_Clear();  // GCOVR_EXCL_LINE
      return false;   // GCOVR_EXCL_LINE
    }
    while (Ref key = Ref::steal(PyIter_Next(it.get())))
      if (!PyUnicode_CheckExact(key.get())) return false;
    if (PyErr_Occurred()) {  // GCOVR_EXCL_BR_LINE: cannot fail, as above
      PyErr_Clear();         // GCOVR_EXCL_LINE
      return false;          // GCOVR_EXCL_LINE
    }
    return true;
  }
  return false;
}

// The selection test `key in include and key not in exclude`. Membership of
// an exact str in a pure container runs no Python code and depends on the
// text alone, so while a window is open (the containers found pure, nothing
// run since) each key object is decided once. The keys are compared by
// identity, borrowed: while the window is open nothing is released, so no
// key can be freed and its address taken by another.
class Selection {
 public:
  Selection(PyObject* include, PyObject* exclude) noexcept : include_(include), exclude_(exclude) {}

  // At every point where Python code may run: the containers may change.
  void code_may_run() noexcept { window_.code_may_run(); }
  // How many such points came so far.
  std::uint64_t points() const noexcept { return window_.points(); }
  // Whether testing exact-str keys runs no Python code now.
  bool trusted() noexcept {
    if (!window_.open() && pure_container(include_) && pure_container(exclude_)) {
      decided_ = 0;
      window_.open_now();
    }
    return window_.open();
  }

  // 1 selected, 0 not, -1 error.
  int test(PyObject* key) noexcept {
    if (PyUnicode_CheckExact(key) && trusted()) return decided(key);
    code_may_run();
    return decide(key);
  }

  // test() of an exact str while trusted(): runs no Python code.
  int decided(PyObject* key) noexcept {
    for (int i = 0; i < decided_; ++i)
      if (keys_[i] == key) return selected_[i];
    const int selected = decide(key);
    if (selected >= 0 && decided_ < kKeys) {
      keys_[decided_] = key;
      selected_[decided_++] = selected;
    }
    return selected;
  }

 private:
  static constexpr int kKeys = 16;

  int decide(PyObject* key) noexcept {
    int in = PySequence_Contains(include_, key);
    if (in <= 0) return in;
    int out = PySequence_Contains(exclude_, key);
    return out < 0 ? -1 : !out;
  }

  PyObject* include_;  // borrowed from the caller, who holds them
  PyObject* exclude_;
  frame::Window window_;
  int decided_ = 0;
  PyObject* keys_[kKeys];  // borrowed, compared only while the window is open
  int selected_[kKeys];
};

// A new dictionary of the row's entries that pass the selection, in the
// row's own order.
Ref filter_row(Selection& selection, PyObject* row) {
  Ref out = Ref::steal(PyDict_New());
  if (!out) return out;
  if (PyDict_CheckExact(row)) {
    const Py_ssize_t size = PyDict_GET_SIZE(row);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    // Storing an exact str runs no Python code while every key stored
    // before is one too (the row's keys are distinct, so none is replaced)
    // and no Python code has run, which could reach the new dictionary (the
    // collector lists it) and store keys of its own.
    bool exact_keys = true;
    const std::uint64_t points = selection.points();
    for (;;) {
      if (PyDict_GET_SIZE(row) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return Ref();
      }
      if (!PyDict_Next(row, &pos, &k, &v)) break;
      exact_keys = exact_keys && PyUnicode_CheckExact(k) && selection.points() == points;
      if (exact_keys && selection.trusted()) {
        // Nothing here runs Python code, so the borrowed entry stays valid.
        int selected = selection.decided(k);
        if (selected < 0 || (selected && PyDict_SetItem(out.get(), k, v) < 0)) return Ref();
        continue;
      }
      selection.code_may_run();
      Ref key = Ref::borrow(k), value = Ref::borrow(v);
      int selected = selection.test(key.get());
      if (selected < 0 || (selected && PyDict_SetItem(out.get(), key.get(), value.get()) < 0)) return Ref();
    }
    return out;
  }
  selection.code_may_run();
  if (row == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
    return Ref();
  }
  Ref items_method = Ref::steal(PyObject_GetAttr(row, n_items));
  if (!items_method) return Ref();
  Ref items = Ref::steal(PyObject_CallNoArgs(items_method.get()));
  if (!items) return Ref();
  bool ok = walk(items.get(), [&](PyObject* pair, bool) {
    selection.code_may_run();
    Ref key, value;
    if (!frame::unpack_pair(pair, key, value)) return false;
    int selected = selection.test(key.get());
    return selected >= 0 && (!selected || PyDict_SetItem(out.get(), key.get(), value.get()) == 0);
  });
  return ok ? std::move(out) : Ref();
}

PyObject* table_filter(const Call& call) {
  PyObject* self = call[0];
  Ref include = Ref::borrow(call[1]);
  Ref exclude = Ref::borrow(call[2]);
  if (include.get() == Py_None) {
    Ref columns = Ref::steal(PyObject_GetAttr(self, f_columns));
    if (!columns) return nullptr;
    include = Ref::steal(PySequence_Tuple(columns.get()));
    if (!include) return nullptr;
  }
  if (exclude.get() == Py_None) {
    exclude = Ref::steal(PyTuple_New(0));
    if (!exclude) return nullptr;
  }
  Ref table_class = call.global(n_table_class);
  if (!table_class) return nullptr;

  // Reading a field may run a subclass's attribute hooks.
  Ref source_columns = Ref::steal(PyObject_GetAttr(self, f_columns));
  if (!source_columns) return nullptr;
  Selection selection(include.get(), exclude.get());
  Ref columns = Ref::steal(PyList_New(0));
  if (!columns) return nullptr;
  if (!walk(source_columns.get(), [&](PyObject* column, bool from_iterator) {
        if (from_iterator) selection.code_may_run();
        int selected = selection.test(column);
        return selected >= 0 && (!selected || PyList_Append(columns.get(), column) == 0);
      }))
    return nullptr;

  selection.code_may_run();
  Ref source_data = Ref::steal(PyObject_GetAttr(self, f_data));
  if (!source_data) return nullptr;
  Ref data = Ref::steal(PyList_New(0));
  if (!data) return nullptr;
  if (!walk(source_data.get(), [&](PyObject* row, bool from_iterator) {
        if (from_iterator) selection.code_may_run();
        Ref filtered = filter_row(selection, row);
        return filtered && PyList_Append(data.get(), filtered.get()) == 0;
      }))
    return nullptr;

  Ref member = Ref::steal(PyObject_GetAttr(self, n_filter));
  if (!member) return nullptr;
  Ref logger = Ref::steal(PyObject_GetAttr(member.get(), n_logger));
  if (!logger) return nullptr;
  Ref table = Ref::steal(PyDict_New());
  if (!table || PyDict_SetItem(table.get(), k_columns, columns.get()) < 0 ||
      PyDict_SetItem(table.get(), k_data, data.get()) < 0)
    return nullptr;
  return frame::call(table_class.get(), {table.get(), logger.get()}, &kw_table_logger).release();
}

// ---- declarations -----------------------------------------------------------

const frame::FunctionDef init_def{
    .name = "__init__",
    .qualname = "Table.__init__",
    .params = {{"self"}, {"table", "dict[str, list[str | dict[str, Any]]]", Value::none(), &PyDict_Type}},
    .doc = "\n            Create table object from dictionary.\n\n"
           "            :param table:\n"
           "                {\n"
           "                    'columns': ['column[0].name', 'column[1].name', ...],\n"
           "                    'data': [\n"
           "                        {'column[0].name': 'row[0].column[0].value', "
           "'column[1].name': 'row[0].column[1].value', ...},\n"
           "                        {'column[0].name': 'row[1].column[0].value', "
           "'column[1].name': 'row[1].column[1].value', ...},\n"
           "                        ...\n"
           "                    ]\n"
           "                }\n            ",
    .body = table_init,
    .line = 12,
};

const frame::FunctionDef columns_def{
    .name = "columns",
    .qualname = "Table.columns",
    .params = {{"self"}},
    .returns = "list[str]",
    .return_test = &PyList_Type,
    .doc = "\n                ['column[0].name', 'column[1].name', ...]\n            ",
    .body = table_columns,
    .line = 45,
};

const frame::FunctionDef data_def{
    .name = "data",
    .qualname = "Table.data",
    .params = {{"self"}},
    .returns = "list[dict[str, Any]]",
    .return_test = &PyList_Type,
    .doc = "\n                [\n"
           "                    {'column[0].name': 'row[0].column[0].value', "
           "'column[1].name': 'row[0].column[1].value', ...},\n"
           "                    {'column[0].name': 'row[1].column[0].value', "
           "'column[1].name': 'row[1].column[1].value', ...},\n"
           "                    ...\n"
           "                ]\n            ",
    .body = table_data,
    .line = 52,
};

const frame::FunctionDef repr_def{
    .name = "__repr__",
    .qualname = "Table.__repr__",
    .params = {{"self"}},
    .returns = "str",
    .return_test = &PyUnicode_Type,
    .body = table_repr,
    .line = 62,
};

const frame::FunctionDef str_def{
    .name = "__str__",
    .qualname = "Table.__str__",
    .params = {{"self"}},
    .returns = "str",
    .return_test = &PyUnicode_Type,
    .body = table_str,
    .line = 65,
};

const frame::FunctionDef filter_def{
    .name = "filter",
    .qualname = "Table.filter",
    .params = {{"self"},
               {"include", "list[str] | tuple[str, ...]", Value::none()},
               {"exclude", "list[str] | tuple[str, ...]", Value::none()}},
    .doc = "\n            Return filtered table.\n\n"
           "            :param include: (column[0], column[1], ...) (default=$all)\n"
           "            :param exclude: (column[0], column[1], ...) (default=$none)\n"
           "            :return: filtered table\n            ",
    .body = table_filter,
    .line = 68,
};

// `@logging(prefix=__name__)` over a member: the decorator expression is
// evaluated first, then the function is made and handed to it.
bool add_logged(const frame::Module& m, frame::Class& cls, const frame::FunctionDef& def) {
  Ref factory = m.global(n_logging);
  if (!factory) return false;
  Ref prefix = m.global(n_name);
  if (!prefix) return false;
  Ref decorator = frame::call(factory.get(), {prefix.get()}, &kw_prefix);
  if (!decorator) return false;
  Ref function = m.make_function(def);
  if (!function) return false;
  return cls.add(def.name, frame::call(decorator.get(), {function.get()}));
}

bool body(const frame::Module& m) {
  if (!m.import_from("logger", {"logging"}) || !m.import_from("typing", {"Any"})) return false;
  frame::Class table(m, "Table");
  return table.slots({"__columns", "__data"})  //
         && add_logged(m, table, init_def)    //
         && table.property(columns_def)       //
         && table.property(data_def)          //
         && table.method(repr_def)            //
         && table.method(str_def)             //
         && add_logged(m, table, filter_def)  //
         && m.bind(n_table_class, table.build());
}

}  // namespace

TOOLS_MODULE(tables, "tools.tables.tables", "src/tools/tables/tables", body)
