#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "image_relayout.h"
#include "scratch_directory.h"

namespace velmorix {
namespace {

using testing::Bytes;

// Loads `source` into ImageBuffer over a tail of `filler` bytes, runs the
// re-layout and returns the result.
Bytes relayout(const Bytes& source, unsigned char filler = 0x55) {
  std::fill(ImageBuffer.begin(), ImageBuffer.end(), filler);
  std::copy(source.begin(), source.end(), ImageBuffer.begin());
  relayoutImage();
  return {ImageBuffer.begin(), ImageBuffer.end()};
}

TEST(RelayoutImage, EachBlockLandsWhereTheLayoutPutsIt) {
  // Source block n (64 KiB) filled with n + 1.
  Bytes source(SourceImageSize);
  for (std::size_t block = 0; block < 12; ++block) {
    std::fill_n(source.begin() + static_cast<std::ptrdiff_t>(block * BlockSize),
                BlockSize, static_cast<unsigned char>(block + 1));
  }
  const Bytes target = relayout(source);
  ASSERT_EQ(target.size(), TargetImageSize);

  // The value of each 32 KiB half of the thirteen target blocks.
  const unsigned char expected[26] = {1, 0, 0,  1,  2,  2,  3,  3, 4,
                                      4, 5, 5,  6,  6,  7,  7,  8, 8,
                                      9, 9, 11, 11, 12, 12, 10, 10};
  constexpr std::size_t Half = BlockSize / 2;
  for (std::size_t half = 0; half < 26; ++half) {
    const auto begin =
        target.begin() + static_cast<std::ptrdiff_t>(half * Half);
    EXPECT_EQ(std::count(begin, begin + Half, expected[half]),
              static_cast<std::ptrdiff_t>(Half))
        << "target half-block " << half << " (offset 0x" << std::hex
        << half * Half << ")";
  }
}

TEST(RelayoutImage, MatchesTheSlicesOfTheSourceByteForByte) {
  for (const std::uint32_t seed : {1U, 2U, 0xC0FFEEU}) {
    const Bytes source = testing::patternedBytes(SourceImageSize, seed);
    for (const int filler : {0x00, 0x55, 0xFF}) {
      EXPECT_EQ(relayout(source, static_cast<unsigned char>(filler)),
                testing::expectedTarget(source))
          << "seed " << seed << ", filler " << filler;
    }
  }
}

TEST(RelayoutImage, AllOnesSourceGetsOnlyTheInsertedZeroBlock) {
  const Bytes target = relayout(Bytes(SourceImageSize, 0xFF), 0x00);
  for (std::size_t offset = 0; offset < TargetImageSize; ++offset) {
    const bool inGap = offset >= 0x08000 && offset < 0x18000;
    ASSERT_EQ(target[offset], inGap ? 0x00 : 0xFF) << "offset " << offset;
  }
}

TEST(RelayoutImage, LastSourceBlockKeepsItsOffset) {
  Bytes source = testing::patternedBytes(SourceImageSize, 7);
  std::fill(source.end() - BlockSize, source.end(), 0xAA);
  const Bytes target = relayout(source);
  EXPECT_TRUE(std::all_of(target.begin() + 0xB0000, target.begin() + 0xC0000,
                          [](unsigned char byte) { return byte == 0xAA; }));
  EXPECT_TRUE(std::equal(target.end() - BlockSize, target.end(),
                         source.begin() + 0x90000));
}

}  // namespace
}  // namespace velmorix
