#include "mime/file_names.h"

#include <gtest/gtest.h>

#include "mime/classic_fields.h"
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
    std::string bare = "att-1";
    next_file_name(bare, NextName::kNoTrailingDot);
    EXPECT_EQ(bare, "att-2");
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

// Names that pass the path rules but would hide, disguise or control
// something: by the rules of the host's character set.
struct NameCase {
    const char* name;
    int charset;
    std::string given;
    std::string safe;
};

class UnsafeNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(UnsafeNames, AreMadeVisibleAndHarmless) {
    EXPECT_EQ(safe_attachment_name(GetParam().given, GetParam().charset), GetParam().safe);
}

INSTANTIATE_TEST_SUITE_P(
    Names, UnsafeNames,
    ::testing::Values(
        NameCase{"dotFile", kUsAscii, ".bashrc", "_.bashrc"},
        NameCase{"dotFileAfterPath", kUtf8, "x/.profile", "_.profile"},
        // 0x95 0x5C is one Shift_JIS character, not a separator.
        NameCase{"sjisTrailByte", kSjis, "\x95\x5C.txt", "\x95\x5C.txt"},
        NameCase{"sjisSeparator", kSjis, "dir\\\x95\x5C.txt", "\x95\x5C.txt"},
        NameCase{"rightToLeftOverride", kUtf8, "invoice\xE2\x80\xAE" "fdp.exe", "invoice_fdp.exe"},
        NameCase{"isolate", kUtf8, "a\xE2\x81\xA6" "b", "a_b"},
        NameCase{"utf8C1", kUtf8, "a\xC2\x9B" "b", "a_b"},
        NameCase{"loneCsiByte", kUtf8, "a\x9B" "b", "a_b"},
        NameCase{"utf8Kept", kUtf8, "Gr\xC3\xBC\xC3\x9F" "e.pdf", "Gr\xC3\xBC\xC3\x9F" "e.pdf"},
        NameCase{"latin1C1", kLatin1, "a\x9B" "b\xE9", "a_b\xE9"},
        NameCase{"sjisLeadBytesKept", kSjis, "\x82\xA0.txt", "\x82\xA0.txt"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SafeAttachmentName, EveryDeviceNameIsPrefixed) {
    for (const char* stem : {"COM", "LPT"}) {
        for (char digit = '1'; digit <= '9'; ++digit) {
            std::string device = std::string(stem) + digit;
            EXPECT_EQ(safe_attachment_name(device + ".txt"), "_" + device + ".txt");
        }
        EXPECT_EQ(safe_attachment_name(std::string(stem) + "0.txt"), std::string(stem) + "0.txt");
        EXPECT_EQ(safe_attachment_name(std::string(stem) + "10"), std::string(stem) + "10");
    }
}

// A name taken while the file was written moves on to the next free one;
// a directory too long for a temporary name still gets the file.
TEST(AttachmentFiles, NamesAreSettledAtCommit) {
    test::TempDir dir;
    Context ctx;
    int status = 0;
    OwnedText listed;
    {
        AttachmentFiles files;
        std::string name = "a.bin";
        std::FILE* out = files.begin(dir.text(), name, false, ctx, status);
        ASSERT_NE(out, nullptr);
        ASSERT_TRUE(files.write("data", 4));
        ASSERT_TRUE(files.end(ctx, status));
        test::write_file(dir.file("a.bin"), "someone else's");
        files.commit(listed, status, ctx);
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listed.value_or(""), "a-1.bin");
    EXPECT_EQ(test::read_file(dir.file("a-1.bin")), "data");
    EXPECT_EQ(test::read_file(dir.file("a.bin")), "someone else's");
    EXPECT_EQ(dir.names().size(), 2u);

    // Room for the real name only: written under it, and removed unless committed.
    std::string deep = dir.text() + std::string(kMaxPathLength - dir.text().size() - 6, 'd');
    ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
    for (bool commit : {false, true}) {
        {
            AttachmentFiles files;
            std::string name = "b.bin";
            ASSERT_NE(files.begin(deep + "/", name, false, ctx, status), nullptr);
            ASSERT_TRUE(files.end(ctx, status));
            OwnedText names;
            if (commit) files.commit(names, status, ctx);
        }
        EXPECT_EQ(platform::path_exists(deep + "/b.bin"), commit);
    }
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

// A link that points nowhere holds its name: the file goes beside it, and
// the link is left alone.
TEST(AttachmentFiles, DanglingLinksKeepTheirNames) {
    test::TempDir dir;
    ASSERT_EQ(::symlink("/nonexistent/target", dir.file("c.bin").c_str()), 0);
    Context ctx;
    int status = 0;
    OwnedText listed;
    {
        AttachmentFiles files;
        std::string name = "c.bin";
        ASSERT_NE(files.begin(dir.text(), name, false, ctx, status), nullptr);
        ASSERT_TRUE(files.write("data", 4));
        ASSERT_TRUE(files.end(ctx, status));
        files.commit(listed, status, ctx);
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listed.value_or(""), "c-1.bin");
    EXPECT_EQ(test::read_file(dir.file("c-1.bin")), "data");
    char target[64] = {};
    EXPECT_EQ(::readlink(dir.file("c.bin").c_str(), target, sizeof target - 1), 19);
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
