#include "mime/classic_fields.h"

#include <gtest/gtest.h>

#include "mime_test_support.h"
#include "support/host_fixture.h"

namespace brevorin {
namespace {

class MimeHeaders : public ::testing::Test {
  protected:
    struct Type {
        int rc;
        int content_class;
        std::string boundary;
        int charset;
    };
    Type type(const std::string& block) {
        Type t{0, 0, "", 0};
        t.rc = mime_content_type(block.c_str(), t.content_class, t.boundary, t.charset, ctx);
        return t;
    }
    test::HostFixture host;
    Context ctx = test::traced_context();
};

TEST_F(MimeHeaders, VersionNeedsOneSpaceAfterTheColon) {
    char minor = 0, major = 0;
    EXPECT_EQ(mime_version("MIME-Version: 1.0\r\n\r\n", &minor, &major, ctx), 0);
    EXPECT_EQ(major, '1');
    EXPECT_EQ(minor, '0');
    EXPECT_TRUE(host.has_line("BREVORIN: <F0> GET_MIME_VERSION: Done reading MIME version"));
    EXPECT_EQ(mime_version("MIME-Version:1.0\r\n\r\n", &minor, &major, ctx), -2);
    EXPECT_EQ(mime_version("Subject: x\r\n\r\n", &minor, &major, ctx), -2);
    EXPECT_EQ(mime_version(nullptr, &minor, &major, ctx), -1);
}

TEST_F(MimeHeaders, ClassesFollowTheTableInOrder) {
    EXPECT_EQ(type("Content-Type: application/octet-stream\r\n").content_class, 1);
    EXPECT_EQ(type("Content-Type: application/pdf\r\n").content_class, 5);
    EXPECT_EQ(type("Content-Type: application/octet-streamx\r\n").content_class, 5);
    EXPECT_EQ(type("Content-Type: image/gif; name=\"a.gif\"\r\n").content_class, 4);
    EXPECT_EQ(type("Content-Type: TEXT/PLAIN;name=x.txt\r\n").content_class, 6);
    EXPECT_EQ(type("Content-Type: text/html\r\n").content_class, 5);
    EXPECT_EQ(type("Content-Type: multipart/alternative; boundary=x\r\n").content_class, 5);
    // The first occurrence counts, even inside a longer header name.
    EXPECT_EQ(
        type("X-Original-Content-Type: text/html\r\nContent-Type: text/plain\r\n").content_class,
        5);
    EXPECT_EQ(type("Subject: none\r\n").rc, -1);
    EXPECT_EQ(type("Content-Type: \r\n").rc, -1);
}

TEST_F(MimeHeaders, BoundaryKeepsItsCase) {
    Type quoted = type("Content-Type: multipart/mixed; boundary=\"Ab-12\"\r\n\r\n");
    EXPECT_EQ(quoted.rc, 0);
    EXPECT_EQ(quoted.content_class, 3);
    EXPECT_EQ(quoted.boundary, "Ab-12");
    EXPECT_EQ(type("Content-Type: multipart/mixed; boundary=Ab-12;x=y\r\n").boundary, "Ab-12;x=y");
    // Parameters are searched to the end of the block.
    EXPECT_EQ(type("Content-Type: multipart/mixed;\r\n\tboundary=\"q\"\r\n").boundary, "q");

    Type missing = type("Content-Type: multipart/mixed\r\n\r\n");
    EXPECT_EQ(missing.rc, -1);
    EXPECT_EQ(missing.content_class, 3);
    EXPECT_TRUE(
        host.has_line("BREVORIN: <E1> GET_MIME_CONTENT_TYPE: Couldn't find boundary parameter"));
    EXPECT_EQ(type("Content-Type: multipart/mixed; boundary=\"\"\r\n").rc, -1);
    EXPECT_TRUE(
        host.has_line("BREVORIN: <E1> GET_MIME_CONTENT_TYPE: Couldn't read boundary parameter"));
    EXPECT_EQ(type("Content-Type: multipart/mixed; boundary=" + std::string(72, 'b') + "\r\n").rc,
              -1);
    EXPECT_EQ(type("Content-Type: multipart/mixed; boundary=" + std::string(71, 'b') + "\r\n")
                  .boundary.size(),
              71u);
}

TEST_F(MimeHeaders, CharsetCodes) {
    Type latin2 = type("Content-Type: text/plain; charset=iso-8859-2\r\n");
    EXPECT_EQ(latin2.rc, 0);
    EXPECT_EQ(latin2.charset, 3);
    EXPECT_EQ(type("Content-Type: text/plain\r\n").charset, 1);
    EXPECT_EQ(type("Content-Type: text/plain; charset=\"ISO-2022-JP\"\r\n").charset, 14);
    EXPECT_EQ(type("Content-Type: text/plain; charset=euc-kr;\r\n").charset, 10);
    for (const char* utf8 : {"Content-Type: text/plain; charset=utf-8\r\n",
                             "Content-Type: text/plain; charset=\"utf-8\"\r\n"}) {
        Type t = type(utf8);
        EXPECT_EQ(t.rc, -1);
        EXPECT_EQ(t.content_class, 2);
    }
    EXPECT_EQ(type("Content-Type: text/plain; charset=\"\"\r\n").rc, -1);
    EXPECT_TRUE(
        host.has_line("BREVORIN: <E1> GET_MIME_CONTENT_TYPE: Couldn't read charset parameter"));
}

TEST_F(MimeHeaders, TransferEncodingWordIsComparedWhole) {
    int code = 0;
    EXPECT_EQ(content_transfer_encoding("Content-Transfer-Encoding:  Base64\r\n", code, ctx), 0);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(
        content_transfer_encoding("Content-Transfer-Encoding: quoted-printable\r\n", code, ctx), 0);
    EXPECT_EQ(code, 5);
    code = 99;
    EXPECT_EQ(content_transfer_encoding("Content-Transfer-Encoding: x-uuencode\r\n", code, ctx),
              -1);
    EXPECT_EQ(content_transfer_encoding("Content-Transfer-Encoding: base64;\r\n", code, ctx), -1);
    EXPECT_EQ(code, 99);
}

TEST_F(MimeHeaders, FileNameIsTheLastPathComponent) {
    std::string name;
    file_disposition("Content-Disposition: attachment; filename=\"C:\\dir\\Report 1.doc\"\r\n\r\n",
                     name, ctx);
    EXPECT_EQ(name, "Report 1.doc");
    EXPECT_TRUE(host.has_line(
        "BREVORIN: <F0> GET_FILE_DISPOSITION: Done reading file disposition, result: Report "
        "1.doc"));
    file_disposition("Content-Disposition: attachment; filename=C:\\dir\\Report 1.doc\r\n", name,
                     ctx);
    EXPECT_EQ(name, "Report");
    file_disposition("Content-Disposition: attachment; filename=../../a.txt\r\n", name, ctx);
    EXPECT_EQ(name, "a.txt");
    file_disposition("Content-Disposition: inline\r\n", name, ctx);
    EXPECT_EQ(name, "");
    file_disposition("Content-Disposition: a; filename=\"open\r\n", name, ctx);
    EXPECT_EQ(name, "");
    file_disposition(("Content-Disposition: a; filename=" + std::string(300, 'n') + "\r\n").c_str(),
                     name, ctx);
    EXPECT_EQ(name.size(), kMaxFileNameLength);
}

}  // namespace
}  // namespace brevorin

namespace brevorin {
namespace {

// Both lookups over one block: the classic one finds a label anywhere (in
// another field's value too) and stops at a NUL byte, as it always has;
// the field lookup wants the name at a line start and reads past a NUL.
TEST(HeaderBlock, ClassicAndFieldLookupsReadTheSameBlockTheirOwnWay) {
    HeaderBlock block(std::string("Subject: about Content-Type: x\r\n"
                                  "content-type: text/plain\r\n X-After: y") +
                      '\0' + "z\r\nDate: later\r\n");
    EXPECT_EQ(block.after_label("CONTENT-TYPE:"), 28u);  // inside the Subject
    EXPECT_EQ(block.field("Content-Type").value_or("-"), std::string("text/plain X-After: y\0z", 23));
    EXPECT_EQ(block.after_label("DATE:"), std::string::npos);
    EXPECT_EQ(block.field("date").value_or("-"), "later");
    EXPECT_FALSE(HeaderBlock(nullptr).present());
}

}  // namespace
}  // namespace brevorin
