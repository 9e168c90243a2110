// tools.common.quillmark: an accessor bound to one object and one attribute
// name that reads, assigns and tests the attribute through the base object
// type's own machinery, turning private names into their stored form.
#include <cstring>
#include <utility>

#include "frame/cached.hpp"
#include "frame/frame.hpp"

namespace {

using frame::Args;
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
frame::Held g_object_getattribute, g_object_setattr, g_object_class;

PyObject* init_body(Args);
PyObject* name_body(Args);
PyObject* value_get_body(Args);
PyObject* value_set_body(Args);
PyObject* exists_body(Args);
PyObject* get_name_body(Args);
PyObject* get_attribute_body(Args);
PyObject* set_attribute_body(Args);
PyObject* has_attribute_body(Args);

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

// One call site's memory of a lookup in a type's MRO. It stands while the
// type keeps the version tag it had during the lookup: the host gives a type
// a new tag whenever a dictionary along its MRO changes (and never gives an
// old tag to a new type), and its own method cache relies on the same rule,
// holding what it found borrowed from the type's dictionary as this does.
class Lookup {
 public:
  explicit Lookup(const Name& name) noexcept : name_(name) {}

  Ref find(PyTypeObject* type) noexcept {
    const unsigned int tag = type->tp_version_tag;  // 0: none assigned (yet)
    if (tag && type == type_ && tag == tag_) return Ref::borrow(found_);
    Ref found = Ref::steal(_PyType_LookupRef(type, name_.get()));
    // The lookup itself assigns a tag to a type that had none; the result is
    // remembered once a tag was seen before the lookup and still holds after.
    if (tag && type->tp_version_tag == tag) {
      found_ = found.get();
      type_ = type;
      tag_ = tag;
    }
    return found;
  }

 private:
  const Name& name_;
  PyTypeObject* type_ = nullptr;  // compared only, never dereferenced
  unsigned int tag_ = 0;
  PyObject* found_ = nullptr;  // borrowed; may be nullptr: nothing found
};

Lookup lookup_get_name{get_name}, lookup_get_attribute{get_attribute}, lookup_set_attribute{set_attribute},
    lookup_has_attribute{has_attribute}, lookup_getattribute{dunder_getattribute}, lookup_setattr{dunder_setattr},
    lookup_class{dunder_class}, lookup_obj{field_obj}, lookup_attr{field_attr};

// getattr(cls, name). For a class whose metaclass is exactly `type` this is
// the class's own lookup: `type` is immutable and has no data descriptor under
// any name asked for here, so the host's lookup on the class would consult the
// metaclass only when the class has nothing, which the fallback covers.
Ref class_member(PyObject* cls, Lookup& lookup, PyObject* name) {
  if (Py_IS_TYPE(cls, &PyType_Type)) {
    Ref found = lookup.find(reinterpret_cast<PyTypeObject*>(cls));
    if (found) {
      descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
      return get ? Ref::steal(get(found.get(), nullptr, cls)) : std::move(found);
    }
  }
  return Ref::steal(PyObject_GetAttr(cls, name));
}

// The module-level name `Quillmark`; its lookup is remembered until the module
// dictionary or the builtins change.
frame::Cached quillmark_ref{Quillmark};

// Quillmark.<member>, through the module-level name as it stands now.
Ref routed(Lookup& lookup, PyObject* member) {
  bool unused;
  Ref cls = Ref::borrow(quillmark_ref.get(unused));
  if (!cls) return cls;
  return class_member(cls.get(), lookup, member);
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
Ref data_attribute(PyObject* obj, Lookup& lookup, PyObject* name) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    Ref found = lookup.find(type);
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

PyObject* init_body(Args args) {
  if (PyObject_SetAttr(args[0], field_obj, args[1]) < 0 || PyObject_SetAttr(args[0], field_attr, args[2]) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* name_body(Args args) {
  PyObject* self = args[0];
  Ref obj = data_attribute(self, lookup_obj, field_obj);
  if (!obj) return nullptr;
  Ref attr = data_attribute(self, lookup_attr, field_attr);
  if (!attr) return nullptr;
  Ref f = Ref::steal(PyObject_GetAttr(self, get_name));
  if (!f) return nullptr;
  PyObject* call_args[] = {obj.get(), attr.get()};
  return call_routed(f.get(), get_name_def, call_args, kw_obj_attr);
}

// Quillmark.<member>(obj=self.__obj, attr=self.__attr[, value=...]).
PyObject* routed_on_fields(PyObject* self, Lookup& lookup, PyObject* member, const FunctionDef& def,
                           PyObject* value) {
  Ref f = routed(lookup, member);
  if (!f) return nullptr;
  Ref obj = data_attribute(self, lookup_obj, field_obj);
  if (!obj) return nullptr;
  Ref attr = data_attribute(self, lookup_attr, field_attr);
  if (!attr) return nullptr;
  PyObject* call_args[] = {obj.get(), attr.get(), value};
  return call_routed(f.get(), def, call_args, value ? kw_obj_attr_value : kw_obj_attr);
}

PyObject* value_get_body(Args args) {
  return routed_on_fields(args[0], lookup_get_attribute, get_attribute, get_attribute_def, nullptr);
}

PyObject* value_set_body(Args args) {
  Ref done = Ref::steal(routed_on_fields(args[0], lookup_set_attribute, set_attribute, set_attribute_def, args[1]));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* exists_body(Args args) {
  return routed_on_fields(args[0], lookup_has_attribute, has_attribute, has_attribute_def, nullptr);
}

PyObject* get_name_body(Args args) {
  PyObject* obj = args[0];
  PyObject* attr = args[1];
  if (!is_private(attr)) return Py_NewRef(attr);
  Ref owner = PyType_Check(obj) ? Ref::borrow(obj) : data_attribute(obj, lookup_class, dunder_class);
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

// The last name worked out for get_attribute: the owner class's name and the
// attribute (held, so that their addresses stay theirs) and the result,
// interned so that lookups of it find the stored key by identity.
// Records of the deliverable, like frame::Held: never released.
struct LastName {
  PyObject *owner_name = nullptr, *attr = nullptr, *name = nullptr;
} g_last_name;

// What get_name gives for an instance whose class is an ordinary class
// (metaclass `type`, the base object's `__class__`, an exact-string name):
// its text depends on nothing but the class's name and `attr`, so the name
// worked out last time stands while both are the same objects. Empty, with
// no error, where another route is needed.
Ref remembered_name(PyObject* obj, PyObject* attr) {
  PyTypeObject* type = Py_TYPE(obj);
  if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type) || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
      type->tp_getattro != PyObject_GenericGetAttr || lookup_class.find(type).get() != g_object_class.get())
    return Ref();
  PyObject* owner_name = reinterpret_cast<PyHeapTypeObject*>(type)->ht_name;
  if (!PyUnicode_CheckExact(owner_name)) return Ref();
  if (owner_name == g_last_name.owner_name && attr == g_last_name.attr) return Ref::borrow(g_last_name.name);
  Ref stripped = stripped_name(owner_name);
  PyObject* name = stripped ? mangled(stripped.get(), attr) : nullptr;
  if (!name) {
    PyErr_Clear();  // the ordinary route meets the same failure and reports it
    return Ref();
  }
  PyUnicode_InternInPlace(&name);
  Py_XSETREF(g_last_name.owner_name, Py_NewRef(owner_name));
  Py_XSETREF(g_last_name.attr, Py_NewRef(attr));
  Py_XSETREF(g_last_name.name, name);
  return Ref::borrow(name);
}

// Quillmark.get_name(obj=obj, attr=attr), through the module-level name.
Ref routed_name(Args args) {
  Ref f = routed(lookup_get_name, get_name);
  if (!f) return f;
  if (frame::is_function(f.get(), get_name_def) && is_private(args[1]) && !PyType_Check(args[0])) {
    // Our own get_name, whose run on these arguments calls no Python code.
    Ref name = remembered_name(args[0], args[1]);
    if (name) return name;
  }
  return Ref::steal(call_routed(f.get(), get_name_def, args, kw_obj_attr));
}

PyObject* get_attribute_body(Args args) {
  Ref name = routed_name(args);
  if (!name) return nullptr;
  Ref method = class_member(g_object, lookup_getattribute, dunder_getattribute);
  if (!method) return nullptr;
  if (method.get() == g_object_getattribute.get()) {
    // What the base object's slot wrapper does, less its argument tuple; the
    // recursion check is the one its call would make.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = PyObject_GenericGetAttr(args[0], name.get());
    Py_LeaveRecursiveCall();
    return result;
  }
  return frame::call(method.get(), {args[0], name.get()}).release();
}

PyObject* set_attribute_body(Args args) {
  Ref name = routed_name(args);
  if (!name) return nullptr;
  Ref method = class_member(g_object, lookup_setattr, dunder_setattr);
  if (!method) return nullptr;
  PyObject* obj = args[0];
  if (method.get() == g_object_setattr.get() && Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr) {
    // The base object's slot wrapper refuses only targets whose type has a
    // native setter of its own; with the generic one it is the generic
    // assignment.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    int failed = PyObject_GenericSetAttr(obj, name.get(), args[2]);
    Py_LeaveRecursiveCall();
    if (failed) return nullptr;
  } else if (!frame::call(method.get(), {obj, name.get(), args[2]})) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* has_attribute_body(Args args) {
  Ref f = routed(lookup_get_attribute, get_attribute);
  if (f) {
    Ref value = Ref::steal(call_routed(f.get(), get_attribute_def, args, kw_obj_attr));
    if (value) Py_RETURN_TRUE;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  frame::traceback_here(has_attribute_def);  // the entry of the handled AttributeError
  PyErr_Clear();
  Py_RETURN_FALSE;
}


bool body() {
  if (!frame::import_from("typing", {"Any"})) return false;
  Ref object = frame::builtin(object_name);
  if (!object) return false;
  g_object.set(std::move(object));
  // Not finding them (no error is set) only turns the shortcuts off.
  g_object_getattribute.set(Ref::steal(_PyType_LookupRef(&PyBaseObject_Type, dunder_getattribute)));
  g_object_setattr.set(Ref::steal(_PyType_LookupRef(&PyBaseObject_Type, dunder_setattr)));
  g_object_class.set(Ref::steal(_PyType_LookupRef(&PyBaseObject_Type, dunder_class)));

  frame::Class cls("Quillmark");
  bool ok = cls.slots({"__obj", "__attr"}) && cls.method(init_def) && cls.property(name_def) &&
            cls.property(value_get_def, &value_set_def) && cls.property(exists_def) &&
            cls.staticmethod(get_name_def) && cls.staticmethod(get_attribute_def) &&
            cls.staticmethod(set_attribute_def) && cls.staticmethod(has_attribute_def) &&
            frame::bind(Quillmark, cls.build());
  if (ok) frame::Cached::watch();
  return ok;
}

}  // namespace

TOOLS_MODULE(quillmark, "tools.common.quillmark", "src/tools/common/quillmark", body)
