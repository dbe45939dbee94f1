// `QuorvaneMacTools fixture OUTPUT`: the file, silence on success, one line on failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/run_tool.h"

namespace {

RunOptions InFolder(const std::string& folder) {
  RunOptions options;
  options.working_directory = folder;
  return options;
}

const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);

// Width and height from a PNG's header.
std::pair<uint32_t, uint32_t> PngSize(const std::string& png) {
  auto word = [&](size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(png[at + i]);
    return value;
  };
  return {word(16), word(20)};
}

TEST(FixtureCli, WritesAn800By500PngAndPrintsNothing) {
  TempDir dir;
  RunResult run = RunTool({"fixture", dir.File("fixture.png")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  const std::string png = ReadFile(dir.File("fixture.png"));
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), kPngSignature);
  EXPECT_EQ(PngSize(png), std::make_pair(800u, 500u));
}

TEST(FixtureCli, TwoRunsWriteTheSameBytes) {
  TempDir dir;
  ASSERT_EQ(RunTool({"fixture", dir.File("a.png")}).status, 0);
  ASSERT_EQ(RunTool({"fixture", dir.File("b.png")}).status, 0);
  EXPECT_EQ(ReadFile(dir.File("a.png")), ReadFile(dir.File("b.png")));
}

TEST(FixtureCli, ExistingFileIsReplacedAndAnyNameHoldsPng) {
  TempDir dir;
  WriteFile(dir.File("image.jpg"), std::string(100000, 'x'));
  RunResult run = RunTool({"fixture", dir.File("image.jpg")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  const std::string png = ReadFile(dir.File("image.jpg"));
  EXPECT_EQ(png.substr(0, 8), kPngSignature);
  EXPECT_EQ(png.find("xxxx"), std::string::npos) << "nothing of the old file remains";
}

TEST(FixtureCli, RelativePathResolvesAgainstTheWorkingDirectory) {
  TempDir dir;
  RunResult run = RunTool({"fixture", "out.png"}, InFolder(dir.path()));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(FileExists(dir.File("out.png")));
}

TEST(FixtureCli, MissingFolderFailsWithOneLineNamingThePath) {
  TempDir dir;
  const std::string path = dir.File("no/such/folder/fixture.png");
  RunResult run = RunTool({"fixture", path});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "The file \"" + path + "\" could not be written: No such file or directory\n");
  EXPECT_FALSE(FileExists(dir.File("no"))) << "no folder is created";
}

TEST(FixtureCli, PathThatIsAFolderFailsAndKeepsTheFolder) {
  TempDir dir;
  RunResult run = RunTool({"fixture", dir.path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "The file \"" + dir.path() + "\" could not be written: Is a directory\n");
  struct stat status;
  EXPECT_EQ(stat(dir.path().c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
}

}  // namespace
