// The re-layout against the floor of moving the same number of bytes in
// one memmove.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

#include "image_relayout.h"

namespace {

// Bytes the re-layout writes: the shift, the zero block, and the rotation
// (out to the scratch block, two blocks down, one back).
constexpr std::size_t BytesWritten = (velmorix::SourceImageSize - 0x8000) +
                                     velmorix::BlockSize +
                                     4 * velmorix::BlockSize;

void relayoutImage(benchmark::State& state) {
  for (auto _ : state) {
    velmorix::relayoutImage();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(BytesWritten));
}
BENCHMARK(relayoutImage);

void oneMemmoveOfTheSameBytes(benchmark::State& state) {
  static std::array<unsigned char, BytesWritten + velmorix::BlockSize> buffer{};
  for (auto _ : state) {
    std::memmove(buffer.data() + velmorix::BlockSize, buffer.data(),
                 BytesWritten);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(BytesWritten));
}
BENCHMARK(oneMemmoveOfTheSameBytes);

}  // namespace

BENCHMARK_MAIN();
