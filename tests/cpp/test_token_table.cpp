// Checks of the decoder's id -> token table: dense and sparse ids of mixed
// widths against a plain map, unknown ids, surrogates, equal ids, and the
// join of records through buffers smaller and larger than the tokens.
#include <map>
#include <string>
#include <vector>

#include "compressor/decode/pickled_tokens.hpp"
#include "compressor/decode/split_join.hpp"
#include "compressor/decode/token_table.hpp"
#include "tests/cpp/check.hpp"

namespace {

using namespace ormek;
using ormek::test::check;

std::string utf8_of(const std::u32string& s) {
  std::string out(s.size() * 4, '\0');
  const size_t n =
      encode_strict_utf8(s.data(), s.size(), reinterpret_cast<unsigned char*>(out.data()));
  out.resize(n == SIZE_MAX ? 0 : n);
  return out;
}

// A table of `tokens` (by id), a non-text object at `object_id` when given.
TokenTable make_table(const std::map<uint32_t, std::u32string>& tokens, int64_t object_id = -1) {
  TableShape shape;
  for (const auto& [id, text] : tokens) shape.count_text(id, utf8_bound(text.size(), 4, false));
  if (object_id >= 0) shape.count_object(static_cast<uint32_t>(object_id));
  TokenTable table;
  table.lay_out(shape, "<UNK>", 5);
  for (const auto& [id, text] : tokens) {
    table.put_text(table.slot_for(id, false), id, text.data(), text.size());
  }
  if (object_id >= 0) {
    const auto id = static_cast<uint32_t>(object_id);
    table.put_object(table.slot_for(id, false), id, 0, TokenForm::kOpaque);
  }
  return table;
}

std::string text_of(const TokenTable& table, uint32_t id) {
  const TokenEntry entry = table.entry_of(id);
  return std::string(reinterpret_cast<const char*>(table.text(entry)), entry.bytes());
}

std::vector<unsigned char> payload_of(const std::vector<uint32_t>& ids) {
  std::vector<unsigned char> payload(ids.size() * package::kRecordSize);
  for (size_t i = 0; i < ids.size(); i++) {
    package::store_record(&payload[i * package::kRecordSize], static_cast<int32_t>(ids[i]));
  }
  return payload;
}

// The join of records [from, to) through a buffer of `buffer` bytes.
std::string join_of(const TokenTable& table, const std::vector<unsigned char>& payload,
                    std::ptrdiff_t from, std::ptrdiff_t to, size_t buffer = kWriteBuffer) {
  std::string out;
  auto append = [&out](const void* data, size_t size) {
    out.append(static_cast<const char*>(data), size);
    return true;
  };
  return copy_text(table, payload.data(), from, to, append, JoinBuffer(buffer)) ? out
                                                                                : "(not text)";
}

void check_lookups() {
  const std::u32string samples[] = {U"a",
                                    U"",
                                    U"\u00e9t\u00e9",
                                    U"\u4e2d\u6587",
                                    U"\U0001F600!",
                                    U"a long token of more than sixteen bytes"};
  for (uint32_t step : {1u, 1000003u}) {  // dense ids, then sparse ones
    std::map<uint32_t, std::u32string> tokens;
    for (uint32_t i = 0; i < 60; i++) tokens[i * step] = samples[i % 6];
    const TokenTable table = make_table(tokens);
    for (const auto& [id, text] : tokens) {
      check(text_of(table, id) == utf8_of(text),
            "id " + std::to_string(id) + " step " + std::to_string(step));
    }
    for (uint32_t missing : {60 * step, 60 * step + 1, 0x7FFFFFFFu}) {
      check(text_of(table, missing) == "<UNK>", "unknown id " + std::to_string(missing));
    }
  }
}

void check_placing() {
  TableShape shape;
  shape.count_text(3, 12);
  shape.count_text(4000000, 12);
  TokenTable sparse;
  sparse.lay_out(shape, "<UNK>", 5);
  const char32_t surrogate[] = {U'x', 0xD800};
  const uint32_t at = sparse.slot_for(3, false);
  check(!sparse.put_text(at, 3, surrogate, 2), "a surrogate is no text");
  sparse.put_ascii(at, 3, "abc", 3);
  check(sparse.slot_for(3, false) == TokenTable::kNoSlot, "an equal sparse id is refused");
  check(sparse.slot_for(3, true) == at, "an equal sparse id replaces when asked");
  sparse.put_ascii(sparse.slot_for(3, true), 3, "later", 5);
  check(text_of(sparse, 3) == "later" && text_of(sparse, 4000000) == "<UNK>", "replaced token");
  check(!shape.count_text(5, kMaxTokenBytes + 1), "a token beyond the entry's limit");

  TableShape small;
  small.count_text(2, 3);
  TokenTable dense;
  dense.lay_out(small, "<UNK>", 5);
  check(dense.slot_for(3, false) == TokenTable::kNoSlot, "a dense id beyond the shape");
  check(text_of(dense, 0) == "<UNK>" && text_of(dense, 2) == "<UNK>", "unplaced dense ids");
}

void check_joins() {
  std::map<uint32_t, std::u32string> tokens = {
      {0, U"ab"}, {1, U"\u00e9"}, {2, std::u32string(40, U'\u4e2d')}, {9, U"0123456789abcdefg"}};
  const TokenTable table = make_table(tokens, 5);
  const std::vector<uint32_t> ids = {0, 2, 1, 9, 9, 7, 0, 2, 2, 1, 0};
  const std::vector<unsigned char> payload = payload_of(ids);
  std::string expected;
  for (uint32_t id : ids) expected += tokens.count(id) ? utf8_of(tokens[id]) : "<UNK>";
  const auto n = static_cast<std::ptrdiff_t>(ids.size());
  for (size_t buffer : {size_t{1}, size_t{7}, size_t{64}, kWriteBuffer}) {
    check(join_of(table, payload, 0, n, buffer) == expected,
          "join through a buffer of " + std::to_string(buffer));
  }
  int writes = 0;
  check(!copy_text(
            table, payload.data(), 0, n, [&writes](const void*, size_t) { return ++writes < 2; },
            JoinBuffer(8)) &&
            writes == 2,
        "a failed write stops the join");
  check(all_text(table, payload.data(), 0, n) &&
            text_bytes(table, payload.data(), 0, n) == static_cast<int64_t>(expected.size()),
        "all text, and its size");
  const std::vector<unsigned char> with_object = payload_of({0, 5, 1});
  // Across two threads, in pieces of three records: the pieces come back in
  // order, and a token that is not text stops the join in either thread's
  // piece (records 24 and 27: pieces 8 and 9).
  std::vector<uint32_t> many;
  std::string all;
  for (int i = 0; i < 40; i++) {
    many.insert(many.end(), ids.begin(), ids.end());
    all += expected;
  }
  std::string joined;
  auto append = [&joined](const void* data, size_t size) {
    joined.append(static_cast<const char*>(data), size);
    return true;
  };
  const auto m = static_cast<std::ptrdiff_t>(many.size());
  check(copy_text_on_two_threads(table, payload_of(many).data(), 1, m, append, JoinBuffer(7), 3) &&
            joined == all.substr(2),
        "a join over two threads");
  for (const size_t at : {size_t{24}, size_t{27}}) {
    std::vector<uint32_t> stopped = many;
    stopped[at] = 5;
    check(
        !copy_text_on_two_threads(table, payload_of(stopped).data(), 0, m, append, JoinBuffer(), 3),
        "a token that is not text at " + std::to_string(at));
  }
  check(!all_text(table, with_object.data(), 0, 3) &&
            text_bytes(table, with_object.data(), 0, 3) == -1 &&
            text_bytes(table, with_object.data(), 2, 3) == 2 &&
            join_of(table, with_object, 0, 3) == "(not text)",
        "a token that is not text");
}

// Joins of every length around the lookahead's distances over dense and
// sparse ids, through a buffer shorter than the longest tokens; record 150
// is not text (first, last or just past the records joined).
void check_joins_ahead() {
  for (const uint32_t step : {1u, 1000003u}) {
    std::map<uint32_t, std::u32string> tokens;
    for (uint32_t i = 0; i < 50; i++) tokens[i * step] = std::u32string(i % 3 ? i : 1, U'a' + i);
    const TokenTable table = make_table(tokens, 60 * step);
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < 300; i++) ids.push_back(i == 150 ? 60 * step : i * 7 % 53 * step);
    const std::pair<int, int> ranges[] = {{0, 0},    {0, 1},    {5, 36},   {1, 66},  {150, 215},
                                          {86, 151}, {86, 150}, {20, 149}, {0, 300}, {171, 300}};
    for (const auto& [from, to] : ranges) {
      std::string expected;
      for (int i = from; i < to; i++)
        expected += tokens.count(ids[i]) ? utf8_of(tokens[ids[i]]) : "<UNK>";
      if (from <= 150 && 150 < to) expected = "(not text)";
      check(join_of(table, payload_of(ids), from, to, 40) == expected,
            "records " + std::to_string(from) + " to " + std::to_string(to) + ", step " +
                std::to_string(step));
    }
  }
}

// Files joined ahead come in the caller's order, over more files than the
// helper holds at once; a file too big for its slot or naming a token that
// is not text, and a file not on the list, are the caller's to join.
void check_join_ahead() {
  const TokenTable table =
      make_table({{0, U"ab"}, {1, U"\u00e9"}, {2, std::u32string(40, U'x')}}, 5);
  const std::vector<unsigned char> payload = payload_of({0, 1, 7, 2, 5});
  struct Kind {
    std::ptrdiff_t from, to;
    const char* text;  // null: left to the caller
  };
  const Kind kinds[] = {{0, 2, "ab\xc3\xa9"}, {2, 3, "<UNK>"}, {3, 4, nullptr}, {4, 5, nullptr}};
  std::vector<JoinAhead::Records> files;
  for (size_t file = 0; file < 60; file++) {
    if (file % 7 != 3) files.push_back({file, kinds[file % 4].from, kinds[file % 4].to});
  }
  JoinAhead ahead(table, payload.data(), files, 32);
  bool in_order = ahead.start();
  for (size_t file = 0; file < 60; file++) {
    const char* text = file % 7 == 3 ? nullptr : kinds[file % 4].text;
    const unsigned char* data = nullptr;
    size_t size = 0;
    const bool joined = ahead.take(file, data, size);
    in_order = in_order && joined == (text != nullptr) &&
               (!joined || std::string(reinterpret_cast<const char*>(data), size) == text);
  }
  check(in_order, "files joined ahead, in order");
  JoinAhead left(table, payload.data(), files, 32);
  const unsigned char* data = nullptr;
  size_t size = 0;
  check(left.start() && left.take(0, data, size), "a caller that stops early");
}

// The table filled from pickled entries: a later key of an equal id wins,
// ids no record names are skipped, and what the table cannot hold exactly
// (a lone surrogate, a repeated key, more than the package's bytes) is
// refused.
void check_pickled_tokens() {
  using utf8::PickledText;
  auto give = [](PickledTokens& sink, const std::string& key, int64_t id, bool fits = true,
                 PickledText text = PickledText::kText) {
    return sink.entry(reinterpret_cast<const unsigned char*>(key.data()), key.size(), text,
                      PickledId{id, fits});
  };
  for (const uint32_t base : {0u, 1u << 30}) {  // dense, then sparse ids
    PickledTokens sink(DistinctKeys(7));
    sink.expect(200);
    const bool given = give(sink, "first", base + 1) && give(sink, "beyond", -1) &&
                       give(sink, "wide", 1, false) && give(sink, "a long token, sixteen+", base) &&
                       give(sink, "later", base + 1) && give(sink, "top", int64_t{1} << 31);
    TokenTable table;
    check(given && sink.distinct() && sink.fill(table, "<UNK>", 5),
          "entries taken, base " + std::to_string(base));
    check(text_of(table, base + 1) == "later" && text_of(table, base) == "a long token, sixteen+" &&
              text_of(table, base + 2) == "<UNK>",
          "looked up as the inverse dict, base " + std::to_string(base));
  }
  PickledTokens surrogates;
  surrogates.expect(100);
  check(!give(surrogates, "\xed\xb3\xbf", 1, true, PickledText::kSurrogates),
        "a lone surrogate is left to the host");
  PickledTokens repeated(DistinctKeys(7));
  repeated.expect(100);
  check(give(repeated, "k", 1) && give(repeated, "k", 2) && !repeated.distinct(),
        "a repeated key is told");
  // Keys enough for their hashes to be stored on a thread while the walk
  // goes on: a repeat, its id named or not, is told among more keys than
  // the thread is handed at a time.
  for (const int64_t repeat_id : {int64_t{-2}, int64_t{-1}, int64_t{5000}}) {
    PickledTokens many(DistinctKeys(7));
    many.expect(size_t{2} << 20);
    bool given = true;
    for (int64_t i = 0; i < 40000; i++) {
      const bool repeat = i == 5000 && repeat_id != -2;
      given = give(many, "key" + std::to_string(repeat ? 9 : i), repeat ? repeat_id : i) && given;
    }
    check(given && many.distinct() == (repeat_id == -2),
          "keys told apart beside the walk, repeat " + std::to_string(repeat_id));
  }
  PickledTokens small;
  small.expect(8);
  check(give(small, "12345678", 1) && !give(small, "x", 2), "no more than the package holds");
}

}  // namespace

int main() {
  check_lookups();
  check_placing();
  check_joins();
  check_joins_ahead();
  check_join_ahead();
  check_pickled_tokens();
  return ormek::test::report();
}
