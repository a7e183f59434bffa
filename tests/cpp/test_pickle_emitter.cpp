// Checks of the native pickle emitter against streams the host's pickler
// wrote (protocol 4) for the same objects: their length and FNV-1a digest,
// taken once on both test hosts. Frames past 64 KiB, payloads that bypass
// them, every int form, batches and memo references are covered.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "compressor/package/pickle_emitter.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::test::check;

struct StringSink {
  std::string bytes;
  bool write(const unsigned char* data, size_t size) {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
};
using Emitter = ormek::PickleEmitter<StringSink>;

uint64_t fnv1a(const std::string& bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

template <typename Body>
std::string emitted(Body&& body) {
  StringSink sink;
  Emitter emitter(sink);
  emitter.begin(4);
  body(emitter);
  check(emitter.finish(), "the sink took every byte");
  return sink.bytes;
}

void save_ascii(Emitter& e, const std::string& text) { e.save_text(text.data(), 1, text.size()); }

void expect(const char* what, const std::string& bytes, size_t length, uint64_t digest) {
  char line[160];
  std::snprintf(line, sizeof line, "%s: %zu bytes, digest %llx", what, bytes.size(),
                static_cast<unsigned long long>(fnv1a(bytes)));
  check(bytes.size() == length && fnv1a(bytes) == digest, line);
}

// {("t%06d" % i) * 3: i for i in range(10000)}: five frames, ten batches.
void big_dict() {
  expect("big dict", emitted([](Emitter& e) {
           e.save_dict(10000, [&](size_t i) {
             char key[24];
             std::snprintf(key, sizeof key, "t%06zu", i);
             save_ascii(e, std::string(key) + key + key);
             e.save_int(static_cast<int64_t>(i));
           });
         }),
         269816, 0xb504951d1fb67c38ull);
}

// A list of a 70000-byte str (twice: a memo reference), every int form, a
// str of two- and four-byte code units, a 70000-byte bytes, and "a" twice.
void mixed_list() {
  const std::vector<uint16_t> e_acute(35000, 0xe9);
  std::vector<uint32_t> wide;
  for (int i = 0; i < 50; i++) wide.insert(wide.end(), {0x1F600, 0x4e2d});
  wide.insert(wide.end(), 100, 'a');
  const std::vector<int64_t> ints = {0,         255,
                                     256,       65535,
                                     65536,     -1,
                                     INT32_MAX, int64_t{1} << 31,
                                     INT32_MIN, INT64_C(-2147483649),
                                     INT64_MAX, INT64_MIN,
                                     -129};
  const std::string zeros(70000, '\0');
  std::string bytes = emitted([&](Emitter& e) {
    uint64_t long_text = 0;
    uint64_t letter = 0;
    e.save_list(20, [&](size_t i) {
      if (i == 0) {
        long_text = e.save_text(e_acute.data(), 2, e_acute.size());
      } else if (i <= ints.size()) {
        e.save_int(ints[i - 1]);
      } else if (i == 14) {
        e.save_text(wide.data(), 4, wide.size());
      } else if (i == 15) {
        e.save_bytes(zeros.data(), zeros.size());
      } else if (i == 16) {
        e.save_bytes("xy", 2);
      } else if (i == 17) {
        e.save_memo_reference(long_text);
      } else if (i == 18) {
        letter = e.save_text("a", 1, 1);
      } else {
        e.save_memo_reference(letter);
      }
    });
  });
  expect("mixed list", bytes, 140575, 0x318442e0bd8c9706ull);
}

// {str(i): i for i in range(1000)} ends with an empty batch; a dict of one
// item, an empty dict, and [[5], []] need no MARK and the short ones no
// FRAME.
void small_shapes() {
  expect("a thousand items", emitted([](Emitter& e) {
           e.save_dict(1000, [&](size_t i) {
             save_ascii(e, std::to_string(i));
             e.save_int(static_cast<int64_t>(i));
           });
         }),
         8652, 0x2fb6b3a06b67c50dull);
  expect("one item", emitted([](Emitter& e) {
           e.save_dict(1, [&](size_t) {
             save_ascii(e, "a");
             e.save_int(1);
           });
         }),
         21, 0xe40ba26ac459acf0ull);
  expect("empty dict", emitted([](Emitter& e) { e.save_dict(0, [](size_t) {}); }), 5,
         0xb95bc3f793d6d46aull);
  expect("two lists", emitted([](Emitter& e) {
           e.save_list(2, [&](size_t i) { e.save_list(1 - i, [&](size_t) { e.save_int(5); }); });
         }),
         23, 0x4fa95d5642a849bbull);
}

// A sink that refuses: finish() says so and nothing more is asked of it.
void refusing_sink() {
  struct Refusing {
    int calls = 0;
    bool write(const unsigned char*, size_t) { return ++calls < 0; }
  } sink;
  ormek::PickleEmitter<Refusing> emitter(sink);
  emitter.begin(4);
  emitter.save_bytes(std::string(70000, 'x').data(), 70000);
  check(!emitter.finish() && sink.calls == 1, "a refused write stops the stream");
}

}  // namespace

int main() {
  big_dict();
  mixed_list();
  small_shapes();
  refusing_sink();
  return ormek::test::report();
}
