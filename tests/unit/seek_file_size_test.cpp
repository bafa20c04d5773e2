#include <gtest/gtest.h>

#include <cstdint>

#include "converter.h"
#include "image_relayout.h"
#include "platform.h"
#include "scratch_directory.h"

namespace velmorix {
namespace {

using testing::Bytes;
using testing::ScratchDirectory;

// Opens `name` as the converter opens its source and closes it afterwards.
class Source {
 public:
  explicit Source(const std::string& name)
      : file_(systemPlatform().openSource(name)) {}
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  Source(Source&&) = delete;
  Source& operator=(Source&&) = delete;
  ~Source() {
    if (file_.isValid()) {
      systemPlatform().close(file_);
    }
  }
  [[nodiscard]] FileHandle handle() const { return file_; }

 private:
  FileHandle file_;
};

TEST(SeekFileSize, GivesTheSizeOfFilesThatFitIn32Bits) {
  const ScratchDirectory scratch;
  for (const std::uintmax_t size :
       {std::uintmax_t{0}, std::uintmax_t{1},
        std::uintmax_t{SourceImageSize - 1}, std::uintmax_t{SourceImageSize},
        std::uintmax_t{SourceImageSize + 1}, std::uintmax_t{0x7FFFFFFF}}) {
    const auto path = scratch.path() / "image";
    testing::writeFile(path, {});
    std::filesystem::resize_file(path, size);  // sparse where it can be
    const Source source(scratch.name("image"));
    ASSERT_TRUE(source.handle().isValid());
    EXPECT_EQ(seekFileSize(systemPlatform(), source.handle()),
              static_cast<std::int64_t>(size));
  }
}

TEST(SeekFileSize, RefusesSizesThatDoNotFitIn32Bits) {
  const ScratchDirectory scratch;
  for (const std::uintmax_t size :
       {std::uintmax_t{0x80000000}, std::uintmax_t{0xFFFFFFFF},
        // Would read as SourceImageSize if cut to 32 bits.
        std::uintmax_t{0x100000000} + SourceImageSize}) {
    const auto path = scratch.path() / "big";
    testing::writeFile(path, {});
    std::error_code error;
    std::filesystem::resize_file(path, size, error);
    if (error) {
      GTEST_SKIP() << "cannot make a sparse file of " << size
                   << " bytes here: " << error.message();
    }
    const Source source(scratch.name("big"));
    ASSERT_TRUE(source.handle().isValid());
    EXPECT_EQ(seekFileSize(systemPlatform(), source.handle()), -1)
        << "size " << size;
  }
}

TEST(SeekFileSize, LeavesThePositionWhereItWas) {
  const ScratchDirectory scratch;
  const Bytes bytes = testing::patternedBytes(1000, 3);
  testing::writeFile(scratch.path() / "data", bytes);
  const Source source(scratch.name("data"));
  Platform& platform = systemPlatform();
  unsigned char head[10] = {};
  ASSERT_EQ(platform.read(source.handle(), head, sizeof head), 10);
  EXPECT_EQ(seekFileSize(platform, source.handle()), 1000);
  unsigned char next[10] = {};
  ASSERT_EQ(platform.read(source.handle(), next, sizeof next), 10);
  EXPECT_TRUE(std::equal(next, next + 10, bytes.begin() + 10));
}

TEST(SeekFileSize, IsMinusOneForAnUnopenedSource) {
  const ScratchDirectory scratch;
  EXPECT_EQ(seekFileSize(systemPlatform(), FileHandle{}), -1);
  for (const char* name : {"missing", ""}) {
    const Source source(scratch.name(name));
    EXPECT_FALSE(source.handle().isValid()) << name;
    EXPECT_EQ(seekFileSize(systemPlatform(), source.handle()), -1) << name;
  }
}

}  // namespace
}  // namespace velmorix
