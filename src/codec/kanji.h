// Conversion between the Japanese code forms EUC-JP, Shift-JIS and 7-bit JIS
// (ISO-2022-JP).
#pragma once

#include <cstddef>
#include <string>

#include "core/charset.h"  // the forms are the session charset codes kEuc, kSjis, kJis

namespace brevorin {

// How JIS text written here returns from kanji or katakana to one-byte
// characters: JIS X 0201 Roman (ESC ( J), which the library's peers have
// always been sent, or ASCII (ESC ( B), after which every reader of
// ISO-2022-JP takes a backslash and a tilde for what they are rather than
// for a yen sign and an overline.
enum class RomanEscape { kJisRoman, kAscii };

// How JIS text written here carries half-width katakana: as JIS X 0201
// katakana (ESC ( I), which the library's peers have always been sent, or
// as their full-width JIS X 0208 forms, a katakana and the voiced or
// semi-voiced sound mark after it as one character where JIS X 0208 has
// one. ISO-2022-JP (RFC 1468) has no half-width katakana: strict readers
// refuse the text that holds them.
enum class HalfWidthKana { kKeep, kFullWidth };

// 0 converted (result replaced), 1 same form (result untouched), -1 a form
// outside 12..14, -10 no memory.
int kanji_convert(int source, int target, const char* text, std::string& result,
                  RomanEscape roman = RomanEscape::kJisRoman,
                  HalfWidthKana kana = HalfWidthKana::kKeep);

// Room a converter may need for an input of length bytes: four bytes per
// input byte, a closing escape sequence and the terminator.
constexpr size_t kanji_buffer_size(size_t length) {
    return 4 * length + 3 + 1;
}

// The converters behind kanji_convert. Each reads the terminated text and
// writes a terminated text into out, which has kanji_buffer_size(strlen(text))
// bytes; they return the length written (terminator not counted).
size_t sjis_to_euc(const char* text, char* out);
size_t sjis_to_jis(const char* text, char* out);
size_t euc_to_sjis(const char* text, char* out);
size_t euc_to_jis(const char* text, char* out);
size_t jis_to_sjis(const char* text, char* out);
size_t jis_to_euc(const char* text, char* out);

// One two-byte character converted in place between Shift-JIS and the JIS
// X 0208 row/cell bytes.
void sjis_pair_to_jis(unsigned char& first, unsigned char& second);
void jis_pair_to_sjis(unsigned char& first, unsigned char& second);

// Modes of JIS text.
enum class JisMode { kRoman, kKanji, kKatakana };

// Reads the escape sequence whose ESC byte precedes text and returns the
// number of bytes it takes after the ESC (0, 1 or 2); mode receives the mode
// it selects. Never reads past the terminator.
size_t read_escape(const unsigned char* text, JisMode& mode);

}  // namespace brevorin
