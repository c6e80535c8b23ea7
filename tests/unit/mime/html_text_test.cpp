// Rendering HTML as the text a reader sees, on the shapes mail carries.
#include "mime/html_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/base64.h"
#include "core/context.h"
#include "core/line_source.h"
#include "mime/message.h"
#include "mime/walker.h"
#include "mime_test_support.h"

namespace brevorin {
namespace {

struct Shape {
    const char* name;
    const char* html;
    const char* text;  // LF line ends here, CR LF in the rendering
};

class HtmlShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(HtmlShapes, RenderAsAReaderSeesThem) {
    std::string expected;
    for (const char* p = GetParam().text; *p != '\0'; ++p) {
        if (*p == '\n') expected += '\r';
        expected += *p;
    }
    EXPECT_EQ(html_to_text(GetParam().html), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Mail, HtmlShapes,
    ::testing::Values(
        Shape{"newsletter",
              "<!DOCTYPE html><html><head><title>Weekly</title><style>p{color:red}</style></head>"
              "<body><table><tr><td>Issue 12</td><td>May</td></tr><tr><td colspan=2>"
              "<h1>Big   news</h1></td></tr></table><p>Read <a href=\"https://example.org/a\">"
              "the story</a> or <a href=\"https://example.org/b\">https://example.org/b</a>."
              "</p><!-- tracking --><img src=x.gif><script>var x = '<p>no</p>';</script></body>"
              "</html>",
              "Issue 12 May\n\nBig news\n\nRead the story <https://example.org/a> or "
              "https://example.org/b.\n"},
        Shape{"lists", "<ul><li>one</li><li>two<ol><li>two a</li></ol></li></ul><p>after</p>",
              "- one\n- two\n\n- two a\n\nafter\n"},
        Shape{"entities",
              "caf&eacute; &amp; cr&egrave;me &lt;b&gt; &#8364;5 &#x41;&nbsp;B &copy &bogus; AT&T",
              "caf\xc3\xa9 & cr\xc3\xa8me <b> \xe2\x82\xac"
              "5 A B \xc2\xa9 &bogus; AT&T\n"},
        Shape{"breaks-and-pre", "line<br>next<br><br>gap<pre>  kept\n   as is</pre>x",
              "line\nnext\n\ngap\n\n  kept\n   as is\n\nx\n"},
        Shape{"mailto", "Write <a href='mailto:help@example.org'>to us</a>.",
              "Write to us <help@example.org>.\n"},
        Shape{"broken",
              "<p>open <b>bold <i>never closed<p>next < 3 and > 2 <unknown attr=\"a>b\">"
              "tail &#99999999; <!-- never ends",
              "open bold never closed\n\nnext < 3 and > 2 tail \xef\xbf\xbd\n"},
        Shape{"empty", "<html><head><title>only</title></head><body> </body></html>", ""},
        // Every name of the HTML5 list, the longest match where ';' is left
        // out, two code points where the name has two, and numbers in
        // 0x80..0x9F as the windows-1252 characters pages mean by them.
        Shape{"html5-entities",
              "&percnt; &NotEqualTilde; &CounterClockwiseContourIntegral; &notit; &ampx &eacute9 "
              "&Amp; &#150;&#x80;&#x81; &#65b &#; &",
              "% \xe2\x89\x82\xcc\xb8 \xe2\x88\xb3 \xc2\xacit; &x \xc3\xa9"
              "9 &Amp; \xe2\x80\x93\xe2\x82\xac\xc2\x81 Ab &#; &\n"},
        // The target is the URL a browser follows: references decoded, a
        // query's "&name=" left as it is, folded lines joined.
        Shape{"href-references",
              "<a href=\"https://example.org/t?e=7&amp;u=9&copy=2&lang&reg\">go</a> "
              "<a href='https://example.org/?a=1&amp;b=2'>https://example.org/?a=1&amp;b=2</a>",
              "go <https://example.org/t?e=7&u=9&copy=2&lang\xc2\xae> "
              "https://example.org/?a=1&b=2\n"},
        Shape{"href-folded",
              "<a href=\"\r\n https://example.org/unsub?id=\r\n12&#10;34\t5 \">Unsubscribe</a>",
              "Unsubscribe <https://example.org/unsub?id=12345>\n"},
        Shape{"url-text-folded",
              "<a href=\"https://example.org/a\nb\"> https://example.org/a\nb </a> <a "
              "href=\"https://example.org/c\"> https://example.org/c </a>",
              "https://example.org/a b <https://example.org/ab> https://example.org/c\n"},
        // Names of any case, blanks around '=', '>' inside quotes; of
        // repeated attributes the first counts, and an unquoted value may
        // hold '=' without starting another attribute.
        Shape{
            "attributes",
            "<A TITLE=\"a > b\" HREF = 'https://example.org/1' href=https://example.org/2>one</a> "
            "<a href=https://example.org/?q=a=b title=href=https://example.org/3/>two</a> "
            "<a href=href=href=https://example.org/4>three</a>",
            "one <https://example.org/1> two <https://example.org/?q=a=b> three\n"}),
    [](const ::testing::TestParamInfo<Shape>& info) {
        std::string n = info.param.name;
        for (char& c : n)
            if (c == '-') c = '_';
        return n;
    });

// Hostile markup costs time and memory in proportion to its size: each of
// these megabytes would take minutes if a tag's bytes were read again for
// each attribute, or a reference's for each '&'.
TEST(HtmlText, HostileInputStaysLinear) {
    std::string hostile;
    for (int i = 0; i < 200000; ++i) hostile += "<a href='x<li><br>&#";
    std::string text = html_to_text(hostile);
    EXPECT_LT(text.size(), hostile.size());

    struct Repeated {
        const char* head;
        const char* unit;
        const char* tail;
        const char* text;
    };
    for (const Repeated& r :
         {Repeated{"<a href=", "href=", ">x</a>", "x\r\n"},
          Repeated{"<a ", "b=b ", "href=https://h/>x</a>", "x <https://h/>\r\n"},
          Repeated{"<a href='https://h/?", "&amp", "'>x</a>", nullptr},
          Repeated{"", "&CounterClockwiseContourIntegra", "", nullptr}}) {
        std::string html = r.head;
        while (html.size() < 4u * 1024 * 1024) html += r.unit;
        html += r.tail;
        std::string rendered = html_to_text(html);
        if (r.text != nullptr) {
            EXPECT_EQ(rendered, r.text) << r.unit;
        }
        EXPECT_LE(rendered.size(), html.size() + 2) << r.unit;
    }
}

std::vector<std::string> g_lines;
void keep_line(const char* line) {
    g_lines.push_back(line);
}

// An HTML-only message is rendered only whole: up to the limit its last
// line is there, one byte past it the body is empty and status 1 says so.
// The file holds every byte either way.
TEST(HtmlText, PartsOverTheLimitAreNotRenderedInPart) {
    for (bool base64 : {false, true}) {
        for (size_t size : {kHtmlHoldLimit, kHtmlHoldLimit + 1}) {
            const std::string head = "<p>first</p>", tail = "<p>last</p>";
            const std::string line = std::string(78, 'x') + "\r\n";
            size_t lines = (size - head.size() - 2 - tail.size()) / line.size();
            size_t pad = size - head.size() - 2 - tail.size() - lines * line.size();
            std::string html = head + std::string(pad, ' ') + "\r\n";
            html.reserve(size);
            for (size_t i = 0; i < lines; ++i) html += line;
            html += tail;
            ASSERT_EQ(html.size(), size);
            std::string content = html;
            if (base64) {
                content.clear();
                std::string encoded = base64_encode_bytes(html);
                for (size_t at = 0; at < encoded.size(); at += 76)
                    content += encoded.substr(at, 76) + "\r\n";
                content.resize(content.size() - 2);
            }
            std::string message =
                "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\n"
                "Content-Type: text/html; charset=us-ascii\r\n" +
                std::string(base64 ? "Content-Transfer-Encoding: base64\r\n" : "") + "\r\n" +
                content + "\r\n--m--\r\n";
            test::TempDir dir;
            Context ctx;
            ctx.charset = kUtf8;
            ctx.options.mime = MimeMode::kModern;
            ctx.diag = Diag(true, keep_line);
            g_lines.clear();
            TextLineSource source(message.data(), message.size());
            std::string header;
            ASSERT_EQ(read_header_block(source, header), HeaderRead::kRead);
            DecodedBody body;
            ASSERT_EQ(decode_body(source, header, dir.text(), ctx, body), MessageBody::kDecoded);
            body.commit_files(ctx);
            const bool whole = size <= kHtmlHoldLimit;
            std::string text = body.body.value_or("");
            SCOPED_TRACE(std::to_string(size) + (base64 ? " base64" : " identity"));
            EXPECT_EQ(body.status, whole ? 0 : 1);
            EXPECT_EQ(text.compare(0, 7, "first\r\n") == 0, whole);
            EXPECT_EQ(text.size() > 8 && text.compare(text.size() - 8, 8, "\r\nlast\r\n") == 0,
                      whole);
            EXPECT_EQ(text.empty(), !whole);
            bool warned = false;
            for (const std::string& l : g_lines)
                warned = warned || l.find(
                                       "<W1> POP3_PARSE_MIME: HTML part longer than 16777216 "
                                       "bytes not shown as text") != std::string::npos;
            EXPECT_EQ(warned, !whole);
            EXPECT_EQ(test::read_file(dir.file("message.html")).size(), size);
        }
    }
}

}  // namespace
}  // namespace brevorin
