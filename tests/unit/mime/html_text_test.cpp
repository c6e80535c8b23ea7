// Rendering HTML as the text a reader sees, on the shapes mail carries.
#include "mime/html_text.h"

#include <gtest/gtest.h>

#include <string>

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
        Shape{"empty", "<html><head><title>only</title></head><body> </body></html>", ""}),
    [](const ::testing::TestParamInfo<Shape>& info) {
        std::string n = info.param.name;
        for (char& c : n)
            if (c == '-') c = '_';
        return n;
    });

// Hostile markup costs time and memory in proportion to its size.
TEST(HtmlText, HostileInputStaysLinear) {
    std::string hostile;
    for (int i = 0; i < 200000; ++i) hostile += "<a href='x<li><br>&#";
    std::string text = html_to_text(hostile);
    EXPECT_LT(text.size(), hostile.size());
}

}  // namespace
}  // namespace brevorin
