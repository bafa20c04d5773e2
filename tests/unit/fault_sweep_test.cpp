// Makes each platform call of a conversion fail in turn, over real files,
// and checks after every run that nothing was lost: the source untouched,
// an existing output either as it was or, only once the new image has
// taken its place, exactly the new image; no temporary file left behind;
// and either one failure line with status 1 or, where the program could
// carry on, a clean success.

#include <gtest/gtest.h>

#include <map>

#include "converter.h"
#include "faulty_platform.h"
#include "image_relayout.h"
#include "scratch_directory.h"

namespace velmorix {
namespace {

using testing::Bytes;
using testing::FaultyPlatform;
using testing::ScratchDirectory;

struct Scenario {
  const char* name;
  bool outputExists;
  bool inPlace;  // inFile and outFile name the same file
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {
 protected:
  // Lays out a fresh directory for one run and returns its arguments.
  std::vector<std::string> prepare(const ScratchDirectory& scratch) const {
    testing::writeFile(scratch.path() / "in.bin", source_);
    if (GetParam().inPlace) {
      return {scratch.name("in.bin"), scratch.name("in.bin")};
    }
    if (GetParam().outputExists) {
      testing::writeFile(scratch.path() / "out.bin", oldOutput_);
    }
    return {scratch.name("in.bin"), scratch.name("out.bin")};
  }

  const Bytes source_ = testing::patternedBytes(SourceImageSize, 21);
  const Bytes oldOutput_ = testing::patternedBytes(5000, 22);
  const Bytes target_ = testing::expectedTarget(source_);
};

// A temporary file, left only when its removal failed.
bool isTemporary(const std::string& name) {
  return name.rfind(".Velmorix-", 0) == 0 && name.size() == 22 &&
         name.compare(18, 4, ".tmp") == 0;
}

// The line each failing call must give. The first close is the source's,
// whose failure does not matter once it has been read.
std::string expectedLine(const std::string& call, bool firstClose) {
  static const std::map<std::string, std::string> what = {
      {"openSource", "Bad source file size."},
      {"seek", "Bad source file size."},
      {"read", "Cannot read source file (injected fault)."},
      {"pathKind", "Cannot access output file (injected fault)."},
      {"createTemporaryBeside", "Cannot create output file (injected fault)."},
      {"write", "Cannot write output file (injected fault)."},
      {"flush", "Cannot flush output file to disk (injected fault)."},
      {"close", "Cannot close output file (injected fault)."},
      {"replace", "Cannot replace output file (injected fault)."},
      {"syncDirectoryOf", "Cannot sync output directory (injected fault)."},
  };
  if (call == "close" && firstClose) {
    return "";
  }
  return "Exception: ERROR: " + what.at(call) + "\r\n";
}

TEST_P(FaultSweep, NothingIsLostWhicheverCallFails) {
  const Scenario scenario = GetParam();
  std::vector<std::string> calls;
  {
    const ScratchDirectory scratch;
    FaultyPlatform platform;
    ASSERT_EQ(runConverter(platform, prepare(scratch)), ExitSuccess);
    calls = platform.calls();
  }
  const std::size_t replaceCall =
      static_cast<std::size_t>(
          std::find(calls.begin(), calls.end(), "replace") - calls.begin()) +
      1;
  ASSERT_LE(replaceCall, calls.size());

  // Each call fails alone, and then again together with every removal, so
  // that the cleanup after the failure fails too.
  for (std::size_t failing = 1; failing <= calls.size(); ++failing) {
    for (const bool removalFails : {false, true}) {
      const std::string& call = calls[failing - 1];
      SCOPED_TRACE("call " + std::to_string(failing) + ": " + call +
                   (removalFails ? ", removal failing too" : ""));
      const ScratchDirectory scratch;
      FaultyPlatform platform;
      platform.failCall(failing);
      if (removalFails) {
        platform.failEvery("remove");
      }
      const int status = runConverter(platform, prepare(scratch));

      const auto before =
          calls.begin() + static_cast<std::ptrdiff_t>(failing - 1);
      const bool firstClose =
          call == "close" &&
          std::find(calls.begin(), before, "close") == before;
      const std::string line = expectedLine(call, firstClose);
      EXPECT_EQ(platform.output(), line);
      EXPECT_EQ(status, line.empty() ? ExitSuccess : ExitFailure);

      // Only a failure after the replace may leave the new image in place.
      const bool replaced = failing > replaceCall || line.empty();
      const auto* outputName = scenario.inPlace ? "in.bin" : "out.bin";
      if (!scenario.inPlace) {
        EXPECT_EQ(testing::readFile(scratch.path() / "in.bin"), source_);
      }
      if (replaced) {
        EXPECT_EQ(testing::readFile(scratch.path() / outputName), target_);
      } else if (scenario.inPlace) {
        EXPECT_EQ(testing::readFile(scratch.path() / outputName), source_);
      } else if (scenario.outputExists) {
        EXPECT_EQ(testing::readFile(scratch.path() / outputName), oldOutput_);
      }

      // No file but those the run started with and its output, and a
      // temporary only where removing it failed.
      std::vector<std::string> expected = {"in.bin"};
      if (!scenario.inPlace && (scenario.outputExists || replaced)) {
        expected.emplace_back("out.bin");
      }
      std::vector<std::string> entries = scratch.entries();
      const auto& made = platform.calls();
      const bool removalAttempted =
          std::find(made.begin(), made.end(), "remove") != made.end();
      if (removalFails && removalAttempted) {
        ASSERT_FALSE(entries.empty());
        EXPECT_TRUE(isTemporary(entries.front())) << entries.front();
        entries.erase(entries.begin());
      }
      EXPECT_EQ(entries, expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, FaultSweep,
    ::testing::Values(Scenario{"NewOutput", false, false},
                      Scenario{"ExistingOutput", true, false},
                      Scenario{"InPlace", true, true}),
    [](const ::testing::TestParamInfo<Scenario>& scenario) {
      return std::string(scenario.param.name);
    });

}  // namespace
}  // namespace velmorix
