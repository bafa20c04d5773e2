#include "converter.h"

#include <exception>
#include <limits>

#include "image_relayout.h"

namespace velmorix {

namespace {

constexpr std::string_view LineEnd = "\r\n";
constexpr std::string_view OutputSuffix = "_raw.bin";

void printLine(Platform& platform, std::string_view text) {
  std::string line(text);
  line += LineEnd;
  if (!platform.writeStandardOutput(line)) {
    throw Exception("ERROR: Cannot write to standard output.");
  }
}

// A failure whose message ends in the system's reason for it.
Exception systemFailure(Platform& platform, std::string_view what) {
  std::string message = "ERROR: ";
  message += what;
  const std::string reason = platform.lastError();
  if (!reason.empty()) {
    message += " (";
    message += reason;
    message += ")";
  }
  message += ".";
  return Exception(message);
}

// Closes a file when the run leaves its scope, on the failure path too,
// and only if it was opened.
class OpenFile {
 public:
  OpenFile(Platform& platform, FileHandle file)
      : platform_(platform), file_(file) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  OpenFile(OpenFile&&) = delete;
  OpenFile& operator=(OpenFile&&) = delete;
  ~OpenFile() {
    if (file_.isValid()) {
      platform_.close(file_);
    }
  }

  [[nodiscard]] FileHandle handle() const { return file_; }

  // Closes now and reports whether the system took the file back cleanly
  // (some file systems report delayed write errors only here).
  bool close() {
    if (!file_.isValid()) {
      return true;
    }
    const FileHandle file = file_;
    file_ = FileHandle{};
    return platform_.close(file);
  }

 private:
  Platform& platform_;
  FileHandle file_;
};

// A new file beside the output, removed again unless kept.
class TemporaryFile {
 public:
  TemporaryFile(Platform& platform, const std::string& target)
      : platform_(platform),
        file_(platform, platform.createTemporaryBeside(target, name_)) {
    if (!file_.handle().isValid()) {
      throw systemFailure(platform_, "Cannot create output file");
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  TemporaryFile(TemporaryFile&&) = delete;
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    if (!kept_) {
      file_.close();
      platform_.remove(name_);
    }
  }

  [[nodiscard]] FileHandle handle() const { return file_.handle(); }
  [[nodiscard]] const std::string& name() const { return name_; }
  bool close() { return file_.close(); }
  void keep() { kept_ = true; }

 private:
  Platform& platform_;
  std::string name_;
  OpenFile file_;
  bool kept_ = false;
};

void printUsage(Platform& platform) {
  printLine(platform,
            "Velmorix converts a raw image of 786,432 bytes into the "
            "851,968-byte layout.");
  printLine(platform, "");
  printLine(platform, "Usage: Velmorix.exe inFile [outFile]");
}

// Reads the source into ImageBuffer. A source that is missing, cannot be
// opened or seeked, is not a regular file, or has any size but
// SourceImageSize is reported the same way, before any output is touched.
void readSourceImage(Platform& platform, const std::string& inFile) {
  const OpenFile source(platform, platform.openSource(inFile));
  if (seekFileSize(platform, source.handle()) !=
      static_cast<std::int32_t>(SourceImageSize)) {
    throw Exception("ERROR: Bad source file size.");
  }
  // Ask for the whole buffer: a file that changed size since the check
  // shows as a count other than SourceImageSize.
  const std::int64_t count =
      platform.read(source.handle(), ImageBuffer.data(), ImageBuffer.size());
  if (count < 0) {
    throw systemFailure(platform, "Cannot read source file");
  }
  if (count != static_cast<std::int64_t>(SourceImageSize)) {
    throw Exception(
        "ERROR: Cannot read source file (its size changed while it was "
        "read).");
  }
}

void writeAll(Platform& platform, FileHandle file) {
  if (!platform.write(file, ImageBuffer.data(), ImageBuffer.size())) {
    throw systemFailure(platform, "Cannot write output file");
  }
  if (!platform.flush(file)) {
    throw systemFailure(platform, "Cannot flush output file to disk");
  }
}

// Devices and FIFOs are written into as they are: replacing the node of,
// say, a null device would break the system for everyone else.
void writeIntoSpecialFile(Platform& platform, const std::string& outFile) {
  OpenFile output(platform, platform.openSpecialForWriting(outFile));
  if (!output.handle().isValid()) {
    throw systemFailure(platform, "Cannot open output file");
  }
  writeAll(platform, output.handle());
  if (!output.close()) {
    throw systemFailure(platform, "Cannot close output file");
  }
}

// Writes the image to a new file beside the output and only then puts it
// in the output's place, in one atomic step. Until that step an existing
// output (which may be the source itself) stays exactly as it was; on any
// failure the new file is removed again.
void replaceOutputFile(Platform& platform, const std::string& outFile) {
  TemporaryFile temporary(platform, outFile);
  writeAll(platform, temporary.handle());
  if (!temporary.close()) {
    throw systemFailure(platform, "Cannot close output file");
  }
  ReplaceResult result = platform.replace(temporary.name(), outFile);
  if (result == ReplaceResult::Busy) {
    // Another process (often a virus scanner) still holds the old file;
    // it usually lets go within moments.
    constexpr unsigned RetryPauseMilliseconds = 100;
    platform.sleep(RetryPauseMilliseconds);
    result = platform.replace(temporary.name(), outFile);
  }
  if (result != ReplaceResult::Done) {
    throw systemFailure(platform, "Cannot replace output file");
  }
  temporary.keep();
  if (!platform.syncDirectoryOf(outFile)) {
    throw systemFailure(platform, "Cannot sync output directory");
  }
}

void writeTargetImage(Platform& platform, const std::string& outFile) {
  switch (platform.pathKind(outFile)) {
    case PathKind::Directory:
      throw Exception("ERROR: Output file is a directory.");
    case PathKind::Unknown:
      throw systemFailure(platform, "Cannot access output file");
    case PathKind::Special:
      writeIntoSpecialFile(platform, outFile);
      return;
    case PathKind::Missing:
    case PathKind::File:
      replaceOutputFile(platform, outFile);
      return;
  }
}

}  // namespace

int runConverter(Platform& platform,
                 const std::vector<std::string>& arguments) {
  try {
    if (arguments.empty()) {
      printUsage(platform);
      return ExitSuccess;
    }
    // Arguments after the second are ignored.
    const std::string& inFile = arguments[0];
    const std::string outFile =
        arguments.size() == 1 ? deriveOutputName(inFile) : arguments[1];
    readSourceImage(platform, inFile);
    relayoutImage();
    writeTargetImage(platform, outFile);
    return ExitSuccess;
  } catch (const Exception& failure) {
    reportFailure(platform, failure);
  } catch (const std::exception& failure) {
    reportFailure(platform,
                  Exception(std::string("ERROR: ") + failure.what() + "."));
  }
  return ExitFailure;
}

std::string deriveOutputName(const std::string& inFile) {
  const std::size_t last = inFile.find_last_of(".\\:/");
  if (last != std::string::npos && inFile[last] == '.') {
    return inFile.substr(0, last) + std::string(OutputSuffix);
  }
  return inFile + std::string(OutputSuffix);
}

std::vector<std::string> splitCommandLine(std::string_view commandLine) {
  // Text ends at the first NUL, as the system's own command line does.
  commandLine = commandLine.substr(0, commandLine.find('\0'));
  const auto code = [&](std::size_t at) {
    return static_cast<unsigned char>(commandLine[at]);
  };
  constexpr unsigned char Blank = 32;
  std::vector<std::string> words;
  std::size_t at = 0;
  while (true) {
    // Skip blanks, control characters and pairs of adjacent quotes.
    while (at < commandLine.size()) {
      if (code(at) <= Blank) {
        ++at;
      } else if (commandLine.substr(at, 2) == "\"\"") {
        at += 2;
      } else {
        break;
      }
    }
    if (at == commandLine.size()) {
      break;
    }
    std::string word;
    while (at < commandLine.size() && code(at) > Blank) {
      if (commandLine[at] == '"') {
        const std::size_t close = commandLine.find('"', at + 1);
        const std::size_t end =
            close == std::string_view::npos ? commandLine.size() : close;
        word += commandLine.substr(at + 1, end - at - 1);
        at = close == std::string_view::npos ? end : close + 1;
      } else {
        word += commandLine[at];
        ++at;
      }
    }
    // A lone quote at the very end gives an empty word: that is the end
    // of the text, not an argument.
    if (!word.empty()) {
      words.push_back(std::move(word));
    }
  }
  if (!words.empty()) {
    words.erase(words.begin());
  }
  return words;
}

std::int32_t seekFileSize(Platform& platform, FileHandle file) {
  const std::int64_t position = platform.seek(file, 0, SeekOrigin::Current);
  const std::int64_t size = platform.seek(file, 0, SeekOrigin::End);
  const std::int64_t restored =
      platform.seek(file, position, SeekOrigin::Begin);
  constexpr std::int64_t Largest = std::numeric_limits<std::int32_t>::max();
  if (position < 0 || size < 0 || restored != position || size > Largest) {
    return -1;
  }
  return static_cast<std::int32_t>(size);
}

void reportFailure(Platform& platform, const Exception& failure) {
  std::string line(failure.className());
  line += ": ";
  line += failure.message();
  try {
    printLine(platform, line);
  } catch (const Exception&) {
    // Standard output is gone; the exit status still tells.
  }
}

}  // namespace velmorix
