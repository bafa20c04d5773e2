#include "image_relayout.h"

#include <cstring>

namespace velmorix {

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
Image ImageBuffer{};

namespace {
// Holds the block that the top rotation moves to the end.
std::array<unsigned char, BlockSize> ScratchBlock{};
}  // namespace
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

namespace {

// The first 32 KiB keep their place.
constexpr std::size_t HeadSize = 0x08000;
// Where the moved part lands once the zero block is inserted after the head.
constexpr std::size_t ShiftedHead = HeadSize + BlockSize;  // 0x18000
// The three blocks of the top rotation, after the shift.
constexpr std::size_t RotationStart = 0xA0000;
constexpr std::size_t RotationTail = RotationStart + BlockSize;   // 0xB0000
constexpr std::size_t RotationEnd = TargetImageSize - BlockSize;  // 0xC0000

static_assert(SourceImageSize == 12 * BlockSize);
static_assert(TargetImageSize == SourceImageSize + BlockSize);
static_assert(RotationEnd + BlockSize == TargetImageSize);

unsigned char* at(std::size_t offset) { return ImageBuffer.data() + offset; }

}  // namespace

void relayoutImage() {
  // Everything above the head moves up one block; the ranges overlap.
  std::memmove(at(ShiftedHead), at(HeadSize), SourceImageSize - HeadSize);
  // The gap this leaves becomes the inserted zero block.
  std::memset(at(HeadSize), 0, BlockSize);
  // Rotate the top three blocks by one towards the start: the first goes
  // to the end, the other two move down one block (overlapping).
  std::memcpy(ScratchBlock.data(), at(RotationStart), BlockSize);
  std::memmove(at(RotationStart), at(RotationTail), 2 * BlockSize);
  std::memcpy(at(RotationEnd), ScratchBlock.data(), BlockSize);
}

}  // namespace velmorix
