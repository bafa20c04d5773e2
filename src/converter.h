// The converter's run: arguments, file names, reading the source, writing
// the target, messages and exit status. The only part of the program that
// prints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform.h"

namespace velmorix {

// The program's one failure type: raised to abandon the run and reported
// once, by runConverter, as "<class name>: <message>".
class Exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;
  Exception(Exception&&) = default;
  Exception& operator=(Exception&&) = default;
  virtual ~Exception() = default;

  [[nodiscard]] virtual std::string_view className() const {
    return "Exception";
  }
  [[nodiscard]] const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// Exit statuses.
constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;

// Runs one conversion for the given arguments (without the program's own
// name) and returns the exit status.
int runConverter(Platform& platform, const std::vector<std::string>& arguments);

// The default output name: `inFile` with its last extension replaced by
// "_raw.bin", or with "_raw.bin" appended when it has none. An extension
// counts only after the last "/", "\" or ":".
std::string deriveOutputName(const std::string& inFile);

// Cuts a raw command line into words: blanks and control characters
// separate words, double quotes group, and the quotes themselves are
// dropped; there is no escape character. Drops the first word, the
// program's own name.
std::vector<std::string> splitCommandLine(std::string_view commandLine);

// The size of an open file, found by seeking to its end and back, or -1
// when it cannot be seeked or its size does not fit in 32 bits.
std::int32_t seekFileSize(Platform& platform, FileHandle file);

// Prints the failure line for `failure`.
void reportFailure(Platform& platform, const Exception& failure);

}  // namespace velmorix
