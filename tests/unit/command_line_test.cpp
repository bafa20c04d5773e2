#include <gtest/gtest.h>

#include "converter.h"

namespace velmorix {
namespace {

TEST(DeriveOutputName, ReplacesOnlyTheLastExtensionOfTheLastComponent) {
  const struct {
    const char* inFile;
    const char* outFile;
  } cases[] = {
      {"dump.bin", "dump_raw.bin"},
      {"dump.tar.gz", "dump.tar_raw.bin"},
      {"dump", "dump_raw.bin"},
      {"dump.", "dump_raw.bin"},
      {".bin", "_raw.bin"},
      {"", "_raw.bin"},
      {"C:\\data.old\\dump", "C:\\data.old\\dump_raw.bin"},
      {"C:\\data.old\\dump.bin", "C:\\data.old\\dump_raw.bin"},
      {"D:dump", "D:dump_raw.bin"},
      {"D:.x", "D:_raw.bin"},
      {"dir.v2/dump", "dir.v2/dump_raw.bin"},
      {"/tmp/x.d/in.bin", "/tmp/x.d/in_raw.bin"},
      {"dir.v2/", "dir.v2/_raw.bin"},
      {"-h", "-h_raw.bin"},
      {"caf\xc3\xa9.img", "caf\xc3\xa9_raw.bin"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(deriveOutputName(c.inFile), c.outFile) << "inFile " << c.inFile;
  }
}

TEST(SplitCommandLine, FollowsTheQuotingRule) {
  using Words = std::vector<std::string>;
  const struct {
    const char* commandLine;
    Words arguments;
  } cases[] = {
      {"", {}},
      {"prog", {}},
      {"prog   ", {}},
      {"prog a b", {"a", "b"}},
      {"  prog\ta\r\nb  ", {"a", "b"}},
      {"\"C:\\Program Files\\prog.exe\" in.bin", {"in.bin"}},
      {"prog \"my dump.bin\" \"out dir\\x.bin\"",
       {"my dump.bin", "out dir\\x.bin"}},
      // Quotes may open and close inside a word; they are dropped.
      {"prog a\"b c\"d", {"ab cd"}},
      // Pairs of quotes between words are skipped, inside words dropped.
      {"prog \"\" a \"\"\"\" b", {"a", "b"}},
      {"prog a\"\"b", {"ab"}},
      // Three quotes: a skipped pair, then a stretch that runs to the end.
      {"prog \"\"\" a b", {" a b"}},
      // An unclosed quote runs to the end of the text.
      {"prog \"a b", {"a b"}},
      // A lone quote at the very end is no argument.
      {"prog a \"", {"a"}},
      // Backslashes are ordinary characters, even before quotes.
      {"prog C:\\dir\\ \"x\\\" y", {"C:\\dir\\", "x\\", "y"}},
      {"prog a\\\"b c\"", {"a\\b c"}},
      // Control characters separate words like blanks do.
      {"prog a\x01"
       "b\x1f"
       "c",
       {"a", "b", "c"}},
      // Non-ASCII text (UTF-8) is part of words.
      {"prog caf\xc3\xa9.bin \xe2\x80\x83x",
       {"caf\xc3\xa9.bin", "\xe2\x80\x83x"}},
      {"prog -h --", {"-h", "--"}},
      {"prog a b c d", {"a", "b", "c", "d"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(splitCommandLine(c.commandLine), c.arguments)
        << "command line [" << c.commandLine << "]";
  }
}

TEST(SplitCommandLine, TextEndsAtTheFirstNul) {
  using namespace std::string_literals;
  EXPECT_EQ(splitCommandLine("prog a\0b"s), std::vector<std::string>{"a"});
  EXPECT_EQ(splitCommandLine("prog \"a\0b\""s), std::vector<std::string>{"a"});
}

}  // namespace
}  // namespace velmorix
