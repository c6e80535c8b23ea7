// The converters against a plain model of their byte rules, on random text
// with long runs of one kind: the library reads such runs several bytes at a
// time and grows its output as it goes, and must still give exactly what the
// rules give one byte at a time.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codec/kanji.h"
#include "codec_test_support.h"

namespace brevorin::test {
namespace {

using Byte = unsigned char;

bool in(Byte b, int low, int high) {
    return b >= low && b <= high;
}
bool sjis_lead(Byte b) {
    return in(b, 0x81, 0x9F) || in(b, 0xE0, 0xEF);
}

const std::string kKanjiIn = "\x1b$B";
const std::string kKanaIn = "\x1b(I";
const std::string kRomanIn = "\x1b(J";

// One byte rule after the other, as simple as it gets.
std::string model(int source, int target, const std::string& text) {
    std::string out;
    enum { kRoman, kKanji, kKana } mode = kRoman;
    auto enter = [&](decltype(mode) want, const std::string& escape) {
        if (mode != want) out += escape;
        mode = want;
    };
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const Byte b = text[i];
        const bool has_next = i + 1 < n;
        const Byte next = has_next ? text[i + 1] : 0;
        if (source == kJis) {
            if (b == 0x1B) {
                if (next == '$') {
                    mode = kKanji;
                    i += i + 2 < n ? 2 : 1;
                } else if (next == '(') {
                    mode = i + 2 < n && text[i + 2] == 'I' ? kKana : kRoman;
                    i += i + 2 < n ? 2 : 1;
                } else if (next == 'K' || next == 'H') {
                    mode = next == 'K' ? kKanji : kRoman;
                    i += 1;
                } else {
                    mode = kRoman;
                }
            } else if (b == '\r' || b == '\n') {
                mode = kRoman;
                out += static_cast<char>(b);
            } else if (mode == kKanji && !has_next) {
                out += static_cast<char>(b);
            } else if (mode == kKanji) {
                Byte j1 = b, j2 = next;
                if (target == kSjis) {
                    jis_pair_to_sjis(j1, j2);
                } else {
                    j1 = static_cast<Byte>(j1 + 0x80);
                    j2 = static_cast<Byte>(j2 + 0x80);
                }
                out += static_cast<char>(j1);
                out += static_cast<char>(j2);
                ++i;
            } else if (mode == kKana) {
                if (target == kEuc) out += '\x8e';
                out += static_cast<char>(b + 0x80);
            } else {
                out += static_cast<char>(b);
            }
            continue;
        }
        const bool to_jis = target == kJis;
        if (to_jis && (b == '\r' || b == '\n')) {
            enter(kRoman, kRomanIn);
            out += static_cast<char>(b);
            continue;
        }
        const bool double_byte = source == kSjis ? sjis_lead(b) : in(b, 0xA1, 0xFE);
        const bool kana = source == kSjis ? in(b, 0xA1, 0xDF) : b == 0x8E;
        if (double_byte) {
            const bool valid =
                has_next && (source == kSjis ? in(next, 0x40, 0xFC) : in(next, 0xA1, 0xFE));
            if (!valid) {
                out += static_cast<char>(b);
                if (has_next) out += static_cast<char>(next);
                ++i;
                continue;
            }
            Byte j1 = b, j2 = next;  // JIS row/cell bytes of the character
            if (source == kSjis) {
                sjis_pair_to_jis(j1, j2);
            } else {
                j1 -= 0x80;
                j2 -= 0x80;
            }
            if (to_jis) enter(kKanji, kKanjiIn);
            if (target == kSjis) jis_pair_to_sjis(j1, j2);
            const Byte high = target == kEuc ? 0x80 : 0;
            out += static_cast<char>(j1 | high);
            out += static_cast<char>(j2 | high);
            ++i;
        } else if (kana) {
            Byte k = b;
            if (source == kEuc) {
                if (!has_next || !in(next, 0xA1, 0xDF)) {
                    out += static_cast<char>(b);
                    if (has_next) out += static_cast<char>(next);
                    ++i;
                    continue;
                }
                k = next;
                ++i;
            }
            if (to_jis) {
                enter(kKana, kKanaIn);
                out += static_cast<char>(k - 0x80);
            } else {
                if (target == kEuc) out += '\x8e';
                out += static_cast<char>(k);
            }
        } else {
            if (to_jis) enter(kRoman, kRomanIn);
            out += static_cast<char>(b);
        }
    }
    if (target == kJis) enter(kRoman, kRomanIn);
    return out.substr(0, out.find('\0'));
}

// Text made of runs of one kind of byte, long enough to be read in blocks.
std::string random_runs(std::mt19937& rng) {
    const std::string escapes[] = {"\x1b$B", "\x1b$@", "\x1b(J", "\x1b(B", "\x1b(I",
                                   "\x1bK",  "\x1bH",  "\x1b",   "\x1b$",  "\x1b("};
    std::uniform_int_distribution<int> kind(0, 10);
    std::uniform_int_distribution<int> run_length(1, 40);
    std::uniform_int_distribution<int> runs(0, 30);
    std::uniform_int_distribution<int> any(1, 255);
    std::string text;
    const int count = runs(rng);
    for (int r = 0; r < count; ++r) {
        const int k = kind(rng);
        const int length = run_length(rng);
        auto from = [&](int low, int high) {
            std::uniform_int_distribution<int> byte(low, high);
            for (int i = 0; i < length; ++i) text += static_cast<char>(byte(rng));
        };
        switch (k) {
            case 0:
                from(0x20, 0x7E);
                break;  // ASCII
            case 1:
                from(0xA1, 0xFE);
                break;  // EUC pairs
            case 2:
                from(0x21, 0x7E);
                break;  // JIS pairs
            case 3:
                from(0xA1, 0xDF);
                break;  // katakana bytes
            case 4:
                from(0x81, 0x9F);
                break;  // Shift-JIS leads
            case 5:
                from(0x40, 0xFC);
                break;  // Shift-JIS trails
            case 6:
                text += "\r\n";
                break;
            case 7:
                text += escapes[length % 10];
                break;
            case 8:
                for (int i = 0; i < length; ++i) text += i % 2 == 0 ? '\x8e' : '\xb1';
                break;
            case 9:
                text += static_cast<char>(any(rng));
                break;
            default:
                text += '\n';
                break;
        }
    }
    return text;
}

TEST(KanjiModel, ConvertersFollowTheByteRulesOnRandomRuns) {
    std::mt19937 rng(11);
    const int forms[] = {kEuc, kSjis, kJis};
    for (int round = 0; round < 3000; ++round) {
        const std::string text = random_runs(rng);
        for (int source : forms) {
            for (int target : forms) {
                if (source == target) continue;
                std::string ours;
                ASSERT_EQ(kanji_convert(source, target, text.c_str(), ours), 0);
                ASSERT_EQ(hex(ours), hex(model(source, target, text)))
                    << source << "->" << target << " of " << hex(text);
            }
        }
    }
}

}  // namespace
}  // namespace brevorin::test
