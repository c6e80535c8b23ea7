// The codecs against independent implementations on many generated inputs:
// Python's base64 and quopri modules, coreutils base64 and glibc iconv.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "codec/quoted_printable.h"
#include "codec_test_support.h"

namespace brevorin::test {
namespace {

#define REQUIRE_TOOL(path) \
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is missing"

// Runs a Python expression of b (the bytes of file in<i>) into file py<i>,
// for every i below count, in one interpreter.
bool python_over_files(const ScratchDir& dir, size_t count, const std::string& imports,
                       const std::string& expression) {
    return run_command(std::string(kPython) + " -c \"import sys," + imports +
                       "\nd=sys.argv[1]\nfor i in range(" + std::to_string(count) +
                       "):\n  b=open(d+'/in%d'%i,'rb').read()\n  open(d+'/py%d'%i,'wb').write(" +
                       expression + ")\" " + dir.at(""));
}

std::string in_name(size_t i) {
    return "in" + std::to_string(i);
}
std::string py_name(size_t i) {
    return "py" + std::to_string(i);
}

// Lengths around every place where the codecs change gear: the groups, the
// 54-byte line, the file codecs' block of 65556 bytes.
std::vector<size_t> interesting_lengths(std::mt19937& rng) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 120; ++n) lengths.push_back(n);
    for (size_t n = 65550; n <= 65562; ++n) lengths.push_back(n);
    std::uniform_int_distribution<size_t> any(121, 300000);
    for (int i = 0; i < 12; ++i) lengths.push_back(any(rng));
    return lengths;
}

std::string without(std::string text, char c) {
    text.erase(std::remove(text.begin(), text.end(), c), text.end());
    return text;
}

std::string without_final_line_feed(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

TEST(Base64Differential, EncodersAgreeWithPythonAndCoreutils) {
    REQUIRE_TOOL(kPython);
    REQUIRE_TOOL(kCoreutilsBase64);
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::mt19937 rng(20261207);
    std::vector<std::string> inputs;
    for (size_t n : interesting_lengths(rng)) {
        inputs.push_back(random_bytes(rng, n));
        write_path(dir / in_name(inputs.size() - 1), inputs.back());
    }
    ASSERT_TRUE(python_over_files(dir, inputs.size(), "base64", "base64.b64encode(b)"));
    ASSERT_TRUE(run_command("cd " + dir.at("") + " && for f in in*; do " + kCoreutilsBase64 +
                            " -w 72 $f > cu${f#in} || exit 1; done"));
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string python = read_path(dir / py_name(i));
        const std::string coreutils = read_path(dir / ("cu" + std::to_string(i)));
        auto in = file_with(inputs[i]);
        auto out = file_with("");
        const int count = base64_encode(in.get(), out.get(), Context());
        const std::string ours = content_of(out.get());
        ASSERT_EQ(count, static_cast<int>(ours.size())) << inputs[i].size();
        ASSERT_EQ(without(ours, '\n'), python) << inputs[i].size();
        // Same 72-column lines; only the line feed after the last one differs.
        ASSERT_EQ(without_final_line_feed(ours), without_final_line_feed(coreutils));

        // The text codecs on the same bytes with the zeros made non-zero.
        std::string text = inputs[i];
        std::replace(text.begin(), text.end(), '\0', '\x01');
        std::string flat, wrapped, back;
        ASSERT_EQ(base64_encode_text(text.c_str(), flat, 0), 0);
        ASSERT_EQ(base64_encode_text(text.c_str(), wrapped, 1), 0);
        ASSERT_EQ(without(wrapped, '\n'), flat);
        ASSERT_EQ(base64_decode_text(wrapped.c_str(), back), 0);
        ASSERT_EQ(back, text) << text.size();
    }
}

TEST(Base64Differential, DecodersAgreeWithPythonOnNoisyInput) {
    REQUIRE_TOOL(kPython);
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::mt19937 rng(7);
    // Bytes that are neither digits nor the pad, sprinkled through the text.
    const std::string noise = "\r\n\t !*-.:\x80\xff";
    std::uniform_int_distribution<size_t> pick(0, noise.size() - 1);
    std::uniform_int_distribution<int> chance(0, 9);
    std::vector<std::string> noisy;
    for (size_t n : interesting_lengths(rng)) {
        std::string encoded;
        const std::string data = random_bytes(rng, n);
        auto in = file_with(data);
        auto out = file_with("");
        ASSERT_GE(base64_encode(in.get(), out.get(), Context()), 0);
        for (char c : content_of(out.get())) {
            while (chance(rng) == 0) encoded += noise[pick(rng)];
            encoded += c;
        }
        noisy.push_back(encoded);
        write_path(dir / in_name(noisy.size() - 1), encoded);
    }
    ASSERT_TRUE(python_over_files(dir, noisy.size(), "base64", "base64.b64decode(b)"));
    for (size_t i = 0; i < noisy.size(); ++i) {
        const std::string python = read_path(dir / py_name(i));
        auto in = file_with(noisy[i]);
        auto out = file_with("");
        ASSERT_EQ(base64_decode(in.get(), out.get(), Context()), 0) << i;
        ASSERT_EQ(content_of(out.get()), python) << i;
        // The text decoder hands back everything before the first zero byte.
        std::string text;
        ASSERT_EQ(base64_decode_text(noisy[i].c_str(), text), 0);
        ASSERT_EQ(text, python.substr(0, python.find('\0'))) << i;
    }
}

// Quoted-printable on which Python's decoder follows the same rules: no
// blanks before a line end, soft breaks only as "=" CR LF, no "=" before
// another "=", a line end or the end of the text.
std::string qp_sample(std::mt19937& rng) {
    const std::string hex_digits = "0123456789ABCDEFabcdef", not_hex = "GHXYZghz!%_.-/";
    const std::string tokens[] = {"=\r\n", "\r\n", "\n", " x", "\ty"};
    std::uniform_int_distribution<int> kind(0, 19), length(0, 400), printable(0x21, 0x7E);
    auto one_of = [&](const std::string& set) {
        return set[std::uniform_int_distribution<size_t>(0, set.size() - 1)(rng)];
    };
    auto plain = [&] {
        const int c = printable(rng);
        return static_cast<char>(c == '=' ? '+' : c);
    };
    std::string text;
    for (int t = length(rng); t > 0; --t) {
        const int k = kind(rng);
        if (k < 5) text += tokens[k];
        if (k == 5) text += {'=', one_of(hex_digits), one_of(hex_digits)};
        if (k == 6) text += {'=', one_of(not_hex), plain()};
        if (k == 7) text += {'=', one_of(hex_digits), one_of(not_hex)};
        if (k > 7) text += plain();
    }
    return text;
}

TEST(QpDifferential, AgreesWithPythonQuopriWhereTheRulesMatch) {
    REQUIRE_TOOL(kPython);
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::mt19937 rng(42);
    std::vector<std::string> samples(400);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = qp_sample(rng);
        write_path(dir / in_name(i), samples[i]);
    }
    ASSERT_TRUE(python_over_files(dir, samples.size(), "quopri", "quopri.decodestring(b)"));
    size_t with_escapes = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        std::string ours;
        QpDecoder decoder(QpDecoder::Form::kClassicText);
        decoder.feed(samples[i].data(), samples[i].size(), ours);
        decoder.finish(ours);
        ASSERT_FALSE(decoder.failed());
        with_escapes += decoder.decoded_escape();
        ASSERT_EQ(ours, read_path(dir / py_name(i))) << samples[i];
    }
    EXPECT_GT(with_escapes, samples.size() / 2);
}

// Japanese text against glibc iconv.
class KanjiDifferential : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TOOL(kIconv);
        ASSERT_TRUE(dir.ok());
    }

    std::string iconv(const char* from, const char* to, const std::string& text,
                      bool skip_invalid = false) {
        write_path(dir / "iconv.in", text);
        const bool ok =
            run_command(std::string(kIconv) + (skip_invalid ? " -c" : "") + " -f " + from + " -t " +
                        to + " " + dir.at("iconv.in") + " > " + dir.at("iconv.out"));
        EXPECT_TRUE(ok || skip_invalid) << from << " -> " << to;
        return read_path(dir / "iconv.out");
    }

    // iconv returns to single-byte text with ESC ( B, this library with
    // ESC ( J; both mean plain letters here.
    static std::string ours(int source, int target, const std::string& text) {
        std::string out;
        EXPECT_EQ(kanji_convert(source, target, text.c_str(), out), 0);
        for (size_t at = out.find("\x1b(J"); at != std::string::npos; at = out.find("\x1b(J", at))
            out[at + 2] = 'B';
        return out;
    }

    ScratchDir dir;
};

TEST_F(KanjiDifferential, EveryJisX0208CharacterInAllSixDirections) {
    // Each EUC pair on a line of its own: iconv leaves the line of an
    // unknown character empty.
    std::string probe;
    for (int a = 0xA1; a <= 0xFE; ++a)
        for (int b = 0xA1; b <= 0xFE; ++b)
            probe += {static_cast<char>(a), static_cast<char>(b), '\n'};
    const std::string utf8 = iconv("EUC-JP", "UTF-8", probe, true);
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> gap(0, 6), letter('a', 'z');
    std::string euc;
    size_t known = 0, line = 0;
    for (size_t i = 0, start = 0; i < utf8.size(); ++i) {
        if (utf8[i] != '\n') continue;
        if (i > start) {
            ++known;
            euc += probe.substr(3 * line, 2);
            // Letters between runs of kanji, line breaks of both kinds.
            const int g = gap(rng);
            if (g == 0) euc += static_cast<char>(letter(rng));
            if (g == 1 && known % 3 == 0) euc += known % 2 != 0 ? "\r\n" : "\n";
        }
        ++line;
        start = i + 1;
    }
    // JIS X 0208-1983 has 6879 characters; glibc knows them all.
    ASSERT_GE(known, 6879u);
    euc += "end";

    const std::string sjis = iconv("EUC-JP", "SHIFT_JIS", euc);
    const std::string jis = iconv("EUC-JP", "ISO-2022-JP", euc);
    ASSERT_FALSE(sjis.empty() || jis.empty());
    EXPECT_TRUE(ours(kEuc, kSjis, euc) == sjis);
    EXPECT_TRUE(ours(kEuc, kJis, euc) == jis);
    EXPECT_TRUE(ours(kSjis, kEuc, sjis) == euc);
    EXPECT_TRUE(ours(kSjis, kJis, sjis) == jis);
    EXPECT_TRUE(ours(kJis, kEuc, jis) == euc);
    EXPECT_TRUE(ours(kJis, kSjis, jis) == sjis);
    // And iconv reads what this library writes, ESC ( J included.
    std::string written;
    ASSERT_EQ(kanji_convert(kSjis, kJis, sjis.c_str(), written), 0);
    EXPECT_TRUE(iconv("ISO-2022-JP", "EUC-JP", written) == euc);
}

TEST_F(KanjiDifferential, HalfWidthKatakana) {
    std::string euc;
    for (int k = 0xA1; k <= 0xDF; ++k) {
        euc += {'\x8e', static_cast<char>(k)};
        if (k % 5 == 0) euc += "ab";
        if (k % 17 == 0) euc += "\xb0\xa1\n";
    }
    const std::string sjis = iconv("EUC-JP", "SHIFT_JIS", euc);
    // Plain ISO-2022-JP has no katakana set; the JIS X 0213 variant uses
    // ESC ( I for it as this library does.
    const std::string jis = iconv("EUC-JP", "ISO-2022-JP-3", euc);
    ASSERT_NE(jis.find("\x1b(I"), std::string::npos);
    EXPECT_EQ(hex(ours(kEuc, kSjis, euc)), hex(sjis));
    EXPECT_EQ(hex(ours(kSjis, kEuc, sjis)), hex(euc));
    EXPECT_EQ(hex(ours(kEuc, kJis, euc)), hex(jis));
    EXPECT_EQ(hex(ours(kSjis, kJis, sjis)), hex(jis));
    EXPECT_EQ(hex(ours(kJis, kEuc, jis)), hex(euc));
    EXPECT_EQ(hex(ours(kJis, kSjis, jis)), hex(sjis));
}

}  // namespace
}  // namespace brevorin::test
