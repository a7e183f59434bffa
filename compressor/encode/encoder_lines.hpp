// The traceback lines of encode_files and encode_named_files. Both methods
// run the same statements: encode_named_files 86 lines further down (its
// `def` line is 131, encode_files' 45), and, after a head of four lines of
// its own that checks the names it is given, 90 lines further down. So each
// shared statement's line is written once, at encode_files', and moved.
#pragma once

#include <array>
#include <bit>

#include "compressor/function_table.hpp"
#include "module/traceback.hpp"

namespace ormek {

// The `def` line and the statements that open both methods.
struct EncoderOpeningLines {
  int binding;
  int all_tokens;
  int file_boundaries;
  int filenames;
};

// What only one of the methods runs (0 in the other).
struct EncoderOwnLines {
  // encode_named_files: the walk of its (path, name) entries, the check of
  // each name and the check of the names together.
  int iterate_entries = 0;
  int check_name = 0;
  int check_clashes = 0;
  int append_name = 0;  // encode_files: the base name
};

// The statements both methods run after that.
struct EncoderStatementLines {
  int iterate_files;
  int open_input;
  int read_and_tokenize;
  int extend_tokens;
  int append_boundary;
  int packed_tokens;
  int packed_view;
  int iterate_tokens;
  int contains;
  int new_id;
  int inverse_entry;
  int existing_id;
  int store_byte0;  // the four byte stores are this line and the next three
  int compress;
  int package;
  int open_package;
  int dump;
  int result;
};

struct EncoderLines : EncoderOpeningLines, EncoderOwnLines, EncoderStatementLines {};

// `lines` (a struct of lines alone) `by` lines further down.
template <typename Lines>
constexpr Lines moved_down(const Lines& lines, int by) {
  auto each = std::bit_cast<std::array<int, sizeof(Lines) / sizeof(int)>>(lines);
  for (int& line : each) line += by;
  return std::bit_cast<Lines>(each);
}

inline constexpr const FunctionRow& kEncodeFilesRow = function_row("encode_files");
inline constexpr const FunctionRow& kEncodeNamedFilesRow = function_row("encode_named_files");

inline constexpr EncoderOpeningLines kEncodeFilesOpening{.binding = kEncodeFilesRow.first_line,
                                                         .all_tokens = 46,
                                                         .file_boundaries = 47,
                                                         .filenames = 48};
inline constexpr EncoderStatementLines kEncodeFilesStatements{.iterate_files = 51,
                                                              .open_input = 52,
                                                              .read_and_tokenize = 53,
                                                              .extend_tokens = 54,
                                                              .append_boundary = 55,
                                                              .packed_tokens = 59,
                                                              .packed_view = 60,
                                                              .iterate_tokens = 65,
                                                              .contains = 66,
                                                              .new_id = 68,
                                                              .inverse_entry = 69,
                                                              .existing_id = 72,
                                                              .store_byte0 = 73,
                                                              .compress = 80,
                                                              .package = 84,
                                                              .open_package = 89,
                                                              .dump = 90,
                                                              .result = 92};

inline constexpr int kNamedFilesOffset =
    kEncodeNamedFilesRow.first_line - kEncodeFilesRow.first_line;
inline constexpr int kNamedFilesHead = 4;

inline constexpr EncoderLines kEncodeFilesLines{
    kEncodeFilesOpening, {.append_name = 56}, kEncodeFilesStatements};
inline constexpr EncoderLines kEncodeNamedFilesLines{
    moved_down(kEncodeFilesOpening, kNamedFilesOffset),
    {.iterate_entries = 136, .check_name = 137, .check_clashes = 139},
    moved_down(kEncodeFilesStatements, kNamedFilesOffset + kNamedFilesHead)};

// An encoding method as its statements report: its row (binding), its trace
// and the lines above.
struct EncodingMethod {
  const FunctionRow& row;
  Trace trace;
  EncoderLines lines;
};

inline constexpr EncodingMethod kEncodeFiles{kEncodeFilesRow, kEncodeFilesRow.trace(),
                                             kEncodeFilesLines};
inline constexpr EncodingMethod kEncodeNamedFiles{
    kEncodeNamedFilesRow, kEncodeNamedFilesRow.trace(), kEncodeNamedFilesLines};

}  // namespace ormek
