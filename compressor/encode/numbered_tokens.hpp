// The token dictionary a package carries when the encoder pickles it natively
// (package/package_pickler.hpp): the distinct tokens of a FirstSightNumbering
// in order of first sight, each with the id the id loop gave it, or, for a
// package numbered on its own, its number of first sight plus one (what a
// fresh compressor's empty dictionary gives it).
#pragma once

#include <cstdint>
#include <vector>

#include "compressor/encode/first_sight_numbering.hpp"
#include "compressor/package/package_pickler.hpp"

namespace ormek {

class NumberedTokens final : public TokenDictionary {
 public:
  // `ids`: by token number, or null for the package's own numbering.
  NumberedTokens(const FirstSightNumbering& numbering, const std::vector<int32_t>* ids)
      : numbering_(numbering), ids_(ids) {}

  size_t size() const override { return numbering_.distinct(); }
  // The tokens are walked in order, so that the numbering's entries may be
  // given back first; an entry asked out of order walks again from the
  // first.
  TokenEntry entry(size_t k) const override {
    if (k != next_) {
      walk_ = {};
      for (next_ = 0; next_ < k; next_++) numbering_.next_token(walk_);
    }
    const FirstSightNumbering::Token token = numbering_.next_token(walk_);
    next_++;
    const int32_t id = ids_ ? (*ids_)[k] : static_cast<int32_t>(k + 1);
    return {token.data, token.length, token.kind, id};
  }

 private:
  const FirstSightNumbering& numbering_;
  const std::vector<int32_t>* ids_;
  mutable FirstSightNumbering::TokenWalk walk_;
  mutable size_t next_ = 0;
};

}  // namespace ormek
