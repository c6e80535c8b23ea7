// Conversion between the Japanese code forms EUC-JP, Shift-JIS and 7-bit JIS
// (ISO-2022-JP).
#pragma once

#include <string>

namespace brevorin {

constexpr int CODE_EUC = 12;
constexpr int CODE_SJIS = 13;
constexpr int CODE_JIS = 14;

// 0 converted (result replaced), 1 same form (result untouched), -1 a form
// outside 12..14, -10 no memory.
int KANJI_CONVERT(int source, int target, const char* text, std::string& result);

}  // namespace brevorin
