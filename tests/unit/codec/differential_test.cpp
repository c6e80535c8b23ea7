// The codecs against independent implementations on many generated inputs:
// Python's base64 and quopri modules, coreutils base64 and glibc iconv.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "codec_test_support.h"
#include "mime/qp_decode.h"

namespace brevorin::test {
namespace {

#define REQUIRE_TOOL(path)                                              \
    do {                                                                \
        if (!tool_present(path)) GTEST_SKIP() << path << " is missing"; \
    } while (0)

// Lengths around every place where the codecs change gear: the groups, the
// 54-byte line, the encoder's block of 65556 bytes.
std::vector<size_t> interesting_lengths(std::mt19937& rng) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 120; ++n) lengths.push_back(n);
    for (size_t n = 65550; n <= 65562; ++n) lengths.push_back(n);
    for (size_t n : {131111u, 131112u, 131113u, 196668u}) lengths.push_back(n);
    std::uniform_int_distribution<size_t> any(121, 300000);
    for (int i = 0; i < 12; ++i) lengths.push_back(any(rng));
    return lengths;
}

std::string without_line_feeds(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

std::string without_final_line_feed(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// Sprinkles bytes that are no base64 digits (and no pad) through encoded text.
std::string with_noise(std::mt19937& rng, const std::string& encoded) {
    static const std::string noise = "\r\n\t !*-.:\x80\xff";
    std::uniform_int_distribution<size_t> pick(0, noise.size() - 1);
    std::uniform_int_distribution<int> chance(0, 9);
    std::string out;
    for (char c : encoded) {
        while (chance(rng) == 0) out += noise[pick(rng)];
        out += c;
    }
    return out;
}

TEST(Base64Differential, FileAndTextCodecsAgreeWithPythonAndCoreutils) {
    REQUIRE_TOOL(kPython);
    REQUIRE_TOOL(kCoreutilsBase64);
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::mt19937 rng(20261207);
    const std::vector<size_t> lengths = interesting_lengths(rng);
    std::vector<std::string> inputs;
    for (size_t i = 0; i < lengths.size(); ++i) {
        inputs.push_back(random_bytes(rng, lengths[i], false));
        write_path(dir / ("in" + std::to_string(i)), inputs.back());
    }
    const std::string count = std::to_string(inputs.size());
    ASSERT_TRUE(run_command(std::string(kPython) + " -c \"import base64,sys\n"
                            "d=sys.argv[1]\n"
                            "for i in range(int(sys.argv[2])):\n"
                            "  b=open(d+'/in%d'%i,'rb').read()\n"
                            "  open(d+'/py%d'%i,'wb').write(base64.b64encode(b))\n\" " +
                            dir.at("") + " " + count));
    ASSERT_TRUE(run_command("cd " + dir.at("") + " && i=0; while [ $i -lt " + count + " ]; do " +
                            kCoreutilsBase64 + " -w 72 in$i > cu$i || exit 1; i=$((i+1)); done"));

    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string python = read_path(dir / ("py" + std::to_string(i)));
        const std::string coreutils = read_path(dir / ("cu" + std::to_string(i)));
        auto in = file_with(inputs[i]);
        auto out = empty_file();
        const int count_written = BASE64_ENCODE(in.get(), out.get(), nullptr);
        const std::string ours = content_of(out.get());
        ASSERT_EQ(count_written, static_cast<int>(ours.size())) << lengths[i];
        ASSERT_EQ(without_line_feeds(ours), python) << lengths[i];
        // Same 72-column lines; only the line feed after the last one differs.
        ASSERT_EQ(without_final_line_feed(ours), without_final_line_feed(coreutils)) << lengths[i];

        // The text encoder on the same bytes with zeros made non-zero.
        std::string text = inputs[i];
        std::replace(text.begin(), text.end(), '\0', '\x01');
        std::string text_b64;
        ASSERT_EQ(BASE64_ENCODE_TEXT(text.c_str(), text_b64, 0), 0);
        std::string wrapped;
        ASSERT_EQ(BASE64_ENCODE_TEXT(text.c_str(), wrapped, 1), 0);
        ASSERT_EQ(without_line_feeds(wrapped), text_b64);
        std::string back;
        ASSERT_EQ(BASE64_DECODE_TEXT(wrapped.c_str(), back), 0);
        ASSERT_EQ(back, text) << lengths[i];
    }
}

TEST(Base64Differential, DecodersAgreeWithPythonOnNoisyInput) {
    REQUIRE_TOOL(kPython);
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::mt19937 rng(7);
    const std::vector<size_t> lengths = interesting_lengths(rng);
    std::vector<std::string> noisy;
    for (size_t i = 0; i < lengths.size(); ++i) {
        const std::string data = random_bytes(rng, lengths[i], false);
        auto in = file_with(data);
        auto out = empty_file();
        ASSERT_GE(BASE64_ENCODE(in.get(), out.get(), nullptr), 0);
        noisy.push_back(with_noise(rng, content_of(out.get())));
        write_path(dir / ("in" + std::to_string(i)), noisy.back());
    }
    ASSERT_TRUE(run_command(std::string(kPython) + " -c \"import base64,sys\n"
                            "d=sys.argv[1]\n"
                            "for i in range(int(sys.argv[2])):\n"
                            "  b=open(d+'/in%d'%i,'rb').read()\n"
                            "  open(d+'/py%d'%i,'wb').write(base64.b64decode(b))\n\" " +
                            dir.at("") + " " + std::to_string(noisy.size())));
    for (size_t i = 0; i < noisy.size(); ++i) {
        const std::string python = read_path(dir / ("py" + std::to_string(i)));
        auto in = file_with(noisy[i]);
        auto out = empty_file();
        ASSERT_EQ(BASE64_DECODE(in.get(), out.get(), nullptr), 0) << lengths[i];
        ASSERT_EQ(content_of(out.get()), python) << lengths[i];
        // The text decoder hands back everything before the first zero byte.
        std::string text;
        ASSERT_EQ(BASE64_DECODE_TEXT(noisy[i].c_str(), text), 0);
        ASSERT_EQ(text, python.substr(0, python.find('\0'))) << lengths[i];
    }
}

// Quoted-printable texts on which Python's decoder and ours follow the same
// rules: no blanks before a line end, soft breaks only as "=" CR LF, no "="
// before another "=", a line end or the end of the text.
std::string qp_sample(std::mt19937& rng) {
    static const char hex_digits[] = "0123456789ABCDEFabcdef";
    static const char not_hex[] = "GHXYZghz!%_.-/";
    std::uniform_int_distribution<int> kind(0, 19);
    std::uniform_int_distribution<int> printable(0x21, 0x7E);
    std::uniform_int_distribution<int> hex(0, 21);
    std::uniform_int_distribution<int> other(0, 13);
    std::uniform_int_distribution<int> length(0, 400);
    std::string text;
    const int tokens = length(rng);
    for (int t = 0; t < tokens; ++t) {
        switch (kind(rng)) {
            case 0:
                text += "=\r\n";
                break;
            case 1:
                text += (kind(rng) % 2 != 0) ? "\r\n" : "\n";
                break;
            case 2:
                text += '=';
                text += hex_digits[hex(rng)];
                text += hex_digits[hex(rng)];
                break;
            case 3: {
                text += '=';
                text += not_hex[other(rng)];
                const int c = printable(rng);
                text += static_cast<char>(c == '=' ? 'x' : c);
                break;
            }
            case 4:
                text += '=';
                text += hex_digits[hex(rng)];
                text += not_hex[other(rng)];
                break;
            case 5:
                text += (kind(rng) % 2 != 0) ? " x" : "\ty";
                break;
            default: {
                const int c = printable(rng);
                text += static_cast<char>(c == '=' ? '+' : c);
            }
        }
    }
    return text;
}

TEST(QpDifferential, AgreesWithPythonQuopriWhereTheRulesMatch) {
    REQUIRE_TOOL(kPython);
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::mt19937 rng(42);
    constexpr int kCases = 400;
    std::vector<std::string> samples;
    for (int i = 0; i < kCases; ++i) {
        samples.push_back(qp_sample(rng));
        write_path(dir / ("in" + std::to_string(i)), samples.back());
    }
    ASSERT_TRUE(run_command(std::string(kPython) + " -c \"import quopri,sys\n"
                            "d=sys.argv[1]\n"
                            "for i in range(int(sys.argv[2])):\n"
                            "  b=open(d+'/in%d'%i,'rb').read()\n"
                            "  open(d+'/py%d'%i,'wb').write(quopri.decodestring(b))\n\" " +
                            dir.at("") + " " + std::to_string(kCases)));
    int with_escapes = 0;
    for (int i = 0; i < kCases; ++i) {
        std::string ours;
        const int result = QP_DECODE(samples[i].c_str(), ours);
        ASSERT_GE(result, 0);
        with_escapes += result == 0;
        ASSERT_EQ(ours, read_path(dir / ("py" + std::to_string(i)))) << samples[i];
    }
    EXPECT_GT(with_escapes, kCases / 2);
}

// Japanese text against glibc iconv.
class KanjiDifferential : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tool_present(kIconv)) GTEST_SKIP() << kIconv << " is missing";
        ASSERT_TRUE(dir.ok());
    }

    std::string iconv(const char* from, const char* to, const std::string& text,
                      const char* options = "") {
        write_path(dir / "iconv.in", text);
        const bool ok = run_command(std::string(kIconv) + " " + options + " -f " + from + " -t " +
                                    to + " " + dir.at("iconv.in") + " > " + dir.at("iconv.out"));
        EXPECT_TRUE(ok || options[0] != '\0') << from << " -> " << to;
        return read_path(dir / "iconv.out");
    }

    static std::string ours(int source, int target, const std::string& text) {
        std::string out;
        EXPECT_EQ(KANJI_CONVERT(source, target, text.c_str(), out), 0);
        return out;
    }

    // iconv returns to single-byte text with ESC ( B, this library with
    // ESC ( J; both mean plain letters here.
    static std::string as_ascii_escapes(std::string jis) {
        for (size_t at = jis.find("\x1b(J"); at != std::string::npos; at = jis.find("\x1b(J", at))
            jis[at + 2] = 'B';
        return jis;
    }

    // Every EUC-JP pair that iconv knows as a JIS X 0208 character.
    std::vector<std::string> jis_x0208_characters() {
        std::string probe;
        std::vector<std::string> pairs;
        for (int a = 0xA1; a <= 0xFE; ++a) {
            for (int b = 0xA1; b <= 0xFE; ++b) {
                pairs.push_back({static_cast<char>(a), static_cast<char>(b)});
                probe += pairs.back() + "\n";
            }
        }
        // Unknown characters come back as empty lines.
        const std::string utf8 = iconv("EUC-JP", "UTF-8", probe, "-c");
        std::vector<std::string> known;
        size_t line = 0, start = 0;
        for (size_t i = 0; i < utf8.size(); ++i) {
            if (utf8[i] != '\n') continue;
            if (i > start && line < pairs.size()) known.push_back(pairs[line]);
            ++line;
            start = i + 1;
        }
        EXPECT_EQ(line, pairs.size());
        return known;
    }

    ScratchDir dir;
};

TEST_F(KanjiDifferential, EveryJisX0208CharacterInAllSixDirections) {
    const std::vector<std::string> characters = jis_x0208_characters();
    // JIS X 0208-1983 has 6879 characters; glibc knows them all.
    ASSERT_GE(characters.size(), 6879u);
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> gap(0, 6);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::string euc;
    int column = 0;
    for (const std::string& c : characters) {
        euc += c;
        // Letters between runs of kanji, line breaks of both kinds.
        switch (gap(rng)) {
            case 0:
                euc += static_cast<char>(letter(rng));
                break;
            case 1:
                if (column > 30) {
                    euc += column % 2 != 0 ? "\r\n" : "\n";
                    column = 0;
                }
                break;
            default:
                break;
        }
        ++column;
    }
    euc += "end";

    const std::string sjis = iconv("EUC-JP", "SHIFT_JIS", euc);
    const std::string jis = iconv("EUC-JP", "ISO-2022-JP", euc);
    ASSERT_FALSE(sjis.empty());
    ASSERT_FALSE(jis.empty());
    EXPECT_TRUE(ours(CODE_EUC, CODE_SJIS, euc) == sjis);
    EXPECT_TRUE(as_ascii_escapes(ours(CODE_EUC, CODE_JIS, euc)) == jis);
    EXPECT_TRUE(ours(CODE_SJIS, CODE_EUC, sjis) == euc);
    EXPECT_TRUE(as_ascii_escapes(ours(CODE_SJIS, CODE_JIS, sjis)) == jis);
    EXPECT_TRUE(ours(CODE_JIS, CODE_EUC, jis) == euc);
    EXPECT_TRUE(ours(CODE_JIS, CODE_SJIS, jis) == sjis);
    // And iconv reads what this library writes.
    EXPECT_TRUE(iconv("ISO-2022-JP", "EUC-JP", ours(CODE_SJIS, CODE_JIS, sjis)) == euc);
}

TEST_F(KanjiDifferential, HalfWidthKatakana) {
    std::string euc;
    for (int k = 0xA1; k <= 0xDF; ++k) {
        euc += '\x8e';
        euc += static_cast<char>(k);
        if (k % 5 == 0) euc += "ab";
        if (k % 17 == 0) euc += "\xb0\xa1\n";
    }
    const std::string sjis = iconv("EUC-JP", "SHIFT_JIS", euc);
    // Plain ISO-2022-JP has no katakana set; the JIS X 0213 variant uses
    // ESC ( I for it like this library does.
    const std::string jis = iconv("EUC-JP", "ISO-2022-JP-3", euc);
    ASSERT_FALSE(sjis.empty());
    ASSERT_NE(jis.find("\x1b(I"), std::string::npos);
    EXPECT_EQ(hex(ours(CODE_EUC, CODE_SJIS, euc)), hex(sjis));
    EXPECT_EQ(hex(ours(CODE_SJIS, CODE_EUC, sjis)), hex(euc));
    EXPECT_EQ(hex(as_ascii_escapes(ours(CODE_EUC, CODE_JIS, euc))), hex(jis));
    EXPECT_EQ(hex(as_ascii_escapes(ours(CODE_SJIS, CODE_JIS, sjis))), hex(jis));
    EXPECT_EQ(hex(ours(CODE_JIS, CODE_EUC, jis)), hex(euc));
    EXPECT_EQ(hex(ours(CODE_JIS, CODE_SJIS, jis)), hex(sjis));
}

}  // namespace
}  // namespace brevorin::test
