// Traceback entries: the (function, file, line) frames the module adds to a
// pending exception, as the functions of its own source would show them.
//
// Style: a failing host call is one line, `if (!x) return tb.fail(kLine);`,
// where `tb` names the Python-visible function and file. Line numbers are
// named constants next to the code that reports them.
#pragma once

#include <Python.h>

#include "module/ref.hpp"

namespace ormek {

inline constexpr const char kFileCompressor[] = "compressor";
inline constexpr const char kFileStringsource[] = "<stringsource>";

// Appends one traceback entry (function, file, line) to the pending exception.
// Never replaces the pending exception; on internal failure the entry is
// simply left out.
void add_traceback(const char* function_name, int line, const char* file_name);

// A Python-visible function as it appears in tracebacks.
struct Trace {
  const char* function_name;
  const char* file_name;

  void add(int line) const { add_traceback(function_name, line, file_name); }
  // Adds the entry and returns the object-result failure value.
  PyObject* fail(int line) const {
    add(line);
    return nullptr;
  }
  // Adds the entry and returns the status-result failure value.
  int fail_status(int line) const {
    add(line);
    return -1;
  }
};

}  // namespace ormek
