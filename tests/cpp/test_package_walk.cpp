// Checks of the native walk over a package's pickle: the values and the
// dictionary entries it reads from the shapes the host's pickler writes
// (frames anywhere, memo references, batches, a window of any size), and
// that everything else ends the walk as another shape, never as a package
// read wrong.
#include <cstdio>
#include <string>
#include <vector>

#include "compressor/package/package_walk.hpp"
#include "compressor/package/pickle_emitter.hpp"
#include "compressor/package/pickle_layout.hpp"
#include "tests/cpp/check.hpp"

namespace {

namespace op = ormek::pickle_layout;

const std::string kKeys[] = {"compressed", "file_boundaries", "filenames", "global_dict",
                             "file_facts"};
using ormek::ByteWindow;
using ormek::PackageWalk;
using ormek::PickledId;
using ormek::PickledValue;
using ormek::WalkEnd;
using ormek::test::check;

struct StringSink {
  std::string out;
  bool write(const unsigned char* data, size_t size) {
    out.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
};
using Emitter = ormek::PickleEmitter<StringSink>;

uint64_t text(Emitter& e, const std::string& ascii) {
  return e.save_text(ascii.data(), 1, ascii.size());
}

struct Entry {
  std::string key;
  int64_t id;
  bool fits;
  ormek::utf8::PickledText text;
};

struct Recorder final : ormek::DictionarySink {
  std::vector<Entry> entries;
  bool entry(const unsigned char* key, size_t size, ormek::utf8::PickledText text,
             PickledId id) override {
    entries.push_back(
        {std::string(reinterpret_cast<const char*>(key), size), id.value, id.fits, text});
    return true;
  }
};

// A package as the host pickles it: names "a" and "b" + U+DCFF (a lone
// surrogate), the tokens "a" (the name's object, fetched), " ", "x" * 300
// and U+00E9, then `tokens` more; with facts, their "empty_dirs" fetch the
// token " " (`dirs` 1) or the long token (2), which the walk does not keep.
std::string package(int protocol, int tokens, bool facts, int dirs = 0) {
  StringSink sink;
  Emitter e(sink);
  e.begin(protocol);
  const std::string payload(70000, 'z');
  uint64_t name = 0, space = 0, long_token = 0;
  e.save_dict(facts ? 5 : 4, [&](size_t i) {
    text(e, kKeys[i]);
    if (i == 0) e.save_bytes(payload.data(), payload.size());
    if (i == 1) e.save_list(2, [&](size_t j) { e.save_int(j ? 70000 : 3); });
    if (i == 2)
      e.save_list(2, [&](size_t j) {
        const uint16_t surrogate[] = {'b', 0xDCFF};
        j ? e.save_text(surrogate, 2, 2) : (name = text(e, "a"));
      });
    if (i == 3)
      e.save_dict(4 + tokens, [&](size_t k) {
        const unsigned char e_acute = 0xE9;
        const int64_t ids[] = {1, 2, int64_t{1} << 40, -5};
        if (k == 0) e.save_memo_reference(name);
        if (k == 1) space = text(e, " ");
        if (k == 2) long_token = text(e, std::string(300, 'x'));
        if (k == 3) e.save_text(&e_acute, 1, 1);
        if (k >= 4) text(e, std::string("t").append(std::to_string(k - 4)));
        e.save_int(k < 4 ? ids[k] : static_cast<int64_t>(k) + 6);
      });
    if (i == 4)
      e.save_dict(dirs ? 2 : 1, [&](size_t k) {
        text(e, k ? "empty_dirs" : "version");
        if (k == 0) e.save_int(1);
        if (k == 1)
          e.save_list(1, [&](size_t) { e.save_memo_reference(dirs == 1 ? space : long_token); });
      });
  });
  e.finish();
  return sink.out;
}

int64_t read_string(void* source, uint64_t at, unsigned char* into, size_t size) {
  const auto* s = static_cast<const std::string*>(source);
  const size_t n = std::min<size_t>(size, s->size() - at);
  std::memcpy(into, s->data() + at, n);
  return static_cast<int64_t>(n);
}

WalkEnd walk(const std::string& data, PackageWalk& walked, Recorder& sink, size_t window = 64) {
  ByteWindow in(read_string, const_cast<std::string*>(&data), data.size(), window);
  return walked.walk(in, sink);
}

void check_read(const std::string& what, const std::string& data, int tokens, size_t window) {
  PackageWalk walked;
  Recorder sink;
  const bool read = walk(data, walked, sink, window) == WalkEnd::kRead;
  check(read, what + ": read");
  if (!read) return;
  const PickledValue& payload = walked.value(walked.entry(PackageWalk::kCompressed));
  check(payload.kind == PickledValue::Kind::kPayload && payload.size == 70000 &&
            walked.bytes(payload) == std::string(PackageWalk::kHeadBytes, 'z'),
        what + ": the payload located");
  const auto& names = walked.items(walked.value(walked.entry(PackageWalk::kFilenames)));
  check(names.size() == 2 && walked.value(names[1]).surrogates &&
            walked.bytes(walked.value(names[0])) == "a",
        what + ": names");
  const auto& bounds = walked.items(walked.value(walked.entry(PackageWalk::kFileBoundaries)));
  check(bounds.size() == 2 && walked.value(bounds[1]).value == 70000, what + ": boundaries");
  check(sink.entries.size() == 4u + tokens && walked.dictionary_entries() == 4u + tokens &&
            sink.entries[0].key == "a" && sink.entries[0].id == 1 &&
            sink.entries[2].key.size() == 300 && sink.entries[2].id == (1LL << 40) &&
            sink.entries[3].id == -5 && (tokens == 0 || sink.entries.back().id == tokens + 9),
        what + ": dictionary entries in order");
}

void check_shapes() {
  for (int protocol : {4, 5}) {
    for (size_t window : {16, 64, 1 << 20}) {
      std::string name = "protocol ";  // appended: GCC 12 warns falsely on "..." + std::string
      name.append(std::to_string(protocol)).append(", window ").append(std::to_string(window));
      check_read(name, package(protocol, 0, false), 0, window);
      check_read(name + ", 11996 more tokens", package(protocol, 11996, true, 1), 11996, window);
    }
  }
  PackageWalk walked;
  Recorder sink;
  check(walk(package(4, 0, true, 1), walked, sink) == WalkEnd::kRead &&
            walked.entry(PackageWalk::kFileFacts) != PackageWalk::kNone,
        "facts fetching a one-character token read");
  check(walk(package(4, 0, true, 2), walked, sink) == WalkEnd::kOtherShape,
        "facts fetching a long token: another shape");
}

// Every other shape ends the walk so, never as a package read.
void check_other_shapes() {
  const std::string good = package(4, 3, true);
  struct Case {
    const char* what;
    std::string data;
  };
  std::vector<Case> cases = {
      {"protocol 3", package(3, 0, false)},
      {"protocol 6", package(6, 0, false)},
      {"a key renamed",
       [&] {
         std::string d = good;
         d[d.find("filenames")] = 'F';
         return d;
       }()},
      {"an overlong UTF-8 name",
       [&] {
         std::string d = good;
         d.replace(d.find("b\xed\xb3\xbf"), 4, "b\xc0\xaf\x20");
         return d;
       }()},
      {"a token mapped to None",
       [&] {
         std::string d = good;
         return d.replace(d.find("\x8c\x01 \x94") + 4, 2, "N");
       }()},
      {"a memo index never stored",
       [&] {
         std::string d = good;
         d[d.find("global_dict") + 16] = static_cast<char>(200);
         return d;
       }()},
  };
  for (size_t cut = 0; cut < good.size(); cut += 7)
    cases.push_back({"cut short", good.substr(0, cut)});
  PackageWalk unchanged;
  Recorder sink;
  check(walk(good, unchanged, sink) == WalkEnd::kRead, "the unchanged package read");
  for (const Case& c : cases) {
    PackageWalk walked;
    Recorder sink;
    check(walk(c.data, walked, sink) != WalkEnd::kRead, std::string("not read: ") + c.what);
  }
}

}  // namespace

int main() {
  check_shapes();
  check_other_shapes();
  return ormek::test::report();
}
