#include "mime/uudecode.h"

#include <gtest/gtest.h>

#include "mime_test_support.h"
#include "platform/files.h"
#include "support/host_fixture.h"

namespace brevorin {
namespace {

class Uudecode : public ::testing::Test {
  protected:
    int decode(const std::string& block, const std::string& directory) {
        platform::File in(std::tmpfile());
        std::fwrite(block.data(), 1, block.size(), in.get());
        std::rewind(in.get());
        name.clear();
        status = -1;
        AttachmentFiles files;
        int rc = uudecode(directory, in.get(), files, name, status, ctx);
        OwnedText listed;
        files.commit(listed, status, ctx);
        return rc;
    }
    bool has(const std::string& line) { return host.has_line("BREVORIN: <E1> " + line); }

    test::HostFixture host;
    Context ctx = test::traced_context();
    test::TempDir dir;
    std::string name;
    int status = -1;
};

TEST_F(Uudecode, WritesTheFileNamedByTheBeginLine) {
    ASSERT_EQ(decode("begin 644 a.bin\r\n#8V%T\r\n`\r\nend\r\n", dir.text()), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(name, "a.bin");
    EXPECT_EQ(test::read_file(dir.file("a.bin")), "cat");
    EXPECT_TRUE(host.has_line("BREVORIN: <D2> UUDECODE: decoding in mode: 644, file: a.bin"));
    EXPECT_TRUE(host.has_line("BREVORIN: <D2> UUDECODE: writing file to: " + dir.file("a.bin")));
}

TEST_F(Uudecode, LostTrailingBlanksCountAsZero) {
    // "!" is one byte; its group "```" lost to a mailer that strips blanks.
    ASSERT_EQ(decode("begin 600 z\n!\n`\nend\n", dir.text()), 0);
    EXPECT_EQ(test::read_file(dir.file("z")), std::string(1, '\0'));
    // With CR LF the CR (value 45) stands as the first missing character.
    ASSERT_EQ(decode("begin 600 y\r\n!\r\n`\r\nend\r\n", dir.text()), 0);
    EXPECT_EQ(test::read_file(dir.file("y")), std::string(1, static_cast<char>(45 << 2)));
}

TEST_F(Uudecode, AnEmptyCrLfLineIsDataAndALoneLfEndsIt) {
    ASSERT_EQ(decode("begin 600 e\r\n\r\n`\r\nend\r\n", dir.text()), 0);
    std::string written = test::read_file(dir.file("e"));
    EXPECT_EQ(written.size(), 45u);
    ASSERT_EQ(decode("begin 600 f\r\n#8V%T\r\n\nend\r\n", dir.text()), 0);
    EXPECT_EQ(test::read_file(dir.file("f")), "cat");
}

TEST_F(Uudecode, FormatErrors) {
    EXPECT_EQ(decode("", dir.text()), -1);
    EXPECT_TRUE(has("UUDECODE: no beginline"));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(decode("begin a.bin\r\n`\r\nend\r\n", dir.text()), -1);
    EXPECT_TRUE(has("UUDECODE: no valid beginline"));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(decode("begin 644 b.bin\r\n#8V%T\r\nend\r\n", dir.text()), -1);
    EXPECT_TRUE(has("UUDECODE: error while decoding"));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(decode("begin 644 c.bin\r\n#8V%T\r\n`\r\nfinish\r\n", dir.text()), -1);
    EXPECT_TRUE(has("UUDECODE: no valid endline"));
    EXPECT_EQ(name, "c.bin");
}

TEST_F(Uudecode, NoFreeNameAndNoDirectory) {
    test::write_file(dir.file("a.bin"), "");
    for (int i = 1; i <= 9; ++i) test::write_file(dir.file("a-" + std::to_string(i) + ".bin"), "");
    EXPECT_EQ(decode("begin 644 a.bin\r\n`\r\nend\r\n", dir.text()), -1);
    EXPECT_TRUE(has("UUDECODE: can't create unique filename, last try was: a-10.bin"));
    EXPECT_EQ(status, 3);

    std::string missing = dir.file("missing") + "/";
    EXPECT_EQ(decode("begin 644 q.bin\r\n`\r\nend\r\n", missing), -1);
    EXPECT_TRUE(has("UUDECODE: can't open output: " + missing + "q.bin for writing"));
    EXPECT_EQ(status, 2);
}

TEST_F(Uudecode, SenderChosenPathsStayInTheDirectory) {
    ASSERT_EQ(decode("begin 644 ../../escape.txt\r\n#8V%T\r\n`\r\nend\r\n", dir.text()), 0);
    EXPECT_EQ(name, "escape.txt");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"escape.txt"});
    ASSERT_EQ(decode("begin 644 ..\r\n`\r\nend\r\n", dir.text()), 0);
    EXPECT_EQ(name, "att-1");
    ASSERT_EQ(decode("begin 644 /etc/passwd\r\n`\r\nend\r\n", dir.text()), 0);
    EXPECT_EQ(name, "passwd");
}

}  // namespace
}  // namespace brevorin
