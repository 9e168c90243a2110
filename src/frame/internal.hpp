// Pieces shared by the frame's own sources only.
#pragma once

#include "frame/frame.hpp"

namespace frame {

bool create_constants();
const Site& init_site() noexcept;
// An empty code object naming `name` in the module's source path.
Ref make_site_code(PyObject* name, int line) noexcept;
// Appends a traceback entry for `code` (`globals`, or the module dictionary
// in use) to the pending exception, which is kept whatever happens; with
// none pending (a callee failed without saying why) it raises SystemError.
void add_traceback(PyObject* code, PyObject* globals = nullptr) noexcept;
// SystemError for a failure that left no exception, as the interpreter says.
void missing_error() noexcept;

// The dictionary whose functions run directly (module_dict() is theirs),
// or nullptr while any call runs under a Using.
extern PyObject* g_direct;
// Direct calls running now, on any thread. While there are any, a newer
// exec's dictionary waits: its functions run under a Using until then.
extern int g_inflight;
// A newer dictionary waits for the direct calls to end.
extern bool g_pending;
// Makes the latest exec's dictionary the direct one; call when no direct
// call is running.
void settle() noexcept;

// While alive, this thread's name lookups, statements and traceback entries
// use `dict` (a function made in an earlier exec's dictionary runs under
// one, and so does each exec). Remembered lookups are off meanwhile.
class Using {
 public:
  explicit Using(PyObject* dict) noexcept;
  ~Using();
  Using(const Using&) = delete;
  Using& operator=(const Using&) = delete;

 private:
  PyObject* saved_;
};

}  // namespace frame
