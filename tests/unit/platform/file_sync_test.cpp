// Flushing files and directories to the disk, on the POSIX side.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/files.h"

namespace {

using brevorin::platform::sync_directory;
using brevorin::platform::sync_file;

class FileSync : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/brv-sync-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/plain";
        std::FILE* f = std::fopen(file_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    void TearDown() override {
        ::unlink(file_.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string dir_;
    std::string file_;
};

struct DirectoryCase {
    const char* suffix;  // appended to the test's directory; "-" for the empty text
    int error;
};

class SyncDirectory : public FileSync, public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(SyncDirectory, FlushesADirectoryAndNamesWhatIsNone) {
    const DirectoryCase& c = GetParam();
    std::string path = std::string(c.suffix) == "-" ? std::string() : dir_ + c.suffix;
    EXPECT_EQ(sync_directory(path, false), c.error) << path;
}

INSTANTIATE_TEST_SUITE_P(Paths, SyncDirectory,
                         ::testing::Values(DirectoryCase{"", 0},
                                           DirectoryCase{"/", 0},  // as attachment paths end
                                           DirectoryCase{"-", 0},  // the current directory
                                           DirectoryCase{"/missing/", ENOENT},
                                           DirectoryCase{"/plain", ENOTDIR}));

TEST_F(FileSync, WritesTheStreamBufferBeforeFlushing) {
    std::FILE* f = std::fopen(file_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite("held", 1, 4, f), 4u);  // still in the stream's buffer
    EXPECT_EQ(sync_file(f), 0);
    std::FILE* r = std::fopen(file_.c_str(), "rb");
    ASSERT_NE(r, nullptr);
    char got[8] = {};
    EXPECT_EQ(std::fread(got, 1, sizeof got, r), 4u);
    EXPECT_STREQ(got, "held");
    std::fclose(r);
    std::fclose(f);
}

TEST_F(FileSync, ReportsWhyTheBufferCouldNotBeWritten) {
    std::FILE* f = std::fopen("/dev/full", "wb");
    if (f == nullptr) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(std::fwrite("lost", 1, 4, f), 4u);
    EXPECT_EQ(sync_file(f), ENOSPC);
    std::fclose(f);
}

}  // namespace
