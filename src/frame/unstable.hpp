// The private and unstable parts of the interpreter's C API that the package
// uses, all here, each with why no public function serves. Every use in the
// sources goes through these names. Each was checked against CPython 3.13,
// 3.14 and 3.15 (./dev matrix builds and tests all three).
#pragma once

#include <cstdint>

#include "frame/ref.hpp"

namespace frame::unstable {

// _PyType_LookupRef: a name looked up along a type's MRO, as generic
// attribute access itself does it, through the interpreter's own type
// attribute cache. No public function looks in the type alone: getattr also
// looks in the instance and runs descriptors. quillmark routes to the base
// object's own members with it, and murkfold proves that reading the limit
// is a plain read. A new reference, or empty when nothing is found; no
// error is set, and no Python code runs (exact-str names in type
// dictionaries).
inline Ref type_lookup(PyTypeObject* type, PyObject* name) noexcept {
  return Ref::steal(_PyType_LookupRef(type, name));
}

// PyTypeObject::tp_version_tag, which the documentation reserves for the
// interpreter's own use: the version a class has now. The interpreter gives
// a class a new version at every change along its MRO (its attribute hooks
// included), never gives an old one again, and gives 0 where it keeps no
// version; its own type attribute cache is keyed by it. murkfold remembers
// what it learnt of its record's class by it, which nothing public offers
// (a type watcher reports a change only while the class has a version).
inline unsigned int type_version(PyTypeObject* type) noexcept { return type->tp_version_tag; }

// PyUnstable_Long_IsCompact: whether an int is at most one digit (|v| <
// 2**30), so its text has at most eleven characters; murkfold then knows a
// short int is within any limit of 11 or more without converting it.
inline bool long_is_compact(PyObject* exact_int) noexcept {
  return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(exact_int));
}

// PyUnstable_Long_CompactValue: the value of a compact int, read directly
// (PyLong_AsLongLongAndOverflow takes several times as long).
inline Py_ssize_t long_compact_value(PyObject* compact_int) noexcept {
  return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(compact_int));
}

// PyDictObject::ma_values, a field of the dictionary's non-limited struct:
// whether the dictionary is split, an object's instance dictionary sharing
// its keys with the other instances of its class. The interpreter keeps
// only exact-str keys in a split dictionary (one of another kind turns it
// into an ordinary dictionary first), so looking a name up in one runs no
// Python code, which no public function says without a walk over its keys.
inline bool dict_is_split(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
}

// _PyLong_NumBits: the bit length of an int, which bounds its number of
// decimal digits without converting it; the public equivalent is a call of
// int.bit_length through the object protocol. Its result type is size_t up
// to 3.14 and int64_t from 3.15; -1 with an error set only past 2**63 bits.
inline int64_t long_num_bits(PyObject* v) noexcept { return static_cast<int64_t>(_PyLong_NumBits(v)); }

}  // namespace frame::unstable
