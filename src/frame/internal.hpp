// Pieces shared by the frame's own sources only.
#pragma once

#include "frame/frame.hpp"

namespace frame {

bool create_constants();
const Site& init_site() noexcept;
// An empty code object naming `name` in the module's source path.
Ref make_site_code(PyObject* name, int line) noexcept;
// Appends a traceback entry for `code` in the module dictionary `globals` to
// the pending exception, which is kept whatever happens; with none pending
// (a callee failed without saying why) it raises SystemError.
void add_traceback(PyObject* code, PyObject* globals) noexcept;
// SystemError for a failure that left no exception, as the interpreter says.
void missing_error() noexcept;
// NameError "name '...' is not defined".
void name_error(PyObject* name) noexcept;

}  // namespace frame
