// tools.common.siteward: the directory of a file, or of the source file that
// defines a function or class.
#include "frame/frame.hpp"

namespace {

using frame::Name;
using frame::Ref;
using frame::Value;

Name Path{"Path"}, getfile{"getfile"}, parent{"parent"}, absolute{"absolute"};

PyObject* siteward(const frame::Call& call) {
  PyObject* file = call[0];
  PyObject* func = call[1];
  if (file != Py_None) {
    Ref path_type = call.global(Path);
    if (!path_type) return nullptr;
    Ref path = frame::call(path_type.get(), {file});
    if (!path) return nullptr;
    return PyObject_GetAttr(path.get(), parent);
  }
  if (func != Py_None) {
    Ref path_type = call.global(Path);
    if (!path_type) return nullptr;
    Ref get_file = call.global(getfile);
    if (!get_file) return nullptr;
    Ref source = frame::call(get_file.get(), {func});
    if (!source) return nullptr;
    Ref path = frame::call(path_type.get(), {source.get()});
    if (!path) return nullptr;
    Ref absolute_path = Ref::steal(PyObject_CallMethodNoArgs(path.get(), absolute));
    if (!absolute_path) return nullptr;
    return PyObject_GetAttr(absolute_path.get(), parent);
  }
  Py_RETURN_NONE;
}

const frame::FunctionDef siteward_def{
    .name = "siteward",
    .qualname = "siteward",
    .params = {{"file", "Path | str", Value::none()}, {"func", "Callable | Type", Value::none()}},
    .returns = "Path | None",
    .doc = "\n        Siteward of given file/function.\n\n"
           "        :param file: file object (__file__)\n"
           "        :param func: function object (lambda _: 0)\n"
           "        :return: 'location/if-can-be-found'\n        ",
    .body = siteward,
    .line = 7,
};

bool body(const frame::Module& m) {
  return m.import_from("pathlib", {"Path"})         //
         && m.import_from("inspect", {"getfile"})  //
         && m.import_from("typing", {"Callable", "Type"}) && m.define(siteward_def);
}

}  // namespace

TOOLS_MODULE(siteward, "tools.common.siteward", "src/tools/common/siteward", body)
