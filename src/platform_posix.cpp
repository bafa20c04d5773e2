// The platform layer on POSIX systems (Linux and the like).
//
// Windows' sharing modes have no direct counterpart here. They are
// rendered with advisory locks: a shared lock on the source while it is
// read, and an exclusive lock on the new output while it is written. These
// bind only programs that take such locks too.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include "platform.h"

namespace velmorix {

namespace {

int descriptor(FileHandle file) { return static_cast<int>(file.value); }
FileHandle handleOf(int descriptor) { return FileHandle{descriptor}; }

// The directory part of `path`, with its trailing slash, or "" for a name
// in the current directory.
std::string directoryPart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Different for each call and each process.
std::uint64_t entropy() {
  static std::uint64_t counter = 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::uint64_t>(getpid()) << 32U) ^
         static_cast<std::uint64_t>(now.tv_nsec) ^
         (static_cast<std::uint64_t>(now.tv_sec) << 20U) ^
         (++counter * 0x9E3779B97F4A7C15ULL);
}

class PosixPlatform final : public Platform {
 public:
  FileHandle openSource(const std::string& name) override {
    // Non-blocking, so that a FIFO without a writer cannot hang the open.
    const int file =
        ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0) {
      return failed();
    }
    struct stat status {};
    if (::fstat(file, &status) != 0) {
      return failedAndClose(file, errno);
    }
    if (!S_ISREG(status.st_mode)) {
      return failedAndClose(file, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    }
    // A process that holds an exclusive lock is writing the file.
    if (::flock(file, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      return failedAndClose(file, EWOULDBLOCK);
    }
    return handleOf(file);
  }

  std::int64_t seek(FileHandle file, std::int64_t offset,
                    SeekOrigin origin) override {
    const int whence = origin == SeekOrigin::Begin     ? SEEK_SET
                       : origin == SeekOrigin::Current ? SEEK_CUR
                                                       : SEEK_END;
    const off_t position = ::lseek(descriptor(file), offset, whence);
    if (position < 0) {
      error_ = errno;
      return -1;
    }
    return position;
  }

  std::int64_t read(FileHandle file, void* buffer, std::size_t size) override {
    auto* into = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t count = ::read(descriptor(file), into + done, size - done);
      if (count < 0) {
        if (errno == EINTR) {
          continue;
        }
        error_ = errno;
        return -1;
      }
      if (count == 0) {
        break;
      }
      done += static_cast<std::size_t>(count);
    }
    return static_cast<std::int64_t>(done);
  }

  bool write(FileHandle file, const void* buffer, std::size_t size) override {
    // A nearly full disk takes part of a request before it says ENOSPC.
    const auto* from = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t count = ::write(descriptor(file), from + done, size - done);
      if (count < 0) {
        if (errno == EINTR) {
          continue;
        }
        error_ = errno;
        return false;
      }
      if (count == 0) {
        error_ = EIO;
        return false;
      }
      done += static_cast<std::size_t>(count);
    }
    return true;
  }

  bool flush(FileHandle file) override {
    if (::fsync(descriptor(file)) == 0) {
      return true;
    }
    // EINVAL and EROFS mean a file that cannot be synchronised at all,
    // such as a device or a pipe: nothing is pending there.
    error_ = errno;
    return error_ == EINVAL || error_ == EROFS;
  }

  bool close(FileHandle file) override {
    // On Linux the descriptor is released even when close reports an
    // error, so it is never retried.
    if (::close(descriptor(file)) != 0 && errno != EINTR) {
      error_ = errno;
      return false;
    }
    return true;
  }

  PathKind pathKind(const std::string& name) override {
    struct stat status {};
    if (::lstat(name.c_str(), &status) != 0) {
      error_ = errno;
      return error_ == ENOENT || error_ == ENOTDIR ? PathKind::Missing
                                                   : PathKind::Unknown;
    }
    if (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode)) {
      return PathKind::File;
    }
    return S_ISDIR(status.st_mode) ? PathKind::Directory : PathKind::Special;
  }

  FileHandle createTemporaryBeside(const std::string& target,
                                   std::string& name) override {
    // Hidden, and of fixed length, so that any valid target name leaves
    // room for it. Mode 0666 lets the umask decide, as for any new file.
    constexpr int Attempts = 100;
    constexpr mode_t NewFileMode = 0666;
    const std::string directory = directoryPart(target);
    for (int attempt = 0; attempt < Attempts; ++attempt) {
      name = directory + temporaryLeafName(entropy());
      const int file = ::open(
          name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
          NewFileMode);
      if (file >= 0) {
        ::flock(file, LOCK_EX | LOCK_NB);
        return handleOf(file);
      }
      if (errno != EEXIST) {
        break;
      }
    }
    return failed();
  }

  FileHandle openSpecialForWriting(const std::string& name) override {
    const int file = ::open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    return file < 0 ? failed() : handleOf(file);
  }

  ReplaceResult replace(const std::string& from,
                        const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) == 0) {
      return ReplaceResult::Done;
    }
    error_ = errno;
    return error_ == EBUSY ? ReplaceResult::Busy : ReplaceResult::Failed;
  }

  bool syncDirectoryOf(const std::string& target) override {
    std::string directory = directoryPart(target);
    if (directory.empty()) {
      directory = ".";
    }
    const int file =
        ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file < 0) {
      error_ = errno;
      return false;
    }
    bool synced = ::fsync(file) == 0;
    if (!synced) {
      error_ = errno;
      // Some file systems cannot sync a directory; they need not.
      synced = error_ == EINVAL || error_ == ENOTSUP;
    }
    ::close(file);
    return synced;
  }

  bool remove(const std::string& name) override {
    if (::unlink(name.c_str()) != 0) {
      error_ = errno;
      return false;
    }
    return true;
  }

  void sleep(unsigned milliseconds) override {
    constexpr long NanosecondsPerMillisecond = 1000000;
    constexpr unsigned MillisecondsPerSecond = 1000;
    timespec pause{};
    pause.tv_sec = static_cast<time_t>(milliseconds / MillisecondsPerSecond);
    pause.tv_nsec = static_cast<long>(milliseconds % MillisecondsPerSecond) *
                    NanosecondsPerMillisecond;
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }

  bool writeStandardOutput(std::string_view text) override {
    return write(FileHandle{STDOUT_FILENO}, text.data(), text.size());
  }

  std::string lastError() override {
    return std::system_category().message(error_);
  }

 private:
  FileHandle failed() {
    error_ = errno;
    return FileHandle{};
  }

  FileHandle failedAndClose(int file, int error) {
    ::close(file);
    error_ = error;
    return FileHandle{};
  }

  int error_ = 0;
};

}  // namespace

Platform& systemPlatform() {
  static PosixPlatform platform;
  return platform;
}

std::optional<std::string> rawCommandLine() { return std::nullopt; }

}  // namespace velmorix
