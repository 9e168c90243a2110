// tools.common.quillmark: an accessor bound to one object and one attribute
// name that reads, assigns and tests the attribute through the base object
// type's own machinery, turning private names into their stored form.
#include <cstring>
#include <utility>

#include "frame/frame.hpp"
#include "frame/remember.hpp"
#include "frame/unstable.hpp"

namespace {

using frame::Args;
using frame::Call;
using frame::FunctionDef;
using frame::KwNames;
using frame::Name;
using frame::Ref;

Name Quillmark{"Quillmark"}, object_name{"object"};
Name get_name{"get_name"}, get_attribute{"get_attribute"}, set_attribute{"set_attribute"},
    has_attribute{"has_attribute"};
Name field_obj{"_Quillmark__obj"}, field_attr{"_Quillmark__attr"};
Name dunder_class{"__class__"}, dunder_name{"__name__"}, dunder_getattribute{"__getattribute__"},
    dunder_setattr{"__setattr__"}, lstrip{"lstrip"}, underscore{"_"}, empty{""};
KwNames kw_obj_attr{"obj", "attr"}, kw_obj_attr_value{"obj", "attr", "value"};

// The `object` found in the builtins at import; its members are looked up on
// it at each call.
frame::Held g_object;
// The base object type's own members: when a lookup finds one of these, the
// bodies may do what it does without the call.
frame::Held g_object_getattribute, g_object_setattr;

PyObject* init_body(const Call&);
PyObject* name_body(const Call&);
PyObject* value_get_body(const Call&);
PyObject* value_set_body(const Call&);
PyObject* exists_body(const Call&);
PyObject* get_name_body(const Call&);
PyObject* get_attribute_body(const Call&);
PyObject* set_attribute_body(const Call&);
PyObject* has_attribute_body(const Call&);

// ---- the class's members -------------------------------------------------

const FunctionDef init_def{
    .name = "__init__",
    .qualname = "Quillmark.__init__",
    .params = {{"self"}, {"obj", "Any"}, {"attr", "str", {}, &PyUnicode_Type}},
    .body = init_body,
    .line = 50,
};

const FunctionDef name_def{
    .name = "name",
    .qualname = "Quillmark.name",
    .params = {{"self"}},
    .returns = "str",
    .return_test = &PyUnicode_Type,
    .body = name_body,
    .line = 60,
};

const FunctionDef value_get_def{
    .name = "value",
    .qualname = "Quillmark.value",
    .params = {{"self"}},
    .returns = "Any",
    .body = value_get_body,
    .line = 69,
};

const FunctionDef value_set_def{
    .name = "value",
    .qualname = "Quillmark.value",
    .params = {{"self"}, {"value", "Any"}},
    .body = value_set_body,
    .line = 77,
};

const FunctionDef exists_def{
    .name = "exists",
    .qualname = "Quillmark.exists",
    .params = {{"self"}},
    .returns = "bool",
    .body = exists_body,
    .line = 86,
};

const FunctionDef get_name_def{
    .name = "get_name",
    .qualname = "Quillmark.get_name",
    .params = {{"obj", "Any"}, {"attr", "str", {}, &PyUnicode_Type}},
    .returns = "str",
    .doc = "\n            Build attribute name.\n\n"
           "            :param obj: object instance\n"
           "            :param attr: attribute name\n"
           "            :return: attribute name (mangled, for private attributes)\n            ",
    .body = get_name_body,
    .line = 99,
};

const FunctionDef get_attribute_def{
    .name = "get_attribute",
    .qualname = "Quillmark.get_attribute",
    .params = {{"obj", "Any"}, {"attr", "str", {}, &PyUnicode_Type}},
    .returns = "Any",
    .doc = "\n            Get an attribute.\n\n"
           "            :param obj: object instance\n"
           "            :param attr: attribute name\n"
           "            :return: attribute value\n            ",
    .body = get_attribute_body,
    .line = 112,
};

const FunctionDef set_attribute_def{
    .name = "set_attribute",
    .qualname = "Quillmark.set_attribute",
    .params = {{"obj", "Any"}, {"attr", "str", {}, &PyUnicode_Type}, {"value", "Any"}},
    .doc = "\n            Set an attribute.\n\n"
           "            :param obj: object instance\n"
           "            :param attr: attribute name\n"
           "            :param value: attribute value\n"
           "            :return:\n            ",
    .body = set_attribute_body,
    .line = 125,
};

const FunctionDef has_attribute_def{
    .name = "has_attribute",
    .qualname = "Quillmark.has_attribute",
    .params = {{"obj", "Any"}, {"attr", "str", {}, &PyUnicode_Type}},
    .returns = "bool",
    .body = has_attribute_body,
    .line = 134,
};


// ---- routing --------------------------------------------------------------

// getattr(cls, name). For a class whose metaclass is exactly `type` this is
// the class's own lookup (through the interpreter's type attribute cache):
// `type` is immutable and has no data descriptor under any name asked for
// here, so the host's lookup on the class would consult the metaclass only
// when the class has nothing, which the fallback covers.
Ref class_member(PyObject* cls, PyObject* name) {
  if (Py_IS_TYPE(cls, &PyType_Type)) {
    Ref found = frame::unstable::type_lookup(reinterpret_cast<PyTypeObject*>(cls), name);
    if (found) {
      descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
      return get ? Ref::steal(get(found.get(), nullptr, cls)) : std::move(found);
    }
  }
  return Ref::steal(PyObject_GetAttr(cls, name));
}

// The module-level name `Quillmark`, its lookup remembered.
frame::Global quillmark_ref{Quillmark};

// Quillmark.<member>, through the module-level name as it stands now.
Ref routed(const Call& call, PyObject* member) {
  Ref cls = quillmark_ref.get(call.globals).value;
  if (!cls) return cls;
  return class_member(cls.get(), member);
}

// member(obj=..., attr=...[, value=...]). While the member is still this
// module's own function its body runs inline, exactly as the call would.
PyObject* call_routed(PyObject* f, const FunctionDef& def, Args args, const KwNames& kw) {
  if (frame::is_function(f, def)) return frame::call_bound(f, args);
  return PyObject_Vectorcall(f, args, 0, kw.get());
}

// ---- the mangling rule ----------------------------------------------------

// Starts with "__", but not with "___", and does not end with "__".
bool is_private(PyObject* attr) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(attr);
  if (n < 2) return false;
  const int kind = PyUnicode_KIND(attr);
  const void* data = PyUnicode_DATA(attr);
  if (PyUnicode_READ(kind, data, 0) != '_' || PyUnicode_READ(kind, data, 1) != '_') return false;
  if (n >= 3 && PyUnicode_READ(kind, data, 2) == '_') return false;
  return !(PyUnicode_READ(kind, data, n - 1) == '_' && PyUnicode_READ(kind, data, n - 2) == '_');
}

// getattr(obj, name) where the generic lookup finds a data descriptor on the
// type: calling its __get__ is all that lookup would do (an instance
// dictionary cannot shadow a data descriptor).
Ref data_attribute(PyObject* obj, PyObject* name) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    Ref found = frame::unstable::type_lookup(type, name);
    if (found) {
      descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
      if (get && PyDescr_IsData(found.get()))
        return Ref::steal(get(found.get(), obj, reinterpret_cast<PyObject*>(type)));
    }
  }
  return Ref::steal(PyObject_GetAttr(obj, name));
}

// The owner class's name after `.lstrip("_")`, as text.
Ref stripped_name(PyObject* name) {
  if (PyUnicode_CheckExact(name)) {
    // str.lstrip of an exact string, without the method call.
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    Py_ssize_t i = 0;
    while (i < n && PyUnicode_READ_CHAR(name, i) == '_') ++i;
    return i == 0 ? Ref::borrow(name) : Ref::steal(PyUnicode_Substring(name, i, n));
  }
  Ref result = Ref::steal(PyObject_CallMethodOneArg(name, lstrip, underscore));
  if (!result || PyUnicode_CheckExact(result.get())) return result;
  return Ref::steal(PyObject_Format(result.get(), empty));
}

// Writes all of `text` into `out` from index `at`.
void put(PyObject* out, Py_ssize_t at, PyObject* text) {
  const int kind = PyUnicode_KIND(out);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  if (PyUnicode_KIND(text) == kind) {
    std::memcpy(static_cast<char*>(PyUnicode_DATA(out)) + at * kind, PyUnicode_DATA(text),
                static_cast<std::size_t>(n) * kind);
  } else {
    PyUnicode_CopyCharacters(out, at, text, 0, n);  // widening; cannot fail with room made for it
  }
}

// "_" + owner + attr in one allocation. (Two strings in memory cannot
// overflow the length; PyUnicode_New refuses a size past its own limit.)
PyObject* mangled(PyObject* owner, PyObject* attr) {
  const Py_ssize_t n_owner = PyUnicode_GET_LENGTH(owner), n_attr = PyUnicode_GET_LENGTH(attr);
  Py_UCS4 max_char = PyUnicode_MAX_CHAR_VALUE(owner);
  if (PyUnicode_MAX_CHAR_VALUE(attr) > max_char) max_char = PyUnicode_MAX_CHAR_VALUE(attr);
  PyObject* out = PyUnicode_New(1 + n_owner + n_attr, max_char);
  if (!out) return nullptr;
  PyUnicode_WRITE(PyUnicode_KIND(out), PyUnicode_DATA(out), 0, '_');
  put(out, 1, owner);
  put(out, 1 + n_owner, attr);
  return out;
}

// ---- bodies ---------------------------------------------------------------

PyObject* init_body(const Call& call) {
  if (PyObject_SetAttr(call[0], field_obj, call[1]) < 0 || PyObject_SetAttr(call[0], field_attr, call[2]) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* name_body(const Call& call) {
  PyObject* self = call[0];
  Ref obj = data_attribute(self, field_obj);
  if (!obj) return nullptr;
  Ref attr = data_attribute(self, field_attr);
  if (!attr) return nullptr;
  Ref f = Ref::steal(PyObject_GetAttr(self, get_name));
  if (!f) return nullptr;
  PyObject* call_args[] = {obj.get(), attr.get()};
  return call_routed(f.get(), get_name_def, call_args, kw_obj_attr);
}

// Quillmark.<member>(obj=self.__obj, attr=self.__attr[, value=...]).
PyObject* routed_on_fields(const Call& call, PyObject* member, const FunctionDef& def, PyObject* value) {
  Ref f = routed(call, member);
  if (!f) return nullptr;
  PyObject* self = call[0];
  Ref obj = data_attribute(self, field_obj);
  if (!obj) return nullptr;
  Ref attr = data_attribute(self, field_attr);
  if (!attr) return nullptr;
  PyObject* call_args[] = {obj.get(), attr.get(), value};
  return call_routed(f.get(), def, call_args, value ? kw_obj_attr_value : kw_obj_attr);
}

PyObject* value_get_body(const Call& call) { return routed_on_fields(call, get_attribute, get_attribute_def, nullptr); }

PyObject* value_set_body(const Call& call) {
  Ref done = Ref::steal(routed_on_fields(call, set_attribute, set_attribute_def, call[1]));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* exists_body(const Call& call) { return routed_on_fields(call, has_attribute, has_attribute_def, nullptr); }

PyObject* get_name_body(const Call& call) {
  PyObject* obj = call[0];
  PyObject* attr = call[1];
  if (!is_private(attr)) return Py_NewRef(attr);
  Ref owner = PyType_Check(obj) ? Ref::borrow(obj) : data_attribute(obj, dunder_class);
  if (!owner) return nullptr;
  // The metaclass `type` answers __name__ with a data descriptor of its own,
  // which is what PyType_GetName reads.
  Ref owner_name = Py_IS_TYPE(owner.get(), &PyType_Type)
                       ? Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(owner.get())))
                       : Ref::steal(PyObject_GetAttr(owner.get(), dunder_name));
  if (!owner_name) return nullptr;
  Ref stripped = stripped_name(owner_name.get());
  if (!stripped) return nullptr;
  return mangled(stripped.get(), attr);
}

// object.<name>, looked up on the `object` found at import. The
// interpreter's own base object type is immutable (no program can set or
// delete its attributes), so when that is what was found, its members are
// the ones taken at import.
Ref object_member(PyObject* name, const frame::Held& known) {
  if (g_object.get() == reinterpret_cast<PyObject*>(&PyBaseObject_Type) && known.get()) return Ref::borrow(known);
  return class_member(g_object, name);
}

// Quillmark.get_name(obj=obj, attr=attr), through the module-level name,
// for the lookup it names. An exact string is interned, as the names written
// in source are: the interpreter's type attribute cache then finds it (it
// knows a name by its identity), where a new string misses it every time.
Ref routed_name(const Call& call) {
  Ref f = routed(call, get_name);
  if (!f) return f;
  PyObject* name = call_routed(f.get(), get_name_def, call.args, kw_obj_attr);
  if (name && PyUnicode_CheckExact(name)) PyUnicode_InternInPlace(&name);
  return Ref::steal(name);
}

PyObject* get_attribute_body(const Call& call) {
  Ref name = routed_name(call);
  if (!name) return nullptr;
  Ref method = object_member(dunder_getattribute, g_object_getattribute);
  if (!method) return nullptr;
  if (method.get() == g_object_getattribute.get()) {
    // What the base object's slot wrapper does, less its argument tuple; the
    // recursion check is the one its call would make.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = PyObject_GenericGetAttr(call[0], name.get());
    Py_LeaveRecursiveCall();
    return result;
  }
  return frame::call(method.get(), {call[0], name.get()}).release();
}

PyObject* set_attribute_body(const Call& call) {
  Ref name = routed_name(call);
  if (!name) return nullptr;
  Ref method = object_member(dunder_setattr, g_object_setattr);
  if (!method) return nullptr;
  PyObject* obj = call[0];
  if (method.get() == g_object_setattr.get() && Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr) {
    // The base object's slot wrapper refuses only targets whose type has a
    // native setter of its own; with the generic one it is the generic
    // assignment.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    int failed = PyObject_GenericSetAttr(obj, name.get(), call[2]);
    Py_LeaveRecursiveCall();
    if (failed) return nullptr;
  } else if (!frame::call(method.get(), {obj, name.get(), call[2]})) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* has_attribute_body(const Call& call) {
  Ref f = routed(call, get_attribute);
  if (f) {
    Ref value = Ref::steal(call_routed(f.get(), get_attribute_def, call.args, kw_obj_attr));
    if (value) Py_RETURN_TRUE;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  call.traceback_here();  // the entry of the handled AttributeError
  PyErr_Clear();
  Py_RETURN_FALSE;
}

bool body(const frame::Module& m) {
  if (!m.import_from("typing", {"Any"})) return false;
  Ref object = frame::builtin(object_name);
  if (!object) return false;
  g_object.set(std::move(object));
  // Not finding them (no error is set) only turns the shortcuts off.
  g_object_getattribute.set(frame::unstable::type_lookup(&PyBaseObject_Type, dunder_getattribute));
  g_object_setattr.set(frame::unstable::type_lookup(&PyBaseObject_Type, dunder_setattr));

  frame::Class cls(m, "Quillmark");
  return cls.slots({"__obj", "__attr"}) && cls.method(init_def) && cls.property(name_def) &&
            cls.property(value_get_def, &value_set_def) && cls.property(exists_def) &&
            cls.staticmethod(get_name_def) && cls.staticmethod(get_attribute_def) &&
            cls.staticmethod(set_attribute_def) && cls.staticmethod(has_attribute_def) &&
         m.bind(Quillmark, cls.build());
}

}  // namespace

TOOLS_MODULE(quillmark, "tools.common.quillmark", "src/tools/common/quillmark", body)
