// Checks of a stream read while it is made: a reader waiting for some bytes
// is let go once they are published and finds them written, never before;
// an abandoned stream turns away every reader, those already waiting (for
// its beginning or for bytes) and those that come later, even for bytes
// made; and only a stream made to its last byte, never abandoned, is whole.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "compressor/package/stream_progress.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::StreamProgress;
using ormek::test::check;

struct Case {
  const char* what;
  size_t made;     // bytes published before the end
  bool abandoned;  // then abandoned (else made to the end)
  size_t waited;   // what the reader waits for
  bool found;      // whether the reader is let go with its bytes
};

constexpr size_t kLength = 4096;

// What the maker writes at `i`: never the buffer's 0.
unsigned char byte_at(size_t i) { return static_cast<unsigned char>(i % 255 + 1); }

// The maker publishes a byte at a time up to `made`, each written first.
void run(const Case& c) {
  std::vector<unsigned char> bytes(kLength, 0);
  StreamProgress progress;
  std::atomic<int> answer{-1};
  bool saw_all = true;
  std::thread reader([&] {
    if (!progress.wait_begun() || !progress.wait_for(c.waited)) {
      answer = 0;
      return;
    }
    for (size_t i = 0; i < c.waited; i++) saw_all = saw_all && progress.bytes()[i] == byte_at(i);
    answer = 1;
  });
  progress.begin(bytes.data(), kLength);
  for (size_t i = 0; i < c.made; i++) {
    bytes[i] = byte_at(i);
    progress.publish(i + 1);
    if (i + 1 < c.waited) check(answer.load() == -1, std::string(c.what) + ": let go early");
  }
  if (c.found) {
    while (answer.load() == -1) std::this_thread::yield();  // let go before any abandonment
  }
  if (c.abandoned) progress.abandon();
  reader.join();
  check(answer.load() == (c.found ? 1 : 0), std::string(c.what) + ": answer");
  check(saw_all, std::string(c.what) + ": bytes read before they were written");
  check(progress.whole() == (!c.abandoned && c.made == kLength), std::string(c.what) + ": whole");
  check(progress.wait_for(c.made) == !c.abandoned, std::string(c.what) + ": a later reader");
}

}  // namespace

int main() {
  const Case cases[] = {
      {"made whole, read whole", kLength, false, kLength, true},
      {"made whole, read in part", kLength, false, 100, true},
      {"nothing read", kLength, false, 0, true},
      {"abandoned before the bytes waited for", 100, true, 101, false},
      {"abandoned at once", 0, true, 1, false},
      {"abandoned after the bytes waited for", 200, true, 200, true},
  };
  for (const Case& c : cases) run(c);

  // A reader waiting for the stream to begin is turned away by abandonment.
  StreamProgress never;
  std::thread waiting([&] { check(!never.wait_begun(), "abandoned before it began"); });
  never.abandon();
  waiting.join();
  return ormek::test::report();
}
