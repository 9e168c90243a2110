// Pieces shared by the frame's own sources only.
#pragma once

#include "frame/frame.hpp"

namespace frame {

bool create_constants();
const Site& init_site() noexcept;
// An empty code object naming `name` in the module's source path.
Ref make_site_code(PyObject* name, int line) noexcept;
// Appends a traceback entry for `code` (module dictionary as globals) to the
// pending exception, which is kept whatever happens.
void add_traceback(PyObject* code) noexcept;

}  // namespace frame
