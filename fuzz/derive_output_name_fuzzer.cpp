// Properties of the default output name, for any input name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "converter.h"

namespace {

void require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

constexpr std::string_view Suffix = "_raw.bin";
constexpr std::string_view Separators = "/\\:";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string inFile(reinterpret_cast<const char*>(data),
                           size);  // NOLINT
  const std::string outFile = velmorix::deriveOutputName(inFile);

  // It always ends in the suffix, and what comes before it is the input
  // with at most its tail taken off.
  require(outFile.size() >= Suffix.size());
  const std::string_view out(outFile);
  require(out.substr(out.size() - Suffix.size()) == Suffix);
  const std::string_view stem = out.substr(0, out.size() - Suffix.size());
  require(startsWith(inFile, stem));

  // The tail taken off is one extension: empty, or a dot followed by no
  // other dot and no separator.
  const std::string_view removed = std::string_view(inFile).substr(stem.size());
  if (!removed.empty()) {
    require(removed.front() == '.');
    require(removed.find_first_of(".", 1) == std::string_view::npos);
    require(removed.find_first_of(Separators) == std::string_view::npos);
  }

  // Nothing up to the last separator changes: the output stays in the
  // input's directory.
  const std::size_t separator = inFile.find_last_of(Separators);
  if (separator != std::string::npos) {
    require(startsWith(out, std::string_view(inFile).substr(0, separator + 1)));
  }

  // The output's own extension is ".bin": deriving again replaces just it.
  const std::string again = velmorix::deriveOutputName(outFile);
  require(again ==
          std::string(out.substr(0, out.size() - 4)) + std::string(Suffix));
  return 0;
}
