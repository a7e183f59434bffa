// Traceback entries: the (function, file, line) frames the module adds to a
// pending exception, as the functions of its own source would show them.
//
// One way to fail a traced function:
//
//   if (!data) return kDecodePackageTrace.fail(kDecodePackageLines.compressed);
//
// adds the entry of that line and returns the failure value of whatever the
// function returns (null, -1, false or an empty Ref). A failure whose entry
// the callee has added is passed on as it is (`return nullptr;`). The one
// other form is the running line of a `with` body (run_with_block in
// host_calls.hpp).
//
// Lines: each function's statement lines are written once, as one constant
// struct beside its trace, k<Function>Lines, a field per statement holding
// the line its entry shows (the `def` line taken from the function's row);
// functions that run the same statements share one (the encoding methods'
// EncoderLines, the two reconstructors' kReconstructorLines).
//
// Naming: the trace of a Python-visible function is a constant named after
// that function, k<Function>Trace (kDecodePackageTrace for decode_package,
// kUnpickleCompressorSetStateTrace for __pyx_unpickle_OrmekCompressor__set_state);
// a helper that reports under whichever function called it takes the trace
// as a parameter (or member) named `trace`. `tb` names only real traceback
// objects.
#pragma once

#include <Python.h>

#include <type_traits>

#include "module/ref.hpp"

namespace ormek {

inline constexpr const char kFileCompressor[] = "compressor";
inline constexpr const char kFileStringsource[] = "<stringsource>";

// Appends one traceback entry (function, file, line) to the pending exception.
// Never replaces the pending exception; on internal failure the entry is
// simply left out.
void add_traceback(const char* function_name, int line, const char* file_name);

// The failure value of a traced function, whatever it returns.
struct Failure {
  constexpr operator PyObject*() const { return nullptr; }
  constexpr operator int() const { return -1; }
  constexpr operator bool() const { return false; }
  operator Ref() const { return Ref(); }
  // An enum class that names its failure kFailed.
  template <typename Outcome>
  requires std::is_enum_v<Outcome> && requires { Outcome::kFailed; }
  constexpr operator Outcome() const { return Outcome::kFailed; }
};

// A Python-visible function as it appears in tracebacks.
struct Trace {
  const char* function_name;
  const char* file_name;

  // Adds the entry of `line` and fails the function.
  [[nodiscard]] Failure fail(int line) const {
    add(line);
    return Failure{};
  }
  // Adds the entry of `line` without failing: only for the statement of a
  // `with` body, whose entry goes in before __exit__ sees the exception (see
  // run_with_block in host_calls.hpp).
  void add(int line) const { add_traceback(function_name, line, file_name); }
};

}  // namespace ormek
