// The run sequence driven in-process over the real platform layer, with
// real files, through a platform wrapper that records and can fail calls.

#include <gtest/gtest.h>

#include <algorithm>

#include "converter.h"
#include "faulty_platform.h"
#include "image_relayout.h"
#include "scratch_directory.h"

namespace velmorix {
namespace {

using testing::Bytes;
using testing::FaultyPlatform;
using testing::ScratchDirectory;

std::size_t firstIndexOf(const std::vector<std::string>& calls,
                         const std::string& call) {
  return static_cast<std::size_t>(std::find(calls.begin(), calls.end(), call) -
                                  calls.begin());
}

class RunConverter : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeFile(scratch_.path() / "in.bin", source_);
    testing::writeFile(scratch_.path() / "out.bin", oldOutput_);
  }

  int run(FaultyPlatform& platform) {
    return runConverter(platform,
                        {scratch_.name("in.bin"), scratch_.name("out.bin")});
  }

  ScratchDirectory scratch_;
  const Bytes source_ = testing::patternedBytes(SourceImageSize, 11);
  const Bytes oldOutput_ = testing::patternedBytes(1234, 12);
};

TEST_F(RunConverter, TouchesTheOutputOnlyAfterTheSourceIsClosed) {
  FaultyPlatform platform;
  ASSERT_EQ(run(platform), ExitSuccess);
  const auto& calls = platform.calls();
  const std::size_t sourceClosed = firstIndexOf(calls, "close");
  ASSERT_LT(sourceClosed, calls.size());
  EXPECT_LT(firstIndexOf(calls, "read"), sourceClosed);
  EXPECT_LT(sourceClosed, firstIndexOf(calls, "createTemporaryBeside"));
  // The new image is complete and durable before it takes the old one's
  // place, and nothing is deleted on the way.
  EXPECT_LT(firstIndexOf(calls, "flush"), firstIndexOf(calls, "replace"));
  EXPECT_EQ(firstIndexOf(calls, "remove"), calls.size());
  EXPECT_EQ(platform.output(), "");
  EXPECT_EQ(testing::readFile(scratch_.path() / "out.bin"),
            testing::expectedTarget(source_));
}

TEST_F(RunConverter, TriesABusyReplaceOnceMoreAfterAPause) {
  FaultyPlatform platform;
  platform.answerBusy(1);
  EXPECT_EQ(run(platform), ExitSuccess);
  EXPECT_EQ(platform.sleeps(), std::vector<unsigned>{100});
  EXPECT_EQ(platform.output(), "");
  EXPECT_EQ(testing::readFile(scratch_.path() / "out.bin"),
            testing::expectedTarget(source_));
  EXPECT_EQ(scratch_.entries(),
            (std::vector<std::string>{"in.bin", "out.bin"}));
}

TEST_F(RunConverter, GivesUpWhenTheOutputStaysBusy) {
  FaultyPlatform platform;
  platform.answerBusy(2);
  EXPECT_EQ(run(platform), ExitFailure);
  EXPECT_EQ(platform.sleeps(), std::vector<unsigned>{100});
  EXPECT_EQ(
      platform.output(),
      "Exception: ERROR: Cannot replace output file (injected fault).\r\n");
  EXPECT_EQ(testing::readFile(scratch_.path() / "out.bin"), oldOutput_);
  EXPECT_EQ(scratch_.entries(),
            (std::vector<std::string>{"in.bin", "out.bin"}));
}

}  // namespace
}  // namespace velmorix
