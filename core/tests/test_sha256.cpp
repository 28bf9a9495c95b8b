// The digest against the published FIPS 180-4 examples, fed whole and in
// uneven pieces so that every path through the block buffer is taken.
#include <gtest/gtest.h>

#include <string>

#include "io/sha256.hpp"

namespace {

std::string digest_in_pieces(const std::string& m, std::size_t piece) {
  tarvix::Sha256 d;
  for (std::size_t at = 0; at < m.size(); at += piece) d.update(m.data() + at, std::min(piece, m.size() - at));
  return d.hex();
}

TEST(Sha256, KnownDigestsWholeAndInPieces) {
  // (The empty message: the empty file's digest in test_bounds.cpp.)
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // 56 bytes: padding takes a second block
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{1} << 20}) {
      if (piece == 1 && c.message.size() > 10000) continue;
      EXPECT_EQ(digest_in_pieces(c.message, piece), c.digest) << c.message.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
