// The platform layer on Windows, on the wide (UTF-16) Win32 file services.
// The program's names are UTF-8; they are converted here, at the edge, so
// that names outside the ANSI code page survive.

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <limits>
#include <string>
#include <string_view>

#include "platform.h"

namespace velmorix {

namespace {

// FileHandle keeps a HANDLE as the integer of the same width; these two are
// the only places that convert.
HANDLE nativeHandle(FileHandle file) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr,cppcoreguidelines-pro-type-reinterpret-cast)
  return reinterpret_cast<HANDLE>(file.value);
}

FileHandle handleOf(HANDLE handle) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
  return FileHandle{reinterpret_cast<std::intptr_t>(handle)};
}

std::wstring wide(std::string_view text) {
  if (text.empty()) {
    return {};
  }
  const int size = static_cast<int>(text.size());
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, result.data(), length);
  return result;
}

std::string narrow(const wchar_t* text, std::size_t size) {
  if (size == 0) {
    return {};
  }
  const int wideSize = static_cast<int>(size);
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, wideSize, nullptr, 0,
                                         nullptr, nullptr);
  std::string result(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, wideSize, result.data(), length,
                      nullptr, nullptr);
  return result;
}

// A file name as the wide file calls take it. Names too long for the
// classic 260-character limit are made absolute and given the "\\?\"
// prefix, which lifts it; shorter ones, device names among them, are
// passed as they are.
std::wstring fileName(const std::string& name) {
  std::wstring path = wide(name);
  constexpr std::size_t ClassicLimit = MAX_PATH - 12;  // room for "\8.3"
  if (path.size() < ClassicLimit || path.rfind(LR"(\\?\)", 0) == 0) {
    return path;
  }
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) {
    return path;  // the call that uses it will report the problem
  }
  std::wstring full(size, L'\0');
  const DWORD length =
      GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  full.resize(length);
  if (full.rfind(LR"(\\)", 0) == 0) {
    return LR"(\\?\UNC\)" + full.substr(2);  // \\server\share\...
  }
  return LR"(\\?\)" + full;
}

// The directory part of `path`, with its separator, or "" for a name in the
// current directory. Both slashes separate, and "C:" names a drive's
// current directory.
std::string directoryPart(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/:");
  return separator == std::string::npos ? std::string()
                                        : path.substr(0, separator + 1);
}

// Different for each call and each process.
std::uint64_t entropy() {
  static std::uint64_t counter = 0;
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32U) ^
         static_cast<std::uint64_t>(now.QuadPart) ^
         (++counter * 0x9E3779B97F4A7C15ULL);
}

// The largest count one ReadFile or WriteFile takes.
constexpr std::size_t LargestRequest = std::numeric_limits<DWORD>::max();

class Win32Platform final : public Platform {
 public:
  FileHandle openSource(const std::string& name) override {
    // Others may read the source while it is open, but not write it.
    const HANDLE file =
        CreateFileW(fileName(name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return failed();
    }
    // Devices and pipes (CON, NUL, \\.\pipe\...) are not images.
    if (GetFileType(file) != FILE_TYPE_DISK) {
      CloseHandle(file);
      error_ = ERROR_INVALID_FUNCTION;
      return FileHandle{};
    }
    return handleOf(file);
  }

  std::int64_t seek(FileHandle file, std::int64_t offset,
                    SeekOrigin origin) override {
    // 32-bit positions: a position that does not fit makes the seek fail.
    if (offset < std::numeric_limits<LONG>::min() ||
        offset > std::numeric_limits<LONG>::max()) {
      error_ = ERROR_NEGATIVE_SEEK;
      return -1;
    }
    const DWORD method = origin == SeekOrigin::Begin     ? FILE_BEGIN
                         : origin == SeekOrigin::Current ? FILE_CURRENT
                                                         : FILE_END;
    // The high half is asked for and checked here: without it, some
    // systems hand back only the low 32 bits of a larger position, which
    // would make a 4 GiB + 768 KiB file look like a valid source.
    LONG high = offset < 0 ? -1 : 0;
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(nativeHandle(file),
                                     static_cast<LONG>(offset), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
      error_ = GetLastError();
      return -1;
    }
    if (high != 0) {
      error_ = ERROR_ARITHMETIC_OVERFLOW;
      return -1;
    }
    return low;
  }

  std::int64_t read(FileHandle file, void* buffer, std::size_t size) override {
    auto* into = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
      const auto request =
          static_cast<DWORD>(std::min(size - done, LargestRequest));
      DWORD count = 0;
      if (ReadFile(nativeHandle(file), into + done, request, &count, nullptr) ==
          FALSE) {
        error_ = GetLastError();
        return -1;
      }
      if (count == 0) {
        break;
      }
      done += count;
    }
    return static_cast<std::int64_t>(done);
  }

  bool write(FileHandle file, const void* buffer, std::size_t size) override {
    const auto* from = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
      const auto request =
          static_cast<DWORD>(std::min(size - done, LargestRequest));
      DWORD count = 0;
      if (WriteFile(nativeHandle(file), from + done, request, &count,
                    nullptr) == FALSE) {
        error_ = GetLastError();
        return false;
      }
      if (count == 0) {
        error_ = ERROR_WRITE_FAULT;
        return false;
      }
      done += count;
    }
    return true;
  }

  bool flush(FileHandle file) override {
    // Only files on a disk hold data that can be pending.
    if (GetFileType(nativeHandle(file)) != FILE_TYPE_DISK) {
      return true;
    }
    if (FlushFileBuffers(nativeHandle(file)) == FALSE) {
      error_ = GetLastError();
      return false;
    }
    return true;
  }

  bool close(FileHandle file) override {
    if (CloseHandle(nativeHandle(file)) == FALSE) {
      error_ = GetLastError();
      return false;
    }
    return true;
  }

  PathKind pathKind(const std::string& name) override {
    // Opening with no access asks nothing of other openers' sharing modes
    // and does not follow a final symbolic link.
    const HANDLE file = CreateFileW(
        fileName(name).c_str(), 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error_ = GetLastError();
      switch (error_) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
          return PathKind::Missing;
        case ERROR_SHARING_VIOLATION:
        case ERROR_ACCESS_DENIED:
          return PathKind::File;  // it exists; replacing it will tell more
        default:
          return PathKind::Unknown;
      }
    }
    PathKind kind = PathKind::Special;
    if (GetFileType(file) == FILE_TYPE_DISK) {
      BY_HANDLE_FILE_INFORMATION information{};
      if (GetFileInformationByHandle(file, &information) == FALSE) {
        error_ = GetLastError();
        kind = PathKind::Unknown;
      } else {
        const DWORD attributes = information.dwFileAttributes;
        const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        kind = directory && !link ? PathKind::Directory : PathKind::File;
      }
    }
    CloseHandle(file);
    return kind;
  }

  FileHandle createTemporaryBeside(const std::string& target,
                                   std::string& name) override {
    constexpr int Attempts = 100;
    const std::string directory = directoryPart(target);
    for (int attempt = 0; attempt < Attempts; ++attempt) {
      name = directory + temporaryLeafName(entropy());
      // No sharing: nobody else opens the new output while it is written.
      const HANDLE file =
          CreateFileW(fileName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        return handleOf(file);
      }
      error_ = GetLastError();
      if (error_ != ERROR_FILE_EXISTS && error_ != ERROR_ALREADY_EXISTS) {
        break;
      }
    }
    return FileHandle{};
  }

  FileHandle openSpecialForWriting(const std::string& name) override {
    const HANDLE file =
        CreateFileW(fileName(name).c_str(), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? failed() : handleOf(file);
  }

  ReplaceResult replace(const std::string& from,
                        const std::string& to) override {
    // Write-through: the move is on disk when the call returns, so there is
    // no directory to sync afterwards.
    if (MoveFileExW(fileName(from).c_str(), fileName(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
        FALSE) {
      return ReplaceResult::Done;
    }
    // A process that holds the old file without sharing its deletion (a
    // virus scanner, an indexer) makes the move fail with a sharing
    // violation or, as often, with access denied.
    error_ = GetLastError();
    return error_ == ERROR_SHARING_VIOLATION ||
                   error_ == ERROR_LOCK_VIOLATION ||
                   error_ == ERROR_ACCESS_DENIED
               ? ReplaceResult::Busy
               : ReplaceResult::Failed;
  }

  bool syncDirectoryOf(const std::string& /*target*/) override { return true; }

  bool remove(const std::string& name) override {
    if (DeleteFileW(fileName(name).c_str()) == FALSE) {
      error_ = GetLastError();
      return false;
    }
    return true;
  }

  void sleep(unsigned milliseconds) override { Sleep(milliseconds); }

  bool writeStandardOutput(std::string_view text) override {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
      error_ = ERROR_INVALID_HANDLE;
      return false;
    }
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode) != FALSE) {
      // A console shows UTF-16 text whatever its code page.
      const std::wstring line = wide(text);
      DWORD written = 0;
      return WriteConsoleW(output, line.data(), static_cast<DWORD>(line.size()),
                           &written, nullptr) != 0;
    }
    // Redirected: the bytes as they are, CR LF included.
    return write(handleOf(output), text.data(), text.size());
  }

  std::string lastError() override {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error_, 0,
        // With ALLOCATE_BUFFER the API takes the buffer pointer's address.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = narrow(buffer, length);
    LocalFree(buffer);
    // The system's sentences end in a full stop and a line break; the
    // failure line brings its own.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' ||
                             text.back() == ' ' || text.back() == '.')) {
      text.pop_back();
    }
    if (text.empty()) {
      text = "system error " + std::to_string(error_);
    }
    return text;
  }

 private:
  FileHandle failed() {
    error_ = GetLastError();
    return FileHandle{};
  }

  DWORD error_ = NO_ERROR;
};

}  // namespace

Platform& systemPlatform() {
  static Win32Platform platform;
  return platform;
}

std::optional<std::string> rawCommandLine() {
  const wchar_t* commandLine = GetCommandLineW();
  return narrow(commandLine, wcslen(commandLine));
}

}  // namespace velmorix
