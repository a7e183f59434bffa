// The token table of token_table.hpp filled from a package's dictionary:
// restoring fills it from the inverse dict (id -> token), check_package from
// the package's "global_dict" (token -> id). It keeps, as owned references,
// the tokens the arena cannot hold, so that the host joins and reports them.
#pragma once

#include <Python.h>

#include <vector>

#include "compressor/decode/pickled_tokens.hpp"
#include "compressor/decode/token_table.hpp"
#include "module/ref.hpp"

namespace ormek {

// What a fill from the inverse dict came to.
enum class TableFill {
  kBuilt,
  kPlainLoop,  // the dict no longer matches its measure: the plain id loop runs
  kError,      // MemoryError set
};

class TokensById {
 public:
  // Whether every key of the exact dict `inverse_dict` is an exact int (so
  // that looking an id up compares ints alone) and its tokens fit the table;
  // measures the table on the way.
  static bool measure(PyObject* inverse_dict, TableShape& shape);
  // Fills the table from `inverse_dict`, measured as `shape`.
  TableFill fill(PyObject* inverse_dict, const TableShape& shape);
  // Fills the table from the exact dict `global_dict` (null: none) as the
  // inverse dict would look ids up: an exact int value in the id range names
  // its key, and a later key of an equal id wins. Tokens that are not text
  // are marked, not kept. False with the error set.
  bool fill_from_tokens(PyObject* global_dict);

  // Fills the table from a package's pickled dictionary, whose keys are
  // distinct (pickled_tokens.hpp); false, filling nothing, when its tokens
  // do not fit the table. Throws std::bad_alloc.
  bool fill_from_pickled(PickledTokens& pickled);

  const TokenTable& table() const { return table_; }
  // "".join(tokens of records [start, stop)) by the host, for records whose
  // tokens are not all text: the host's join and write then fail, or
  // succeed, exactly as over the restored list.
  Ref join_by_host(const unsigned char* payload, Py_ssize_t start, Py_ssize_t stop) const;

 private:
  bool place(uint32_t id, PyObject* token, bool replace, bool keep);
  bool hold(uint32_t at, uint32_t id, PyObject* token, TokenForm form, bool keep);
  bool lay_out(const TableShape& shape);

  TokenTable table_;
  std::vector<Ref> kept_;
};

}  // namespace ormek
