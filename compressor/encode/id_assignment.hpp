// The id loop of encode_files and encode_named_files: each token read gets
// the id global_dict holds for it, or, new, the next free id from next_id on
// (id_allocator.hpp), entered into global_dict and inverse_dict; its record
// (package/format.hpp) then holds that id.
//
// It begins with one walk over the two dictionaries, which sets the ids in
// use aside and refuses a dictionary that gives one id to two tokens
// (repeated_ids.hpp). Then one of two loops runs, with the same dictionary
// growth in the same order and the same errors at the same points:
//
// - natively, over the distinct tokens of a FirstSightNumbering, each looked
//   up in global_dict once, in order of first sight; the records are then
//   turned into ids, and the new tokens are entered afterwards, while the id
//   stream is compressed (enter_new_tokens). That runs no code of the user's
//   only while the dictionaries hold plain entries (plain_entries()).
// - plainly, over the all_tokens list, statement by statement with generic
//   host operations, entering each new token as it comes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "compressor/encode/encoder_lines.hpp"
#include "compressor/encode/first_sight_numbering.hpp"
#include "compressor/encode/id_allocator.hpp"
#include "compressor/object.hpp"
#include "module/ref.hpp"
#include "module/traceback.hpp"

namespace ormek {

class IdAssigner {
 public:
  IdAssigner(CompressorObject* self, const Trace& trace, const EncoderLines& lines);

  // The walk over global_dict and inverse_dict. False with the error set and
  // the traceback entry added.
  bool scan_dictionaries();
  // Whether that walk found only plain entries (str keys and int ids in
  // exact dicts, and so on), which cannot change behind the native loop.
  bool plain_entries() const { return plain_entries_; }

  // The native loop: the ids of the distinct tokens of `numbering`, then its
  // records stored as those ids into `packed` (kRecordSize bytes a token);
  // the distinct tokens are released unless `keep_tokens`. A failure at a token is held, to be
  // raised by enter_new_tokens once the new tokens before it are entered, as
  // the plain loop would have left them. False (traceback added) when no
  // token could be looked at.
  bool assign_natively(FirstSightNumbering& numbering, uint8_t* packed, bool keep_tokens);
  // The native loop's ids, by token number.
  const std::vector<int32_t>& token_ids() const { return resolution_.ids; }
  // Whether the native loop stopped at a token.
  bool stopped_at_a_token() const { return static_cast<bool>(resolution_.error); }
  // The native loop's new tokens into global_dict and inverse_dict, in order
  // of first sight, then its held failure raised (none after the plain
  // loop). False with the error set and the traceback entry added.
  bool enter_new_tokens();

  // The plain loop over `tokens` (the all_tokens list) into `packed`, a view
  // of `packed_length` bytes. False with the error set and the traceback
  // entry added.
  bool assign_plainly(PyObject* tokens, uint8_t* packed, Py_ssize_t packed_length);

 private:
  // The ids of the distinct tokens of the native loop, by token number, and
  // the tokens that global_dict lacks, in order of first sight, with the
  // failure held at a token and its line.
  struct IdResolution {
    std::vector<int32_t> ids;
    std::vector<Ref> new_keys;
    std::vector<int32_t> new_ids;
    Ref error;
    int error_line = 0;
  };

  bool resolve_ids(const FirstSightNumbering& numbering);
  void fill_records(FirstSightNumbering& numbering, uint8_t* packed);
  bool enter_new_entries();
  bool take_new_id(int32_t next_id, int32_t& token_id);
  bool assign_one_id(PyObject* token, uint8_t* packed, Py_ssize_t packed_length, int32_t offset);

  CompressorObject* self_;
  const Trace& trace_;
  const EncoderLines& lines_;
  IdAllocator free_ids_;
  bool plain_entries_ = true;
  IdResolution resolution_;
};

}  // namespace ormek
