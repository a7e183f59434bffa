// "Is this module global still the one start-up found?" -- the one question
// every fast path asks before it stands in for a host function.
//
// Start-up records the objects behind the module globals it imported
// (g_state.original, filled by record_original_globals). A fast path is exact
// only while the function it replaces is that very object: once a user
// replaces the global (or its attribute), the plain path runs instead and
// calls whatever is there now.
//
// Two ways to ask, for two kinds of caller:
// - is_original: the caller has looked the objects up already, as its plain
//   path does, and asks about what it holds (no second lookup, so a user's
//   lookup hook runs as often as the module's own statements run it);
// - global_is_original: the caller has not, and the lookup is made here; one
//   that fails answers no and is cleared, for the plain path to meet in its
//   turn.
#pragma once

#include <Python.h>

namespace ormek {

// The host functions a fast path stands in for, by the module global and
// attribute the module's statements reach them through.
enum class Original {
  kReFindall,         // re.findall
  kPickleLoad,        // pickle.load
  kPickleDump,        // pickle.dump
  kZstdCompressor,    // zstd.ZstdCompressor
  kZstdDecompressor,  // zstd.ZstdDecompressor
  kOsPathJoin,        // os.path.join
};

// Whether `attribute` is the function start-up found for `which` and, when
// `module` is given, `module` the module global it was found on. A null
// `attribute` answers no.
bool is_original(Original which, PyObject* attribute, PyObject* module = nullptr);

// The same, looking the module global and its attribute up now.
bool global_is_original(Original which);

// Records g_state.original from the freshly imported module globals.
int record_original_globals();

}  // namespace ormek
