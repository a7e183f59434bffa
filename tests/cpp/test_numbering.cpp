// Checks of the token numbering: numbers by first sight over many texts of
// mixed widths, the table's growth and its long tokens, records across
// blocks, stopping part-way, the numbering thread against numbering in
// place, and the feed that hands texts to either (marks, roll-backs, texts
// kept alive until numbered, records read while numbering, a wait given
// up). The numbers are compared with a plain map over the scanner's tokens.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "compressor/encode/first_sight_numbering.hpp"
#include "compressor/encode/numbering_feed.hpp"
#include "compressor/encode/numbering_thread.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::FirstSightNumbering;
using ormek::test::check;

// A text in one code-unit width.
struct Text {
  std::vector<uint32_t> code_points;
  int kind;
  std::vector<uint8_t> units1;
  std::vector<uint16_t> units2;
  const void* data() const {
    return kind == 1   ? static_cast<const void*>(units1.data())
           : kind == 2 ? static_cast<const void*>(units2.data())
                       : static_cast<const void*>(code_points.data());
  }
};

Text make_text(std::u32string s, int kind) {
  Text t{{s.begin(), s.end()}, kind, {}, {}};
  for (uint32_t c : t.code_points) {
    t.units1.push_back(static_cast<uint8_t>(c));
    t.units2.push_back(static_cast<uint16_t>(c));
  }
  return t;
}

// What the numbering must give: each token's number by first sight.
std::vector<uint32_t> expected_records(const std::vector<Text>& texts) {
  std::map<std::u32string, uint32_t> seen;
  std::vector<uint32_t> records;
  for (const Text& t : texts) {
    ormek::scan::for_each_token(
        t.code_points.data(), t.code_points.size(), [&](size_t begin, size_t end) {
          std::u32string token(t.code_points.begin() + begin, t.code_points.begin() + end);
          auto [where, added] = seen.emplace(token, seen.size());
          records.push_back(where->second);
        });
  }
  return records;
}

std::vector<uint32_t> drained(FirstSightNumbering& numbering) {
  std::vector<uint32_t> records;
  numbering.drain_records([&](const uint32_t* numbers, size_t count) {
    records.insert(records.end(), numbers, numbers + count);
    return true;
  });
  return records;
}

std::u32string token_text(const FirstSightNumbering& numbering, size_t number) {
  const FirstSightNumbering::Token& t = numbering.token(number);
  std::u32string s;
  for (uint32_t i = 0; i < t.length; i++) {
    s += t.kind == 1   ? static_cast<const uint8_t*>(t.data)[i]
         : t.kind == 2 ? static_cast<const uint16_t*>(t.data)[i]
                       : static_cast<const uint32_t*>(t.data)[i];
  }
  return s;
}

// The tokens walked in order without entries are those token() gives.
bool walks_as_numbered(const FirstSightNumbering& numbering) {
  FirstSightNumbering::TokenWalk walk;
  bool same = true;
  for (size_t n = 0; n < numbering.distinct(); n++) {
    const FirstSightNumbering::Token t = numbering.next_token(walk);
    same = same && t.data == numbering.token(n).data && t.length == numbering.token(n).length;
  }
  return same;
}

// A token longer than a block of token text, then a short one.
std::u32string long_token() {
  std::u32string s(3 << 20, U'x');
  s.push_back(U' ');
  s.push_back(U'x');
  return s;
}

std::vector<Text> sample_texts() {
  std::u32string many;
  for (int i = 0; i < 400000; i++) {
    many.push_back(U'w');
    many.push_back(static_cast<char32_t>(U'a' + i % 26));
    many.push_back(U' ');
  }
  std::u32string distinct;
  for (int i = 0; i < 70000; i++) {  // numbers to three varint bytes
    for (char c : std::to_string(i)) distinct += static_cast<char32_t>(c);
    distinct += i % 7 ? U" " : U"\n\t";
  }
  return {make_text(U"a b  a\n", 1),
          make_text(U"\u00e9 a\u3000b", 2),          // é as in a 1-byte text; U+3000 is space
          make_text(U"\u00e9\U0001f600 \u00e9", 4),  // a token that only a 4-byte text holds
          make_text(U"", 1),
          make_text(long_token(), 1),
          make_text(many, 1),
          make_text(distinct, 2)};
}

void check_numbering_in_place() {
  const std::vector<Text> texts = sample_texts();
  FirstSightNumbering numbering;
  for (const Text& t : texts) {
    check(numbering.add_text(t.data(), t.kind, t.code_points.size(), [] { return true; }),
          "numbered");
  }
  const std::vector<uint32_t> expected = expected_records(texts);
  check(numbering.record_count() == expected.size(), "record count");
  check(token_text(numbering, 0) == U"a" && token_text(numbering, 4) == U"\n", "first tokens");
  check(token_text(numbering, 5) == U"\u00e9", "a token kept in its text's width");
  check(numbering.token(5).kind == 2, "width of a token first seen in a 2-byte text");
  check(walks_as_numbered(numbering), "tokens walked in order");
  check(drained(numbering) == expected, "numbers by first sight");
  check(numbering.record_count() == 0 && drained(numbering).empty(), "drained once");
}

void check_stop() {
  std::u32string long_text;
  for (int i = 0; i < 200000; i++) long_text += U"t ";
  const Text t = make_text(long_text, 1);
  FirstSightNumbering numbering;
  int asked = 0;
  check(!numbering.add_text(t.data(), 1, t.code_points.size(), [&] { return ++asked < 2; }),
        "stopped part-way");
  check(!numbering.out_of_memory() && asked == 2, "asked until told to stop");
  check(numbering.record_count() == 2 * FirstSightNumbering::kPollTokens,
        "stopped at the second ask");
}

void check_thread() {
  const std::vector<Text> texts = sample_texts();
  FirstSightNumbering numbering;
  ormek::NumberingThread thread(numbering);
  check(thread.start(), "thread started");
  // Some texts cut ahead, as the reading thread cuts them: the same numbers.
  std::vector<std::vector<FirstSightNumbering::Cut>> cuts(texts.size());
  for (size_t i = 0; i < texts.size(); i++) {
    const Text& t = texts[i];
    const bool cut = i % 3 != 0 &&
                     FirstSightNumbering::cut_text(t.data(), t.kind, t.code_points.size(), cuts[i]);
    check(i % 3 == 0 || cut, "cut ahead");
    check(thread.submit(t.data(), t.kind, t.code_points.size(), cut ? &cuts[i] : nullptr),
          "queued");
  }
  while (!thread.wait_until_queued_at_most(0, std::chrono::milliseconds(20))) {
  }
  check(thread.numbered() == texts.size(), "all numbered");
  thread.stop();
  check(drained(numbering) == expected_records(texts), "same numbers on the thread");

  // Stopped with work queued: it ends, and whatever it numbered is a prefix.
  FirstSightNumbering halted;
  ormek::NumberingThread busy(halted);
  busy.start();
  for (int i = 0; i < 20; i++) busy.submit(texts[5].data(), 1, texts[5].code_points.size());
  busy.stop();
  check(busy.numbered() <= 20, "stopped with work queued");
}

// A mark taken on the thread between texts, and the numbering rolled back to
// it, numbers the texts after as if those before it were all there was.
void check_roll_back() {
  const std::vector<Text> texts = sample_texts();
  FirstSightNumbering numbering;
  ormek::NumberingThread thread(numbering);
  check(thread.start(), "thread started");
  const std::vector<Text> kept(texts.begin(), texts.begin() + 3);
  for (const Text& t : kept) thread.submit(t.data(), t.kind, t.code_points.size());
  thread.submit_mark();
  for (size_t i = 3; i < texts.size(); i++)
    thread.submit(texts[i].data(), texts[i].kind, texts[i].code_points.size());
  while (!thread.wait_until_queued_at_most(0, std::chrono::milliseconds(20))) {
  }
  numbering.roll_back(thread.last_mark());
  thread.stop();
  std::vector<Text> again = kept;
  again.push_back(texts[6]);
  again.push_back(texts[0]);
  for (size_t i = 3; i < again.size(); i++)
    numbering.add_text(again[i].data(), again[i].kind, again[i].code_points.size(),
                       [] { return true; });
  check(walks_as_numbered(numbering), "tokens walked in order after a roll-back");
  check(drained(numbering) == expected_records(again), "numbers after a roll-back");
}

// A text the feed alone keeps alive once handed over: its units are freed
// when the feed drops the keeper (a read after that is caught by ASan).
using Keeper = std::shared_ptr<const Text>;

// Waits as long as it takes, or (`patience` slices) gives up.
struct Waiting {
  int patience = -1;
  template <typename WaitSlice>
  bool operator()(WaitSlice&& wait_slice) const {
    for (int slices = 0; patience < 0 || slices < patience; slices++) {
      if (wait_slice(std::chrono::milliseconds(5))) return true;
    }
    return false;
  }
};
using Feed = ormek::NumberingFeed<Keeper, Waiting>;

// Feeds `texts` in order; after text `mark_at` a mark, and the texts up to
// `forget_to` rolled back to it.
std::vector<std::weak_ptr<const Text>> feed_texts(Feed& feed, const std::vector<Text>& texts,
                                                  size_t mark_at, size_t forget_to) {
  std::vector<std::weak_ptr<const Text>> fed;
  for (size_t i = 0; i < texts.size(); i++) {
    auto kept = std::make_shared<const Text>(texts[i]);
    fed.push_back(kept);
    const void* data = kept->data();
    const int kind = kept->kind;
    const size_t length = kept->code_points.size();
    check(feed.add(data, kind, length, std::move(kept)), "fed");
    if (i == mark_at) check(feed.mark(), "marked");
    if (i == forget_to) check(feed.roll_back(), "rolled back");
  }
  return fed;
}

// The feed gives the numbers of the texts it kept, in place, on its thread
// (with and without cutting ahead), with a file forgotten part-way, and
// drops every text once numbered.
void check_feed() {
  const std::vector<Text> texts = sample_texts();
  std::vector<Text> kept(texts.begin(), texts.begin() + 3);
  kept.insert(kept.end(), texts.begin() + 5, texts.end());
  const std::vector<uint32_t> expected = expected_records(kept);
  const ormek::FeedLimits ways[] = {{size_t(-1), 0}, {0, 0}, {0, size_t(-1)}, {100000, 1 << 20}};
  for (const ormek::FeedLimits& limits : ways) {
    Feed feed(limits);
    const auto fed = feed_texts(feed, texts, 2, 4);
    check(feed.tokens() == expected.size(), "tokens counted, forgotten ones not");
    check(feed.finish() == Feed::Finish::kDone, "finished");
    check(drained(feed.numbering()) == expected, "numbers through the feed");
    bool dropped = true;
    for (const auto& text : fed) dropped = dropped && text.expired();
    check(dropped, "texts dropped once numbered");
  }
}

// Records read while the numbering goes on (those before its last mark),
// then drained from where that reading stopped, are the numbers a drain
// after the numbering gives, a file forgotten part-way included; in place
// and on the thread, the reads meeting the thread's writes in one block.
void check_final_records() {
  const std::vector<Text> texts = sample_texts();
  std::vector<Text> kept = texts;
  kept.erase(kept.begin() + 4);
  const std::vector<uint32_t> expected = expected_records(kept);
  for (const ormek::FeedLimits& limits : {ormek::FeedLimits{size_t(-1), 0}, {0, 0}}) {
    Feed feed(limits);
    FirstSightNumbering::RecordPlace place;
    std::vector<uint32_t> records;
    auto keep = [&](const uint32_t* numbers, size_t count) {
      records.insert(records.end(), numbers, numbers + count);
      return true;
    };
    for (size_t i = 0; i < texts.size(); i++) {
      check(feed.mark(), "marked");
      const Text& t = texts[i];
      check(feed.add(t.data(), t.kind, t.code_points.size(), nullptr), "fed");
      if (i == 4) check(feed.roll_back(), "rolled back");
      check(feed.numbering().read_final_records(place, keep), "read while numbering");
      check(records.size() == place.count && place.count <= feed.numbering().final_record_count(),
            "read no further than the last mark");
    }
    check(feed.finish() == Feed::Finish::kDone, "finished");
    feed.numbering().drain_records(keep, place);
    check(records == expected, "read while numbering, then drained");
  }
}

// A wait given up stops the thread and says so.
void check_wait_given_up() {
  const std::vector<Text> texts = sample_texts();
  Feed feed({0, 0}, Waiting{1});
  bool gave_up = false;
  for (int i = 0; i < 50 && !gave_up; i++) {
    gave_up = !feed.add(texts[5].data(), 1, texts[5].code_points.size(), nullptr) || !feed.wait(0);
  }
  check(gave_up, "a wait given up");
  // Given up on, the thread is stopped: nothing is left to wait for.
  check(feed.wait(0) && feed.numbering().record_count() < 50 * texts[5].code_points.size(),
        "stopped part-way");
}

}  // namespace

int main() {
  check_numbering_in_place();
  check_stop();
  check_thread();
  check_roll_back();
  check_feed();
  check_final_records();
  check_wait_given_up();
  return ormek::test::report();
}
