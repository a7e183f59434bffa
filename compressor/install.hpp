// The one entry through which the compressor adds itself to the module at
// start-up (compressor/entry.cpp calls it once the module state is filled).
#pragma once

#include <Python.h>

namespace ormek {

// Start-up's statements, at the lines of their traceback entries: its set-up
// steps at the first line, then the module's import statements one a line
// from it (install.cpp), and the test dictionary's assignment.
inline constexpr struct StartUpLines {
  int setup = 1, first_import = 1, test_dict = 1;
} kStartUpLines{};

// Readies OrmekCompressor and its functions, stores them in `module`, and runs
// the module's own statements (its imports, the test dictionary). Failures
// add the entry of `init_function` to the traceback. 0, or -1 with an
// exception set.
int install_compressor(PyObject* module, const char* init_function);

}  // namespace ormek
