// The operating-system services the converter needs, behind one interface.
// Each platform has one implementation file (platform_posix.cpp,
// platform_win32.cpp); nothing here names a system type. The interface is
// virtual so that tests can wrap the real implementation, for instance to
// make a chosen call fail.
//
// Calls report failure by their result and never throw or print; the
// reason of the latest failure is available from lastError(). File names
// are UTF-8 text, handed to the system as they are (converted to UTF-16
// on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmorix {

// An open file. Opaque outside the platform layer.
struct FileHandle {
  std::intptr_t value = -1;

  [[nodiscard]] bool isValid() const { return value != -1; }
};

enum class SeekOrigin { Begin, Current, End };

// What a name refers to, without following a final symbolic link.
enum class PathKind {
  Missing,    // nothing there (or a parent directory is missing)
  File,       // a regular file or a symbolic link: it can be replaced
  Directory,  // a directory
  Special,    // a device, FIFO or other node: written into, never replaced
  Unknown,    // the system could not tell (see lastError())
};

enum class ReplaceResult {
  Done,
  Busy,  // another process holds the target; trying again later may work
  Failed,
};

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  Platform(Platform&&) = delete;
  Platform& operator=(Platform&&) = delete;
  virtual ~Platform() = default;

  // Opens an existing regular file for reading. While it is open, others
  // may read it but not write it. Anything that is not a regular file is
  // refused at once, without blocking. Invalid handle on failure.
  virtual FileHandle openSource(const std::string& name) = 0;

  // Moves the file position; returns the new position, or -1.
  virtual std::int64_t seek(FileHandle file, std::int64_t offset,
                            SeekOrigin origin) = 0;

  // Reads until `size` bytes are in or the file ends; returns the count
  // read, or -1.
  virtual std::int64_t read(FileHandle file, void* buffer,
                            std::size_t size) = 0;

  // Writes all `size` bytes, or fails.
  virtual bool write(FileHandle file, const void* buffer, std::size_t size) = 0;

  // Makes written data durable. Succeeds on files where that means
  // nothing (devices, pipes).
  virtual bool flush(FileHandle file) = 0;

  virtual bool close(FileHandle file) = 0;

  virtual PathKind pathKind(const std::string& name) = 0;

  // Creates a new, uniquely named file in the directory of `target`, for
  // reading and writing, with the permissions a newly created file gets,
  // and exclusive to this process while it is open. Its name does not
  // grow with the name of `target`. Sets `name` to its name. Invalid
  // handle on failure.
  virtual FileHandle createTemporaryBeside(const std::string& target,
                                           std::string& name) = 0;

  // Opens an existing special file (see PathKind::Special) for writing.
  virtual FileHandle openSpecialForWriting(const std::string& name) = 0;

  // Atomically puts the file `from` in the place of `to`, replacing
  // whatever `to` names.
  virtual ReplaceResult replace(const std::string& from,
                                const std::string& to) = 0;

  // Makes a completed replace() of `target` durable.
  virtual bool syncDirectoryOf(const std::string& target) = 0;

  virtual bool remove(const std::string& name) = 0;

  virtual void sleep(unsigned milliseconds) = 0;

  // Writes the bytes to standard output, unbuffered.
  virtual bool writeStandardOutput(std::string_view text) = 0;

  // The system's reason for the latest failed call, as readable text.
  virtual std::string lastError() = 0;
};

// The implementation for the system the program runs on.
Platform& systemPlatform();

// The command line as one text, where the system keeps it that way
// (Windows): the program splits it by its own rule. Nothing where the
// system hands over the arguments already split (POSIX).
std::optional<std::string> rawCommandLine();

// The leaf name of a temporary output file: hidden where a leading dot
// hides, recognisable, and always the same length.
inline std::string temporaryLeafName(std::uint64_t entropy) {
  // splitmix64's finaliser spreads the bits of the entropy.
  entropy = (entropy ^ (entropy >> 30U)) * 0xBF58476D1CE4E5B9ULL;
  entropy = (entropy ^ (entropy >> 27U)) * 0x94D049BB133111EBULL;
  entropy ^= entropy >> 31U;
  constexpr std::string_view Alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
  constexpr int TagLength = 8;
  std::string name = ".Velmorix-";
  for (int i = 0; i < TagLength; ++i) {
    name += Alphabet[entropy % Alphabet.size()];
    entropy /= Alphabet.size();
  }
  return name + ".tmp";
}

}  // namespace velmorix
