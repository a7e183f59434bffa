// encode_files and encode_named_files: pack text files into one package (the
// compressed id stream, the cut points between the files, their names and the
// whole dictionary). encode_files stores each file under its base name;
// encode_named_files under a name its caller chose, checked first with the
// rules decode_package restores by. Both run the same statements, each method
// with traceback lines of its own (encoder_lines.hpp).
//
// One input file on its way to the package visits one file per stage:
// inputs.cpp reads it, file_tokens.cpp keeps its tokens and its boundary,
// name and facts, numbering_feed.hpp numbers its tokens by first sight,
// id_assignment.cpp gives them their ids, package/id_stream.cpp compresses
// the stream, and Encoder::run assembles the package and writes it through
// package/pickle_writer.hpp.
//
// Two ways through the same steps. The plain way materialises every token as a
// str in one list and walks it with generic host operations. The native way
// (used when nothing it relies on was replaced) never makes that list: it
// cuts each text with the native scanner, finds each occurrence in a native
// table by its code units and only touches the host dictionaries once per
// distinct token. Both give the same package, the same dictionary growth in
// the same order, and the same errors at the same points.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "compressor/encode/encoder_lines.hpp"
#include "compressor/encode/file_tokens.hpp"
#include "compressor/encode/id_assignment.hpp"
#include "compressor/encode/inputs.hpp"
#include "compressor/encode/numbered_tokens.hpp"
#include "compressor/object.hpp"
#include "compressor/package/id_stream.hpp"
#include "module/ref.hpp"

namespace ormek {

// Which token dictionary a package carries (encode_named_files'
// package_dict): the object's whole global_dict, grown by the new tokens; the
// tokens its files use, with the ids of the grown global_dict; or its own, the
// tokens numbered 1, 2, ... by first sight, the object's dictionaries neither
// read nor changed. With "used" and "own" the native way pickles that
// dictionary straight from the numbering (numbered_tokens.hpp).
enum class PackageDictionary { kWhole, kUsed, kOwn };

class Encoder {
 public:
  Encoder(CompressorObject* self, const EncodingMethod& method, PyObject* output_path,
          int32_t level, int32_t threads);

  // encode_named_files' keyword-only options: the package also carries the
  // checks and facts of its files and the empty directories `empty_dirs` (a
  // list, or None for none); each input is opened following a link at its
  // path, or not. False with the error set.
  bool keep_file_facts(PyObject* empty_dirs);
  // And the facts of directories, `dir_facts` (a list of (name, mode,
  // mtime_ns) tuples). False with the error set.
  bool keep_dir_facts(PyObject* dir_facts) { return dir_facts_.take(dir_facts); }
  void follow_links(bool follow) { follow_links_ = follow; }
  void carry_dictionary(PackageDictionary dictionary) { dictionary_ = dictionary; }

  // encode_files: the files of the list, each stored under its base name.
  PyObject* run_on_paths(PyObject* filepaths);
  // encode_named_files: (path, name) entries, each file stored under its name.
  PyObject* run_on_entries(PyObject* entries);

 private:
  PyObject* run();
  bool read_files();
  bool assign_ids(IdAssigner* ids);
  bool number_own_plainly(PyObject* tokens, uint8_t* packed, Py_ssize_t packed_length);
  bool check_record_count();
  void number_own_natively(uint8_t* packed);
  void compress_alongside();
  void drop_alongside();
  Ref number_own_in_pieces();
  void pickle_ahead(size_t expected_bytes);
  bool note_used_plainly(PyObject* tokens, const uint8_t* packed);
  Ref enter_tokens_and_compress(IdAssigner* ids);
  Ref make_package(PyObject* compressed, PyObject* dumped_dict);
  PyObject* write_package(PyObject* compressed, const TokenDictionary* tokens);

  CompressorObject* self_;
  const Trace& trace_;
  const EncoderLines& lines_;
  PyObject* output_path_;
  int32_t level_;
  int32_t threads_;
  PyObject* filepaths_ = nullptr;
  PyObject* entries_ = nullptr;
  std::vector<NamedInput> named_inputs_;
  Ref empty_dirs_;            // with checks only
  DirectoryLists dir_facts_;  // with checks only, when given
  bool follow_links_ = true;
  PackageDictionary dictionary_ = PackageDictionary::kWhole;
  // The plain way's token dictionary of the package, with "used" and "own".
  Ref package_tokens_;
  FileTokens tokens_;
  Ref packed_tokens_;
  // The frame of the package's own ids, once begun (while the files are
  // read, or after them), and where its feed stands in the records.
  std::optional<PieceCompression> alongside_;
  FirstSightNumbering::RecordPlace alongside_place_;
  bool alongside_dropped_ = false;
  // The package made while the end of that frame is made, with stand-ins for
  // the frame and the token dictionary, or what making it raised; and its
  // pickle, when it could be made then.
  Ref ahead_package_;
  Ref ahead_tokens_;
  Ref ahead_error_;
  PackageImage ahead_image_;
};

}  // namespace ormek
