// Properties of the command-line splitting rule, for any input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "converter.h"

namespace {

void require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool isBlank(char character) {
  return static_cast<unsigned char>(character) <= ' ';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // NOLINT

  // Any text: words are never empty and never keep a quote or a NUL; and
  // without quotes, no word holds a blank or a control character.
  const std::vector<std::string> words = velmorix::splitCommandLine(text);
  const bool quoted = text.find('"') != std::string::npos;
  for (const std::string& word : words) {
    require(!word.empty());
    require(word.find('"') == std::string::npos);
    require(word.find('\0') == std::string::npos);
    if (!quoted) {
      for (const char character : word) {
        require(!isBlank(character));
      }
    }
  }

  // Words cut from the input at NULs, with quotes taken out: joined each
  // in quotes behind a program name, they split back into the same words.
  std::vector<std::string> expected;
  std::string commandLine = "\"C:\\Program Files\\prog.exe\"";
  std::string plainCommandLine = "prog";
  bool plain = true;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string word;
    for (const char character :
         std::string_view(text).substr(start, end - start)) {
      if (character != '"') {
        word += character;
      }
    }
    if (!word.empty()) {
      commandLine += " \"" + word + "\"";
      plainCommandLine += " " + word;
      for (const char character : word) {
        plain = plain && !isBlank(character);
      }
      expected.push_back(std::move(word));
    }
    start = end + 1;
  }
  require(velmorix::splitCommandLine(commandLine) == expected);
  // Words without blanks need no quotes at all.
  if (plain) {
    require(velmorix::splitCommandLine(plainCommandLine) == expected);
  }
  return 0;
}
