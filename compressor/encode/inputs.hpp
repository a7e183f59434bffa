// The inputs of the encoding methods: encode_named_files' (path, name)
// entries judged before anything is read, and each input file read into the
// tokens (file_tokens.hpp), natively or the plain way.
//
// The plain way is the methods' own statement, with open(path, "r",
// encoding="utf-8") as f: f.read(). The native way (input_file.hpp) reads the
// file's bytes a megabyte at a time and decodes and cuts them into the
// numbering without ever making its text (utf8_cutter.hpp), which gives
// exactly the plain way's tokens. It takes a file only while the tokens are
// kept natively and the text would be cut by the module's own tokenize; a
// path, a file or a state it does not take, and a file that turns out not to
// be UTF-8, are read the plain way, which raises exactly what it raises.
// Either way the file goes through one body, take_file, as the statements of
// the `with` block.
#pragma once

#include <Python.h>

#include <vector>

#include "compressor/encode/encoder_lines.hpp"
#include "compressor/encode/file_tokens.hpp"
#include "compressor/encode/input_file.hpp"
#include "compressor/object.hpp"
#include "module/ref.hpp"
#include "module/traceback.hpp"

namespace ormek {

// One entry of encode_named_files: the path to read and the name to store.
struct NamedInput {
  Ref path;
  Ref name;
};

// encode_named_files' head: each entry of `entries` (a list, or None) unpacked
// into a path and a name, the name an exact str that decode_package can
// restore, kept in `tokens` for the package; the names together free of
// clashes (a name given twice, or one that is a directory of another), and
// the `empty_dirs` (a list, or null) and the directories with facts
// `dir_names` (a list, or null) judged among them; all before any file
// is read or the package opened. False with the error set and the traceback
// entry added.
bool take_named_inputs(PyObject* entries, PyObject* empty_dirs, PyObject* dir_names,
                       FileTokens& tokens, std::vector<NamedInput>& inputs, const Trace& trace,
                       const EncoderLines& lines);

class InputReader {
 public:
  InputReader(FileTokens& tokens, const Trace& trace, const EncoderLines& lines, bool follow_links)
      : tokens_(tokens), trace_(trace), lines_(lines), follow_links_(follow_links) {}

  // One file: read, cut, its boundary and its name; stored under
  // `stored_name`, or (null) under its base name. False with the error set
  // and the traceback entries added; a failure that __exit__ swallowed goes
  // on to the next file.
  bool read(PyObject* path, PyObject* stored_name);

 private:
  enum class Taken { kFailed, kPlain, kDone };
  Taken read_natively(PyObject* path, PyObject* stored_name, Ref& open_argument);
  Taken open_natively(PyObject* path, Ref& open_argument, InputFile& file);
  Taken read_plainly_from(InputFile& file, Ref& open_argument);
  bool read_plainly(PyObject* path, PyObject* stored_name, PyObject* open_argument);
  template <typename Text>
  Taken take_file(Text& text, PyObject* path, PyObject* stored_name, int& running_line);
  Taken read_bytes(InputFile& file);

  FileTokens& tokens_;
  const Trace& trace_;
  const EncoderLines& lines_;
  // Whether the files are opened following a link at their path.
  bool follow_links_;
};

}  // namespace ormek
