#include "mime/file_names.h"

#include <gtest/gtest.h>

#include "mime/mime_headers.h"
#include "mime_test_support.h"

namespace brevorin {
namespace {

std::string next(std::string name) {
    next_file_name(name);
    return name;
}

TEST(NextFileName, Examples) {
    EXPECT_EQ(next("photo.jpg"), "photo-1.jpg");
    EXPECT_EQ(next("photo-1.jpg"), "photo-2.jpg");
    EXPECT_EQ(next("report.final.pdf"), "report-1.final.pdf");
    EXPECT_EQ(next("my-photo.jpg"), "my-1.jpg");
    EXPECT_EQ(next("README"), "README-1.");
    EXPECT_EQ(next("att-1"), "att-2.");
    EXPECT_EQ(next(".profile"), "att-1.profile");
    EXPECT_EQ(next(""), "att-1");
    EXPECT_EQ(next("x-2147483647.y"), "x-2147483648.y");
    EXPECT_EQ(next(std::string(520, 'a')), "att-1");
}

TEST(SafeAttachmentName, NamesStayInTheDirectory) {
    EXPECT_EQ(safe_attachment_name("../../etc/passwd"), "passwd");
    EXPECT_EQ(safe_attachment_name("C:\\Windows\\win.ini"), "win.ini");
    EXPECT_EQ(safe_attachment_name("C:boot.ini"), "boot.ini");
    EXPECT_EQ(safe_attachment_name(".."), "");
    EXPECT_EQ(safe_attachment_name("."), "");
    EXPECT_EQ(safe_attachment_name("dir/"), "");
    EXPECT_EQ(safe_attachment_name(" . "), "");
    EXPECT_EQ(safe_attachment_name("CON"), "_CON");
    EXPECT_EQ(safe_attachment_name("nul.txt"), "_nul.txt");
    EXPECT_EQ(safe_attachment_name("a\x1b"
                                   "b\r\n"),
              "a_b__");
    EXPECT_EQ(safe_attachment_name(std::string(300, 'x')).size(), kMaxFileNameLength);
}

TEST(FreePath, TriesTenNamesAtMost) {
    test::TempDir dir;
    std::string name = "a.bin", path;
    ASSERT_EQ(find_free_path(dir.text(), name, path), 0);
    EXPECT_EQ(path, dir.file("a.bin"));
    test::write_file(dir.file("a.bin"), "x");
    for (int i = 1; i <= 8; ++i) test::write_file(dir.file("a-" + std::to_string(i) + ".bin"), "");
    name = "a.bin";
    ASSERT_EQ(find_free_path(dir.text(), name, path), 0);
    EXPECT_EQ(name, "a-9.bin");
    test::write_file(dir.file("a-9.bin"), "");
    name = "a.bin";
    EXPECT_EQ(find_free_path(dir.text(), name, path), -1);
    EXPECT_EQ(name, "a-10.bin");
}

TEST(FreePath, LongNamesAreShortenedToFitThePathLimit) {
    test::TempDir dir;
    std::string name = std::string(250, 'r') + ".pdf", path;
    ASSERT_EQ(find_free_path(dir.text(), name, path), 0);
    EXPECT_EQ(path.size(), kMaxPathLength);
    EXPECT_EQ(name.substr(name.size() - 4), ".pdf");
    test::write_file(path, "");
    std::string second = std::string(250, 'r') + ".pdf";
    ASSERT_EQ(find_free_path(dir.text(), second, path), 0);
    EXPECT_LE(path.size(), kMaxPathLength);
    EXPECT_NE(second, name);
    EXPECT_NE(second.find("-1.pdf"), std::string::npos);

    std::string any = "a";
    EXPECT_EQ(find_free_path(std::string(kMaxPathLength, 'd'), any, path), -1);
}

}  // namespace
}  // namespace brevorin
