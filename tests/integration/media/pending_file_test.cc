#include "platform/media/pending_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform_error.h"
#include "tests/support/run_tool.h"

namespace {

using ::testing::StartsWith;

// Writes |bytes| through the URL the muxer would use.
void WriteThrough(const PendingFile& file, const std::string& bytes) {
  const std::string url = file.url();
  ASSERT_THAT(url, StartsWith("file:"));
  WriteFile(url.substr(5), bytes);
}

// Both ways of keeping the file pending: unnamed where the file system allows, a hidden name
// elsewhere.
class PendingFileTest : public ::testing::TestWithParam<bool> {
 protected:
  TempDir dir_;
};

TEST_P(PendingFileTest, AppearsOnlyWhenPublished) {
  const std::string final_path = dir_.File("movie.mp4");
  {
    PendingFile file(final_path, GetParam());
    WriteThrough(file, "complete movie");
    EXPECT_FALSE(FileExists(final_path));
    file.Publish();
  }
  EXPECT_EQ(ReadFile(final_path), "complete movie");
  EXPECT_EQ(FilesIn(dir_.path()), std::vector<std::string>{"movie.mp4"});
}

TEST_P(PendingFileTest, UnpublishedFileLeavesNothing) {
  {
    PendingFile file(dir_.File("movie.mp4"), GetParam());
    WriteThrough(file, "half a movie");
  }
  EXPECT_TRUE(FilesIn(dir_.path()).empty());

  PendingFile discarded(dir_.File("movie.mp4"), GetParam());
  WriteThrough(discarded, "half a movie");
  discarded.Discard();
  EXPECT_TRUE(FilesIn(dir_.path()).empty());
  discarded.Discard();
}

TEST_P(PendingFileTest, FileThatAppearsMeanwhileIsNeverReplaced) {
  const std::string final_path = dir_.File("movie.mp4");
  PendingFile file(final_path, GetParam());
  WriteThrough(file, "our movie");
  WriteFile(final_path, "someone else's movie");
  try {
    file.Publish();
    FAIL() << "published over an existing file";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot export to " + final_path + ": a file already exists there");
  }
  EXPECT_EQ(ReadFile(final_path), "someone else's movie");
}

TEST_P(PendingFileTest, RefusesATakenPathOrAMissingFolderUpFront) {
  WriteFile(dir_.File("taken.mp4"), "kept");
  EXPECT_THROW(PendingFile(dir_.File("taken.mp4"), GetParam()), PlatformError);
  std::filesystem::create_directory(dir_.File("folder.mp4"));
  try {
    PendingFile file(dir_.File("folder.mp4"), GetParam());
    FAIL() << "took a folder for a file";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot export to " + dir_.File("folder.mp4") + ": it is a folder");
  }
  std::filesystem::create_symlink(dir_.File("nowhere"), dir_.File("dangling.mp4"));
  EXPECT_THROW(PendingFile(dir_.File("dangling.mp4"), GetParam()), PlatformError);
  try {
    PendingFile file(dir_.File("gone/movie.mp4"), GetParam());
    FAIL() << "created a file in a missing folder";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()), "Cannot export to " + dir_.File("gone/movie.mp4") +
                                             ": the folder " + dir_.File("gone") +
                                             " does not exist");
  }
  EXPECT_EQ(FilesIn(dir_.path()),
            (std::vector<std::string>{"dangling.mp4", "folder.mp4", "taken.mp4"}));
  EXPECT_EQ(ReadFile(dir_.File("taken.mp4")), "kept");
}

INSTANTIATE_TEST_SUITE_P(UnnamedOrHidden, PendingFileTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unnamed" : "Hidden"; });

}  // namespace
