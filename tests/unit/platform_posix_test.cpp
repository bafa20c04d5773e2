// POSIX renderings of the sharing rules, which portable tests cannot see.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "scratch_directory.h"

namespace velmorix {
namespace {

using testing::ScratchDirectory;

// True when another open file description could take `lock` on `name`.
bool canLock(const std::string& name, int lock) {
  const int file = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(file, 0) << name;
  const bool locked = ::flock(file, lock | LOCK_NB) == 0;
  ::close(file);
  return locked;
}

TEST(PosixPlatform, SourceIsSharedForReadingButNotForWriting) {
  const ScratchDirectory scratch;
  testing::writeFile(scratch.path() / "in.bin", {1, 2, 3});
  Platform& platform = systemPlatform();
  const FileHandle source = platform.openSource(scratch.name("in.bin"));
  ASSERT_TRUE(source.isValid());
  EXPECT_TRUE(canLock(scratch.name("in.bin"), LOCK_SH));
  EXPECT_FALSE(canLock(scratch.name("in.bin"), LOCK_EX));
  EXPECT_TRUE(platform.close(source));
  EXPECT_TRUE(canLock(scratch.name("in.bin"), LOCK_EX));
}

TEST(PosixPlatform, SourceHeldByAWriterIsRefused) {
  const ScratchDirectory scratch;
  testing::writeFile(scratch.path() / "in.bin", {1, 2, 3});
  const int writer = ::open(scratch.name("in.bin").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(writer, LOCK_EX), 0);
  EXPECT_FALSE(systemPlatform().openSource(scratch.name("in.bin")).isValid());
  ::close(writer);
}

TEST(PosixPlatform, NewOutputIsExclusiveWhileOpen) {
  const ScratchDirectory scratch;
  Platform& platform = systemPlatform();
  std::string name;
  const FileHandle output =
      platform.createTemporaryBeside(scratch.name("out.bin"), name);
  ASSERT_TRUE(output.isValid());
  EXPECT_EQ(name.rfind(scratch.name(""), 0), 0U) << name;
  EXPECT_FALSE(canLock(name, LOCK_SH));
  EXPECT_TRUE(platform.close(output));
  EXPECT_TRUE(platform.remove(name));
}

TEST(PosixPlatform, NewOutputGetsTheUmaskPermissions) {
  const ScratchDirectory scratch;
  Platform& platform = systemPlatform();
  for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    const mode_t previous = ::umask(mask);
    std::string name;
    const FileHandle output =
        platform.createTemporaryBeside(scratch.name("out.bin"), name);
    ::umask(previous);
    ASSERT_TRUE(output.isValid());
    struct stat status {};
    ASSERT_EQ(::stat(name.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777U, 0666U & ~mask) << std::oct << mask;
    platform.close(output);
    platform.remove(name);
  }
}

TEST(PosixPlatform, FifoSourceIsRefusedWithoutBlocking) {
  const ScratchDirectory scratch;
  ASSERT_EQ(::mkfifo(scratch.name("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(systemPlatform().openSource(scratch.name("fifo")).isValid());
}

}  // namespace
}  // namespace velmorix
