// tools.dawnlog.dawnlog: prints a block of start-up facts once per
// environment-variable name.
#include "frame/frame.hpp"

namespace {

using frame::Call;
using frame::KwNames;
using frame::Name;
using frame::Ref;
using frame::Value;

Name os{"os"}, environ_name{"environ"}, get{"get"}, datetime{"datetime"}, now{"now"}, strftime{"strftime"},
    getuser{"getuser"}, getfqdn{"getfqdn"}, platform{"platform"}, version{"version"},
    python_implementation{"python_implementation"}, print_name{"print"};
Name mark{"true"}, date_format{"%Y-%m-%d %H:%M:%S.%f"}, dash{"-"}, newline{"\n"}, empty{""};
Name user_label{"User: "}, host_label{"Host: "}, os_label{"OS Platform: "}, version_label{"Python Version: "},
    implementation_label{"Implementation: "};
KwNames kw_aliased{"aliased"};

// The built-in print, fixed at import: later changes to the builtins do not
// reach this module (redirecting sys.stdout does).
frame::Held g_print;

PyObject* dawnlog_body(const Call& call);

const frame::FunctionDef dawnlog_def{
    .name = "dawnlog",
    .qualname = "dawnlog",
    .params = {{"prefix", "str", Value::text("app"), &PyUnicode_Type},
               {"name", "str", Value::text("main"), &PyUnicode_Type},
               {"separator", "str", Value::text(":"), &PyUnicode_Type}},
    .doc = "\n        Log Dawnlog.\n\n"
           "        :param prefix: 'app-name'\n"
           "        :param name: 'var-name'\n"
           "        :param separator: 'separator'\n"
           "        :return:\n        ",
    .body = dawnlog_body,
    .line = 39,
};


// os.environ, looked up now.
Ref environ_mapping(const Call& call) {
  Ref module = call.global(os);
  if (!module) return module;
  return Ref::steal(PyObject_GetAttr(module.get(), environ_name));
}

// One fact: what `source` gives, or the Exception it raised (after the
// exception got its traceback entry). Anything outside Exception propagates.
template <class Source>
Ref guarded(const Call& call, Source source) {
  Ref value = source();
  if (value || !PyErr_ExceptionMatches(PyExc_Exception)) return value;
  call.traceback_here();  // the caught exception gets the function's entry
  return Ref::steal(PyErr_GetRaisedException());
}

// A module-level function called now with no arguments.
Ref call_global(const Call& call, PyObject* name) {
  Ref f = call.global(name);
  if (!f) return f;
  return Ref::steal(PyObject_CallNoArgs(f.get()));
}

// label + f"{value}"
Ref labelled(PyObject* label, const Ref& value) {
  if (!value) return Ref();
  Ref text = Ref::steal(PyObject_Format(value.get(), empty));
  if (!text) return text;
  return Ref::steal(PyUnicode_Concat(label, text.get()));
}

// "-" * len(text)
Ref rule(PyObject* text) {
  const Py_ssize_t n = PyObject_Size(text);
  if (n < 0) return Ref();
  return Ref::steal(PySequence_Repeat(dash, n));
}

bool append(PyObject* lines, const Ref& line) { return line && PyList_Append(lines, line.get()) == 0; }

PyObject* dawnlog_body(const Call& call) {
  Ref var_name = Ref::steal(PyUnicode_Concat(call[0], call[2]));
  if (!var_name || !(var_name = Ref::steal(PyUnicode_Concat(var_name.get(), call[1])))) return nullptr;

  Ref env = environ_mapping(call);
  if (!env) return nullptr;
  Ref env_get = Ref::steal(PyObject_GetAttr(env.get(), get));
  if (!env_get) return nullptr;
  Ref current = frame::call(env_get.get(), {var_name.get()});
  if (!current) return nullptr;
  const int printed = PyObject_RichCompareBool(current.get(), mark, Py_EQ);
  if (printed < 0) return nullptr;
  if (printed) Py_RETURN_NONE;

  // Marked before anything is gathered: a failure below still leaves it set.
  env = environ_mapping(call);
  if (!env || PyObject_SetItem(env.get(), var_name.get(), mark) < 0) return nullptr;

  Ref lines = Ref::steal(PyList_New(0));
  if (!lines) return nullptr;

  Ref clock = call.global(datetime);
  if (!clock) return nullptr;
  Ref moment = Ref::steal(PyObject_CallMethodNoArgs(clock.get(), now));
  if (!moment) return nullptr;
  Ref date = Ref::steal(PyObject_CallMethodOneArg(moment.get(), strftime, date_format));
  if (!date) return nullptr;
  if (!append(lines.get(), rule(date.get())) || !append(lines.get(), labelled(empty, date))) return nullptr;

  Ref user = guarded(call, [&] { return call_global(call, getuser); });
  if (!append(lines.get(), labelled(user_label, user))) return nullptr;
  Ref host = guarded(call, [&] { return call_global(call, getfqdn); });
  if (!append(lines.get(), labelled(host_label, host))) return nullptr;
  Ref system = guarded(call, [&] {
    Ref f = call.global(platform);
    return f ? frame::call(f.get(), {Py_True}, &kw_aliased) : Ref();
  });
  if (!append(lines.get(), labelled(os_label, system))) return nullptr;
  Ref python = guarded(call, [&] { return call.global(version); });
  if (!append(lines.get(), labelled(version_label, python))) return nullptr;
  Ref implementation = guarded(call, [&] { return call_global(call, python_implementation); });
  Ref last = labelled(implementation_label, implementation);
  if (!last || !append(lines.get(), last.copy()) || !append(lines.get(), rule(last.get()))) return nullptr;

  Ref text = Ref::steal(PyUnicode_Join(newline, lines.get()));
  if (!text || !frame::call(g_print, {text.get()})) return nullptr;
  Py_RETURN_NONE;
}

bool body(const frame::Module& m) {
  Ref print = frame::builtin(print_name);
  if (!print) return false;
  g_print.set(std::move(print));
  return m.import_module("os")                                               //
         && m.import_from("datetime", {"datetime"})                          //
         && m.import_from("getpass", {"getuser"})                            //
         && m.import_from("socket", {"getfqdn"})                             //
         && m.import_from("platform", {"platform", "python_implementation"})  //
         && m.import_from("sys", {"version"})                                //
         && m.define(dawnlog_def);
}

}  // namespace

TOOLS_MODULE(dawnlog, "tools.dawnlog.dawnlog", "src/tools/dawnlog/dawnlog", body)
