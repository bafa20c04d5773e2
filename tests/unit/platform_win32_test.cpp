// Windows behaviour that portable tests cannot see: sharing modes, the
// command-line rule applied to real command lines, and the retry of a
// replace that another process blocks.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "converter.h"
#include "faulty_platform.h"
#include "image_relayout.h"
#include "platform.h"
#include "scratch_directory.h"

namespace velmorix {
namespace {

using testing::Bytes;
using testing::ScratchDirectory;

std::wstring wide(const std::string& text) {
  const int size = static_cast<int>(text.size());
  std::wstring result(static_cast<std::size_t>(MultiByteToWideChar(
                          CP_UTF8, 0, text.data(), size, nullptr, 0)),
                      L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, result.data(),
                      static_cast<int>(result.size()));
  return result;
}

// Opens `name` as another program would; the handle, or the error.
struct OtherOpen {
  HANDLE handle;
  DWORD error;
};

OtherOpen openAsOther(const std::string& name, DWORD access, DWORD sharing) {
  const HANDLE file =
      CreateFileW(wide(name).c_str(), access, sharing, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  return {file, error};
}

void closeIfOpen(const OtherOpen& open) {
  if (open.handle != INVALID_HANDLE_VALUE) {
    CloseHandle(open.handle);
  }
}

constexpr DWORD ShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST(Win32Platform, SourceIsSharedForReadingButNotForWriting) {
  const ScratchDirectory scratch;
  testing::writeFile(scratch.path() / "in.bin", {1, 2, 3});
  Platform& platform = systemPlatform();
  const FileHandle source = platform.openSource(scratch.name("in.bin"));
  ASSERT_TRUE(source.isValid());

  const OtherOpen reader =
      openAsOther(scratch.name("in.bin"), GENERIC_READ, ShareAll);
  EXPECT_NE(reader.handle, INVALID_HANDLE_VALUE) << reader.error;
  closeIfOpen(reader);
  const OtherOpen writer =
      openAsOther(scratch.name("in.bin"), GENERIC_WRITE, ShareAll);
  EXPECT_EQ(writer.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  closeIfOpen(writer);

  EXPECT_TRUE(platform.close(source));
}

TEST(Win32Platform, SourceHeldByAWriterIsRefused) {
  const ScratchDirectory scratch;
  testing::writeFile(scratch.path() / "in.bin", {1, 2, 3});
  const OtherOpen writer =
      openAsOther(scratch.name("in.bin"), GENERIC_WRITE, ShareAll);
  ASSERT_NE(writer.handle, INVALID_HANDLE_VALUE) << writer.error;
  EXPECT_FALSE(systemPlatform().openSource(scratch.name("in.bin")).isValid());
  closeIfOpen(writer);
}

TEST(Win32Platform, NewOutputIsExclusiveWhileOpen) {
  const ScratchDirectory scratch;
  Platform& platform = systemPlatform();
  std::string name;
  const FileHandle output =
      platform.createTemporaryBeside(scratch.name("out.bin"), name);
  ASSERT_TRUE(output.isValid());
  for (const DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
    const OtherOpen other = openAsOther(name, access, ShareAll);
    EXPECT_EQ(other.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    closeIfOpen(other);
  }
  EXPECT_TRUE(platform.close(output));
  EXPECT_TRUE(platform.remove(name));
}

TEST(Win32Platform, DevicesAreNoSourceButCanBeWrittenInto) {
  Platform& platform = systemPlatform();
  EXPECT_FALSE(platform.openSource("NUL").isValid());
  EXPECT_EQ(platform.pathKind("NUL"), PathKind::Special);
}

// A replace that another process blocks is tried once more after the
// pause; if the other process has let go by then, it succeeds.
TEST(Win32Platform, ReplaceWaitsOnceForAnotherProcessToLetGo) {
  const ScratchDirectory scratch;
  const Bytes source = testing::patternedBytes(SourceImageSize, 31);
  const Bytes old = {9, 9, 9};
  testing::writeFile(scratch.path() / "in.bin", source);
  const std::vector<std::string> arguments = {scratch.name("in.bin"),
                                              scratch.name("out.bin")};
  for (const bool letsGo : {true, false}) {
    SCOPED_TRACE(letsGo ? "lets go" : "holds on");
    testing::writeFile(scratch.path() / "out.bin", old);
    // Like a virus scanner: reading, without sharing deletion.
    OtherOpen holder = openAsOther(scratch.name("out.bin"), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(holder.handle, INVALID_HANDLE_VALUE);
    testing::FaultyPlatform platform;
    platform.onSleep([&] {
      if (letsGo) {
        closeIfOpen(holder);
        holder.handle = INVALID_HANDLE_VALUE;
      }
    });
    const int status = runConverter(platform, arguments);
    closeIfOpen(holder);
    EXPECT_EQ(platform.sleeps(), std::vector<unsigned>{100});
    if (letsGo) {
      EXPECT_EQ(status, ExitSuccess);
      EXPECT_EQ(platform.output(), "");
      EXPECT_EQ(testing::readFile(scratch.path() / "out.bin"),
                testing::expectedTarget(source));
    } else {
      EXPECT_EQ(status, ExitFailure);
      EXPECT_EQ(platform.output().rfind(
                    "Exception: ERROR: Cannot replace output file (", 0),
                0U)
          << platform.output();
      EXPECT_EQ(testing::readFile(scratch.path() / "out.bin"), old);
    }
    EXPECT_EQ(scratch.entries(),
              (std::vector<std::string>{"in.bin", "out.bin"}));
  }
}

// The built program, started with an exact command line.
struct ProgramRun {
  DWORD status;
  std::string output;
};

std::wstring programPath() {
  std::wstring path = wide(VELMORIX_EXE);
  if (!path.empty() && path[0] == L'/') {
    // A path of the build machine, reached through Wine's drive Z:.
    for (auto& character : path) {
      character = character == L'/' ? L'\\' : character;
    }
    path = L"Z:" + path;
  }
  return path;
}

ProgramRun runProgram(const std::wstring& arguments,
                      const std::filesystem::path& in) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  EXPECT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + programPath() + L"\" " + arguments;
  const BOOL started = CreateProcessW(programPath().c_str(), commandLine.data(),
                                      nullptr, nullptr, TRUE, 0, nullptr,
                                      in.wstring().c_str(), &startup, &process);
  CloseHandle(writeEnd);
  EXPECT_TRUE(started) << GetLastError();
  ProgramRun run{0xFFFFFFFF, {}};
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr) &&
         count > 0) {
    run.output.append(buffer, count);
  }
  CloseHandle(readEnd);
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  return run;
}

TEST(Win32CommandLine, RealCommandLinesSplitByTheRule) {
  const struct {
    const wchar_t* arguments;  // after the program's name
    const char* source;
    const char* output;  // relative to the scratch directory
  } cases[] = {
      {L"\"my dump.bin\"", "my dump.bin", "my dump_raw.bin"},
      {L"\"\" \"\"\"\" in.bin", "in.bin", "in_raw.bin"},
      {L"a\"b c\"d.bin", "ab cd.bin", "ab cd_raw.bin"},
      {L"sub\\in.bin \"sub\\out dir\\x.bin\" extra", "sub\\in.bin",
       "sub\\out dir\\x.bin"},
      {L"in.bin sub\\ \"x", "in.bin", "sub\\"},  // names a directory
      {L"caf\u00e9.bin", "caf\u00e9.bin", "caf\u00e9_raw.bin"},
      {L"\u65e5\u672c.bin \u0416.bin", "\u65e5\u672c.bin", "\u0416.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const ScratchDirectory scratch;
    std::filesystem::create_directories(scratch.path() / "sub" / "out dir");
    const Bytes source = testing::patternedBytes(SourceImageSize, 41);
    testing::writeFile(scratch.path() / std::filesystem::u8path(c.source),
                       source);
    const ProgramRun run = runProgram(c.arguments, scratch.path());
    const auto output = scratch.path() / std::filesystem::u8path(c.output);
    if (std::filesystem::is_directory(output)) {
      EXPECT_EQ(run.status, 1U);
      EXPECT_EQ(run.output,
                "Exception: ERROR: Output file is a directory.\r\n");
      continue;
    }
    EXPECT_EQ(run.status, 0U);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(testing::readFile(output), testing::expectedTarget(source));
    EXPECT_EQ(
        testing::readFile(scratch.path() / std::filesystem::u8path(c.source)),
        source);
  }
}

TEST(Win32CommandLine, OnlyQuotePairsIsNoArgument) {
  const ScratchDirectory scratch;
  for (const wchar_t* arguments : {L"", L"\"\"", L"  \"\"\"\"  "}) {
    const ProgramRun run = runProgram(arguments, scratch.path());
    EXPECT_EQ(run.status, 0U);
    EXPECT_EQ(run.output,
              "Velmorix converts a raw image of 786,432 bytes into the "
              "851,968-byte layout.\r\n\r\nUsage: Velmorix.exe inFile "
              "[outFile]\r\n");
  }
  EXPECT_TRUE(scratch.entries().empty());
}

}  // namespace
}  // namespace velmorix
