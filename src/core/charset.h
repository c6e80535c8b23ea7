// The one table of character sets: the session's charset codes, the host's
// names for them, their MIME names, and how text in each goes out.
#pragma once

#include <string>

namespace brevorin {

enum Charset : int {
    kUsAscii = 1,
    kLatin1 = 2,
    kLatin2 = 3,
    kCyrillic = 4,
    kArabic = 5,
    kGreek = 6,
    kHebrew = 7,
    kChinese = 8,
    kChineseIso2022 = 9,
    kKorean = 10,
    kKoreanIso2022 = 11,
    kEuc = 12,
    kSjis = 13,
    kJis = 14,
    kUtf8 = 15,
};

// How a text in the charset is prepared for the wire.
enum class TextTransfer {
    kAsIs,            // 7-bit text sent unchanged
    kQuotedPrintable, // Latin alphabets
    kBase64If8bit,    // other single- and double-byte sets
    kJis,             // Japanese host sets: converted to ISO-2022-JP
    kUtf8,            // quoted-printable, or base64 when most bytes are 8-bit
};

// Content-Transfer-Encoding codes, received and sent.
enum TransferEncoding : int {
    kEncodingBase64 = 1,
    kEncoding7bit = 2,
    kEncoding8bit = 3,
    kEncodingBinary = 4,
    kEncodingQuotedPrintable = 5,
};

// Which form an encoded word in a header takes (RFC 2047 Q or B).
enum class WordForm { kQ, kB };

struct CharsetInfo {
    int code;
    const char* mime_name;  // upper case, as in encoded words and parameters
    const char* content_type_line;
    WordForm word_form;
    TextTransfer transfer;
    const char* encoding;  // the host's own encoding, as converters name it
    unsigned code_page;    // the same as a Windows code page
};

// A charset a received part or encoded word may name, and how the
// platform's converters know it (code page 0: unknown to Windows).
struct MimeCharset {
    const char* mime_name;  // upper case
    int code;               // the session charset code; -1 for none
    const char* encoding;
    unsigned code_page;
};

// The row of a session charset code (US-ASCII's for an unknown code).
const CharsetInfo& charset_info(int code);

// A host character set name (setting 39) to the session charset code; 1 for
// an unknown or missing name.
int charset_from_host_name(const char* name);

// The host character set names the library knows, in the table's order,
// separated by single spaces.
std::string host_charset_names();

// A MIME charset token (upper case) to its code; -1 for one without a
// session code.
int charset_from_mime_name(const std::string& upper_token);

// The row of a MIME charset token (upper case); null for one not in the table.
const MimeCharset* mime_charset(const std::string& upper_token);

// The MIME name of a code that charset_from_mime_name gives; null for none.
const char* mime_name_of_code(int code);

// The name the modern rules label a host's message text and words with:
// the classic CN-GB is known to few decoders, so GB2312 names those bytes.
const char* modern_mime_name(int code);

}  // namespace brevorin
