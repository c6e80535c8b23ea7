// A plain-text rendering of HTML, for the body of a message that has no
// plain text of its own: what a reader would see, laid out in lines.
#pragma once

#include <string>
#include <string_view>

namespace brevorin {

// Renders UTF-8 HTML as UTF-8 text with CR LF line breaks. Block elements,
// table rows and <br> break lines; list items start with "- "; a link whose
// text is not its target reads "text <target>"; script, style, head and
// comments are dropped; character references are decoded; white space
// collapses as a browser collapses it (not inside <pre>). Any input gives
// a result, in time and memory linear in its size.
std::string html_to_text(std::string_view html);

}  // namespace brevorin
