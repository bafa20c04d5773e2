// The image re-layout: turns a source image, read into ImageBuffer, into the
// target image in place. Pure memory work: no I/O, no heap, cannot fail.
#pragma once

#include <array>
#include <cstddef>

namespace velmorix {

// The only source size the converter accepts: 12 blocks of 64 KiB.
constexpr std::size_t SourceImageSize = 786432;  // 0xC0000
// The size of ImageBuffer and of every output image: 13 blocks of 64 KiB.
constexpr std::size_t TargetImageSize = 851968;  // 0xD0000
// The inserted zero block, ScratchBlock, and each block of the top rotation.
constexpr std::size_t BlockSize = 65536;  // 0x10000

using Image = std::array<unsigned char, TargetImageSize>;

// Static and zero-filled at start. Before relayoutImage() its first
// SourceImageSize bytes hold the source file as read; afterwards all
// TargetImageSize bytes hold the target image. Image data never goes to
// the heap, so this is the program's one image store.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
extern Image ImageBuffer;

// Rearranges ImageBuffer from the source layout to the target layout:
//
//   target 0x00000-0x07FFF  source 0x00000-0x07FFF  (first 32 KiB stay)
//   target 0x08000-0x17FFF  zero bytes              (inserted block)
//   target 0x18000-0x9FFFF  source 0x08000-0x8FFFF  (moved up 64 KiB)
//   target 0xA0000-0xBFFFF  source 0xA0000-0xBFFFF  (same offsets)
//   target 0xC0000-0xCFFFF  source 0x90000-0x9FFFF  (moved to the end)
//
// Every target byte is written, so whatever ImageBuffer held beyond the
// source's size does not matter.
void relayoutImage();

}  // namespace velmorix
