// Checks of the pickled-str test: one byte that cannot stand where it
// stands is found at every place of a str of any length, and an ASCII str
// passes.
#include <string>

#include "compressor/text/pickled_utf8.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::test::check;
using ormek::utf8::PickledText;

PickledText checked(const std::string& text) {
  return ormek::utf8::check_pickled(reinterpret_cast<const unsigned char*>(text.data()),
                                    text.size());
}

}  // namespace

int main() {
  for (size_t size = 0; size <= 25; size++) {
    const std::string ascii(size, 'a');
    check(checked(ascii) == PickledText::kText, "ASCII, " + std::to_string(size));
    for (size_t at = 0; at < size; at++) {
      std::string text = ascii;
      text[at] = '\x80';  // a continuation byte without its lead
      check(checked(text) == PickledText::kInvalid,
            "stray byte " + std::to_string(at) + " of " + std::to_string(size));
      text[at] = '\xED';  // a surrogate's three bytes, cut short unless they fit
      const bool fits = at + 3 <= size;
      if (fits) text.replace(at, 3, "\xED\xB0\x80");
      check(checked(text) == (fits ? PickledText::kSurrogates : PickledText::kInvalid),
            "surrogate at " + std::to_string(at) + " of " + std::to_string(size));
    }
  }
  return ormek::test::report();
}
