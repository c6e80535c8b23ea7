// Received Unicode text: ill-formed UTF-8 repaired sequence by sequence, and
// UTF-16/UTF-32 read in either order, whole or in pieces cut anywhere.
#include "codec/unicode_forms.h"

#include <gtest/gtest.h>

#include <string>

#include "codec_test_support.h"

namespace brevorin {
namespace {

const std::string kR = kUtf8Replacement;

struct RepairCase {
    const char* name;
    std::string in;
    std::string out;
    size_t replaced;
};

class RepairUtf8 : public ::testing::TestWithParam<RepairCase> {};

TEST_P(RepairUtf8, ReplacesEachBadSequenceAlone) {
    std::string text = GetParam().in;
    EXPECT_EQ(repair_utf8(text), GetParam().replaced);
    EXPECT_EQ(text, GetParam().out);
}

// Python's bytes.decode("utf-8", "replace") gives the same text for each.
INSTANTIATE_TEST_SUITE_P(
    Sequences, RepairUtf8,
    ::testing::Values(RepairCase{"well_formed",
                                 "Gr\xC3\xBC\xC3\x9F"
                                 "e \xF0\x9F\x98\x80",
                                 "Gr\xC3\xBC\xC3\x9F"
                                 "e \xF0\x9F\x98\x80",
                                 0},
                      RepairCase{"stray_lead_between_letters", "a\xD1 b", "a" + kR + " b", 1},
                      RepairCase{"cut_three_byte_is_one", "x\xE2\x82y", "x" + kR + "y", 1},
                      RepairCase{"cut_at_the_end", "ok\xF0\x9F\x98", "ok" + kR, 1},
                      RepairCase{"lone_continuations_each", "\x80\xBF", kR + kR, 2},
                      RepairCase{"overlong_lead_bytes", "\xC0\xAF", kR + kR, 2},
                      RepairCase{"encoded_surrogate", "\xED\xA0\x80", kR + kR + kR, 3},
                      RepairCase{"above_u10ffff", "\xF4\x90\x80\x80", kR + kR + kR + kR, 4},
                      RepairCase{"latin1_word", "caf\xE9!", "caf" + kR + "!", 1},
                      RepairCase{"fault_after_good_text_keeps_it", "\xD0\x9F\xD1\x80\xD1",
                                 "\xD0\x9F\xD1\x80" + kR, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct WideCase {
    const char* name;
    const char* charset;
    std::string bytes;
    std::string utf8;
    size_t malformed;
};

class WideForms : public ::testing::TestWithParam<WideCase> {};

std::string decode_in_steps(const WideCase& c, size_t step, size_t& malformed) {
    WideDecoder decoder(wide_form_of(c.charset));
    std::string out;
    for (size_t at = 0; at < c.bytes.size(); at += step)
        decoder.feed(c.bytes.data() + at, std::min(step, c.bytes.size() - at), out);
    decoder.finish(out);
    malformed = decoder.malformed();
    return out;
}

TEST_P(WideForms, ReadTheSameWholeOrInAnyPieces) {
    const WideCase& c = GetParam();
    for (size_t step : test::every_piece_size(c.bytes)) {
        size_t malformed = 0;
        EXPECT_EQ(decode_in_steps(c, step, malformed), c.utf8) << "step " << step;
        EXPECT_EQ(malformed, c.malformed) << "step " << step;
    }
}

std::string b(std::initializer_list<int> bytes) {
    std::string s;
    for (int v : bytes) s += static_cast<char>(v);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, WideForms,
    ::testing::Values(
        // RFC 2781: the order is the mark's, and big-endian without one.
        WideCase{"utf16_mark_le", "UTF-16", b({0xFF, 0xFE, 'H', 0, 0xFC, 0}), "H\xC3\xBC", 0},
        WideCase{"utf16_mark_be", "UTF-16", b({0xFE, 0xFF, 0, 'H', 0, 0xFC}), "H\xC3\xBC", 0},
        WideCase{"utf16_no_mark_is_be", "UTF-16", b({0x04, 0x1F, 0x04, 0x40}), "\xD0\x9F\xD1\x80",
                 0},
        // Windows programs leave the mark out of little-endian text too.
        WideCase{"utf16_no_mark_reads_le", "UTF-16", b({'H', 0, 'i', 0, '\r', 0, '\n', 0}),
                 "Hi\r\n", 0},
        WideCase{"utf16le_named_with_mark", "UTF-16LE", b({0xFF, 0xFE, 'a', 0}), "a", 0},
        WideCase{"surrogate_pair", "UTF-16BE", b({0xD8, 0x3D, 0xDE, 0x00}), "\xF0\x9F\x98\x80", 0},
        WideCase{"lone_high_then_letter", "UTF-16BE", b({0xD8, 0x3D, 0, 'x'}), kR + "x", 1},
        WideCase{"lone_low", "UTF-16LE", b({0x00, 0xDC, 'y', 0}), kR + "y", 1},
        WideCase{"high_at_the_end", "UTF-16BE", b({0, 'z', 0xDB, 0xFF}), "z" + kR, 1},
        WideCase{"odd_byte_at_the_end", "UTF-16LE", b({'a', 0, 'b'}), "a" + kR, 1},
        WideCase{"nul_is_a_character", "UTF-16LE", b({'a', 0, 0, 0}), std::string("a\0", 2), 0},
        WideCase{"utf32_mark_le", "UTF-32", b({0xFF, 0xFE, 0, 0, 0x00, 0xF6, 0x01, 0}),
                 "\xF0\x9F\x98\x80", 0},
        WideCase{"utf32_no_mark_reads_le", "UTF-32", b({'o', 0, 0, 0, 'k', 0, 0, 0}), "ok", 0},
        WideCase{"utf32_beyond_unicode", "UTF-32BE", b({0, 0x11, 0, 0, 0, 0, 0, 'a'}), kR + "a", 1},
        WideCase{"utf32_surrogate", "UTF-32LE", b({0x00, 0xD8, 0, 0}), kR, 1},
        WideCase{"utf32_cut_short", "UTF-32BE", b({0, 0, 0, 'a', 0, 0}), "a" + kR, 1},
        WideCase{"empty", "UTF-16", "", "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A long text read in pieces of 4096 bytes after a first one shorter than
// the sample the order is settled on.
TEST(WideForms, OrderSettledOnceForALongText) {
    std::string le;
    for (int i = 0; i < 3000; ++i) le += b({0x3B, 0x04, 'x', 0});
    std::string expected;
    for (int i = 0; i < 3000; ++i) expected += "\xD0\xBBx";
    WideDecoder decoder(wide_form_of("UTF-16LE"));
    std::string out;
    decoder.feed(le.data(), 10, out);
    for (size_t at = 10; at < le.size(); at += 4096)
        decoder.feed(le.data() + at, std::min<size_t>(4096, le.size() - at), out);
    decoder.finish(out);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(decoder.malformed(), 0u);
}

}  // namespace
}  // namespace brevorin
