#include "codec/kanji.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace brevorin {

namespace {

using Byte = unsigned char;

constexpr Byte kEscByte = 0x1B;
constexpr Byte kSingleShift2 = 0x8E;  // EUC: a half-width katakana follows
constexpr Byte kHighBit = 0x80;
constexpr Byte kVoicedMark = 0xDE;  // half-width, after the katakana it voices
constexpr Byte kSemiVoicedMark = 0xDF;

// Room checked for before each step: no step writes more than an escape
// sequence and a pair. No step writes more than four bytes per byte it
// reads (five where half-width katakana go out full-width, and kanji_convert
// gives that room), so with the worst-case room of four bytes per input byte
// plus four these checks never fail: before a step at least 4 * 1 + 4 bytes
// are left, at the end at least the four of a closing escape and the
// terminator.
constexpr ptrdiff_t kStepRoom = 8;
constexpr ptrdiff_t kFinishRoom = 4;

inline bool is_line_break(Byte b) {
    return b == '\r' || b == '\n';
}
inline bool is_sjis_lead(Byte b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF);
}
inline bool is_sjis_trail(Byte b) {
    return b >= 0x40 && b <= 0xFC;
}
inline bool is_euc_byte(Byte b) {
    return b >= 0xA1 && b <= 0xFE;
}
inline bool is_katakana(Byte b) {
    return b >= 0xA1 && b <= 0xDF;
}

// The full-width JIS X 0208 pairs of the half-width katakana 0xA1..0xDF:
// alone, with the voiced mark, with the semi-voiced mark (0: none).
struct FullWidthKana {
    uint16_t alone;
    uint16_t voiced;
    uint16_t semi_voiced;
};

constexpr FullWidthKana kFullWidthKana[] = {
#include "codec/kana_widths.inc"
};
static_assert(sizeof kFullWidthKana / sizeof kFullWidthKana[0] == 0xDF - 0xA1 + 1,
              "one row a half-width katakana");

// Eight bytes at a time for the long runs of one kind that make up most
// text; the checks are exact, so results are those of the byte rules.
namespace word {

constexpr uint64_t kEach(Byte b) {
    return 0x0101010101010101ULL * b;
}
constexpr uint64_t kHigh = kEach(0x80);

inline uint64_t load(const Byte* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(Byte* p, uint64_t v) {
    std::memcpy(p, &v, sizeof v);
}

// Every byte below 0x80.
inline bool all_seven_bit(uint64_t v) {
    return (v & kHigh) == 0;
}

// Every byte in 0xA1..0xFE (or, with the high bit added, in 0x21..0x7E).
inline bool all_in_double_byte_range(uint64_t v) {
    if ((v & kHigh) != kHigh) return false;
    const uint64_t low = v & ~kHigh;
    return ((low + kEach(0x5F)) & ~(low + kEach(0x01)) & kHigh) == kHigh;
}

// Some byte equals b.
inline bool has_byte(uint64_t v, Byte b) {
    const uint64_t x = v ^ kEach(b);
    return ((x - kEach(0x01)) & ~x & kHigh) != 0;
}

}  // namespace word

// The state of one conversion: the text ends at end (its terminator),
// out_end bounds the output, mode is that of JIS text read or written. A
// conversion that runs out of room stops between two steps and can go on
// once the output has grown.
struct Cursor {
    const Byte* p;
    const Byte* end;
    Byte* w;
    Byte* out_end;
    JisMode mode = JisMode::kRoman;
    RomanEscape roman = RomanEscape::kJisRoman;
    HalfWidthKana kana = HalfWidthKana::kKeep;

    bool has(ptrdiff_t in, ptrdiff_t out) const {
        return end - p >= in && out_end - w >= out + kStepRoom;
    }
    bool out_of_room() const { return out_end - w < kStepRoom; }
    bool no_room_to_finish() const { return out_end - w < kFinishRoom; }
};

// Terminates the output; false when there is no room for it.
inline bool finish(Cursor& c) {
    if (c.w == c.out_end) return false;
    *c.w = 0;
    return true;
}

// Copies plain seven-bit bytes as long as they come.
inline void copy_seven_bit_run(Cursor& c) {
    while (c.has(8, 8) && word::all_seven_bit(word::load(c.p))) {
        word::store(c.w, word::load(c.p));
        c.p += 8;
        c.w += 8;
    }
    while (c.p < c.end && *c.p < kHighBit && !c.out_of_room()) *c.w++ = *c.p++;
}

// Writes the escape sequence that enters mode unless the text is in it.
inline void enter(JisMode& current, JisMode mode, Cursor& c) {
    if (current == mode) return;
    current = mode;
    c.w[0] = kEscByte;
    switch (mode) {
        case JisMode::kKanji:
            c.w[1] = '$';
            c.w[2] = 'B';
            break;
        case JisMode::kKatakana:
            c.w[1] = '(';
            c.w[2] = 'I';
            break;
        case JisMode::kRoman:
            c.w[1] = '(';
            c.w[2] = c.roman == RomanEscape::kAscii ? 'B' : 'J';
            break;
    }
    c.w += 3;
}

// Writes the half-width katakana kana in kanji mode as its full-width
// pair, joined with the sound mark mark (0: none follows) where JIS X 0208
// has one character for both; true when the mark was taken.
inline bool write_full_width_kana(Cursor& c, Byte kana, Byte mark) {
    const FullWidthKana& row = kFullWidthKana[kana - 0xA1];
    uint16_t pair = row.alone;
    const uint16_t joined = mark == kVoicedMark       ? row.voiced
                            : mark == kSemiVoicedMark ? row.semi_voiced
                                                      : 0;
    if (joined != 0) pair = joined;
    enter(c.mode, JisMode::kKanji, c);
    c.w[0] = static_cast<Byte>(pair >> 8);
    c.w[1] = static_cast<Byte>(pair & 0xFF);
    c.w += 2;
    return joined != 0;
}

// Copies an invalid or incomplete pair as it came; a lead byte just before
// the terminator is copied alone.
inline void copy_pair(Cursor& c) {
    *c.w++ = *c.p++;
    if (c.p < c.end) *c.w++ = *c.p++;
}

// One Shift-JIS character or byte, written in EUC.
inline void sjis_step_to_euc(Cursor& c) {
    const Byte b = *c.p;
    if (is_sjis_lead(b)) {
        if (c.end - c.p < 2 || !is_sjis_trail(c.p[1])) return copy_pair(c);
        Byte first = b, second = c.p[1];
        sjis_pair_to_jis(first, second);
        c.w[0] = first | kHighBit;
        c.w[1] = second | kHighBit;
        c.w += 2;
        c.p += 2;
    } else if (is_katakana(b)) {
        c.w[0] = kSingleShift2;
        c.w[1] = b;
        c.w += 2;
        ++c.p;
    } else {
        *c.w++ = *c.p++;
    }
}

// One EUC character or byte, written in Shift-JIS.
inline void euc_step_to_sjis(Cursor& c) {
    const Byte b = *c.p;
    const Byte next = c.end - c.p >= 2 ? c.p[1] : Byte{0};
    if (is_euc_byte(b)) {
        if (!is_euc_byte(next)) return copy_pair(c);
        Byte first = b - kHighBit, second = next - kHighBit;
        jis_pair_to_sjis(first, second);
        c.w[0] = first;
        c.w[1] = second;
        c.w += 2;
        c.p += 2;
    } else if (b == kSingleShift2) {
        if (!is_katakana(next)) return copy_pair(c);
        *c.w++ = next;
        c.p += 2;
    } else {
        *c.w++ = *c.p++;
    }
}

// One Shift-JIS character or byte other than a line break, written in JIS.
inline void sjis_step_to_jis(Cursor& c) {
    JisMode& mode = c.mode;
    const Byte b = *c.p;
    if (is_sjis_lead(b)) {
        // Invalid pairs go out as they came, without a change of mode.
        if (c.end - c.p < 2 || !is_sjis_trail(c.p[1])) return copy_pair(c);
        Byte first = b, second = c.p[1];
        sjis_pair_to_jis(first, second);
        enter(mode, JisMode::kKanji, c);
        c.w[0] = first;
        c.w[1] = second;
        c.w += 2;
        c.p += 2;
    } else if (is_katakana(b) && c.kana == HalfWidthKana::kFullWidth) {
        const Byte mark = c.end - c.p >= 2 ? c.p[1] : Byte{0};
        c.p += write_full_width_kana(c, b, mark) ? 2 : 1;
    } else if (is_katakana(b)) {
        enter(mode, JisMode::kKatakana, c);
        *c.w++ = b - kHighBit;
        ++c.p;
    } else {
        enter(mode, JisMode::kRoman, c);
        *c.w++ = *c.p++;
    }
}

// One EUC character or run of kanji, or a byte other than a line break,
// written in JIS.
inline void euc_step_to_jis(Cursor& c) {
    JisMode& mode = c.mode;
    const Byte b = *c.p;
    const Byte next = c.end - c.p >= 2 ? c.p[1] : Byte{0};
    if (is_euc_byte(b)) {
        if (!is_euc_byte(next)) return copy_pair(c);
        enter(mode, JisMode::kKanji, c);
        while (c.has(8, 8) && word::all_in_double_byte_range(word::load(c.p))) {
            word::store(c.w, word::load(c.p) & ~word::kHigh);
            c.p += 8;
            c.w += 8;
        }
        while (c.end - c.p >= 2 && is_euc_byte(c.p[0]) && is_euc_byte(c.p[1]) && !c.out_of_room()) {
            c.w[0] = c.p[0] - kHighBit;
            c.w[1] = c.p[1] - kHighBit;
            c.w += 2;
            c.p += 2;
        }
    } else if (b == kSingleShift2 && is_katakana(next) && c.kana == HalfWidthKana::kFullWidth) {
        const Byte mark = c.end - c.p >= 4 && c.p[2] == kSingleShift2 ? c.p[3] : Byte{0};
        c.p += write_full_width_kana(c, next, mark) ? 4 : 2;
    } else if (b == kSingleShift2) {
        if (!is_katakana(next)) return copy_pair(c);
        enter(mode, JisMode::kKatakana, c);
        *c.w++ = next - kHighBit;
        c.p += 2;
    } else {
        enter(mode, JisMode::kRoman, c);
        *c.w++ = *c.p++;
    }
}

// The shape shared by both JIS writers: lines end in Roman mode, and so
// does the text.
template <typename Step>
bool write_jis(Cursor& c, Step step) {
    while (c.p < c.end) {
        if (c.out_of_room()) return false;
        if (c.mode == JisMode::kRoman) {
            copy_seven_bit_run(c);
            if (c.p == c.end || c.out_of_room()) continue;
        }
        if (is_line_break(*c.p)) {
            enter(c.mode, JisMode::kRoman, c);
            *c.w++ = *c.p++;
            continue;
        }
        step(c);
    }
    if (c.no_room_to_finish()) return false;
    enter(c.mode, JisMode::kRoman, c);
    return finish(c);
}

// Where the JIS readers differ: how a pair of kanji mode and a byte of
// katakana mode are written.
struct ToSjis {
    static void pair(Byte first, Byte second, Byte*& w) {
        jis_pair_to_sjis(first, second);
        w[0] = first;
        w[1] = second;
        w += 2;
    }
    static void kana(Byte b, Byte*& w) { *w++ = static_cast<Byte>(b + kHighBit); }
    static constexpr bool kPlainPairs = false;
};

struct ToEuc {
    static void pair(Byte first, Byte second, Byte*& w) {
        w[0] = static_cast<Byte>(first + kHighBit);
        w[1] = static_cast<Byte>(second + kHighBit);
        w += 2;
    }
    static void kana(Byte b, Byte*& w) {
        w[0] = kSingleShift2;
        w[1] = static_cast<Byte>(b + kHighBit);
        w += 2;
    }
    // EUC pairs are the JIS pairs with the high bit set.
    static constexpr bool kPlainPairs = true;
};

// Runs of kanji-mode pairs that hold no escape or line break.
template <typename Target>
void read_kanji_run(Cursor& c) {
    if constexpr (Target::kPlainPairs) {
        while (c.has(8, 8)) {
            const uint64_t v = word::load(c.p);
            if (!word::all_in_double_byte_range(v | word::kHigh) || !word::all_seven_bit(v)) break;
            word::store(c.w, v | word::kHigh);
            c.p += 8;
            c.w += 8;
        }
    }
}

// Copies Roman-mode text up to the next escape.
inline void copy_roman_run(Cursor& c) {
    while (c.has(8, 8) && !word::has_byte(word::load(c.p), kEscByte)) {
        word::store(c.w, word::load(c.p));
        c.p += 8;
        c.w += 8;
    }
}

template <typename Target>
bool read_jis(Cursor& c) {
    while (c.p < c.end) {
        if (c.out_of_room()) return false;
        if (c.mode == JisMode::kRoman) {
            copy_roman_run(c);
            if (c.p == c.end || c.out_of_room()) continue;
        } else if (c.mode == JisMode::kKanji) {
            read_kanji_run<Target>(c);
            if (c.p == c.end || c.out_of_room()) continue;
        }
        const Byte b = *c.p++;
        if (b == kEscByte) {
            c.p += read_escape(c.p, c.mode);
        } else if (is_line_break(b)) {
            c.mode = JisMode::kRoman;
            *c.w++ = b;
        } else if (c.mode == JisMode::kKanji) {
            // A text cut inside a pair keeps its lone first byte.
            if (c.p == c.end) {
                *c.w++ = b;
                break;
            }
            Target::pair(b, *c.p++, c.w);
        } else if (c.mode == JisMode::kKatakana) {
            Target::kana(b, c.w);
        } else {
            *c.w++ = b;
        }
    }
    return finish(c);
}

template <typename Step>
bool convert_plain(Cursor& c, Step step) {
    while (c.p < c.end) {
        if (c.out_of_room()) return false;
        copy_seven_bit_run(c);
        if (c.p < c.end && !c.out_of_room()) step(c);
    }
    return finish(c);
}

enum class Direction { kSjisToEuc, kSjisToJis, kEucToSjis, kEucToJis, kJisToSjis, kJisToEuc };

// Goes on with a conversion; false when the output ran out of room first.
bool run(Direction direction, Cursor& c) {
    switch (direction) {
        case Direction::kSjisToEuc:
            return convert_plain(c, [](Cursor& cursor) { sjis_step_to_euc(cursor); });
        case Direction::kEucToSjis:
            return convert_plain(c, [](Cursor& cursor) { euc_step_to_sjis(cursor); });
        case Direction::kSjisToJis:
            return write_jis(c, [](Cursor& cursor) { sjis_step_to_jis(cursor); });
        case Direction::kEucToJis:
            return write_jis(c, [](Cursor& cursor) { euc_step_to_jis(cursor); });
        case Direction::kJisToSjis:
            return read_jis<ToSjis>(c);
        case Direction::kJisToEuc:
            return read_jis<ToEuc>(c);
    }
    return false;
}

Cursor cursor_over(const char* text, size_t length, char* out, size_t room) {
    const auto* p = reinterpret_cast<const Byte*>(text);
    auto* w = reinterpret_cast<Byte*>(out);
    return Cursor{p, p + length, w, w + room};
}

// The converters' contract: room for the worst case, which always suffices.
size_t run_in_worst_case_room(Direction direction, const char* text, char* out) {
    const size_t length = std::strlen(text);
    Cursor c = cursor_over(text, length, out, kanji_buffer_size(length));
    run(direction, c);
    return static_cast<size_t>(c.w - reinterpret_cast<Byte*>(out));
}

Direction direction_of(int source, int target) {
    switch (source) {
        case kEuc:
            return target == kSjis ? Direction::kEucToSjis : Direction::kEucToJis;
        case kSjis:
            return target == kEuc ? Direction::kSjisToEuc : Direction::kSjisToJis;
        default:
            return target == kEuc ? Direction::kJisToEuc : Direction::kJisToSjis;
    }
}

bool is_form(int code) {
    return code == kEuc || code == kSjis || code == kJis;
}

}  // namespace

void sjis_pair_to_jis(unsigned char& first, unsigned char& second) {
    const Byte s1 = first;
    const Byte s2 = second;
    const Byte adjust = s2 < 0x9F ? 1 : 0;
    first = static_cast<Byte>(2 * (s1 - (s1 < 0xA0 ? 0x70 : 0xB0)) - adjust);
    if (s2 < 0x80) {
        second = static_cast<Byte>(s2 - 0x1F);
    } else if (s2 < 0x9F) {
        second = static_cast<Byte>(s2 - 0x20);
    } else {
        second = static_cast<Byte>(s2 - 0x7E);
    }
}

void jis_pair_to_sjis(unsigned char& first, unsigned char& second) {
    const Byte j1 = first;
    const Byte j2 = second;
    const Byte half = static_cast<Byte>(static_cast<Byte>(j1 + 1) >> 1);
    first = static_cast<Byte>(half + (j1 < 0x5F ? 0x70 : 0xB0));
    if ((j1 & 1) == 0) {
        second = static_cast<Byte>(j2 + 0x7E);
    } else {
        second = static_cast<Byte>(j2 + (j2 < 0x60 ? 0x1F : 0x20));
    }
}

size_t read_escape(const unsigned char* text, JisMode& mode) {
    switch (text[0]) {
        case '$':
            mode = JisMode::kKanji;
            return text[1] != 0 ? 2 : 1;
        case '(':
            mode = text[1] == 'I' ? JisMode::kKatakana : JisMode::kRoman;
            return text[1] != 0 ? 2 : 1;
        case 'K':
            mode = JisMode::kKanji;
            return 1;
        case 'H':
            mode = JisMode::kRoman;
            return 1;
        default:
            mode = JisMode::kRoman;
            return 0;
    }
}

size_t sjis_to_euc(const char* text, char* out) {
    return run_in_worst_case_room(Direction::kSjisToEuc, text, out);
}
size_t sjis_to_jis(const char* text, char* out) {
    return run_in_worst_case_room(Direction::kSjisToJis, text, out);
}
size_t euc_to_sjis(const char* text, char* out) {
    return run_in_worst_case_room(Direction::kEucToSjis, text, out);
}
size_t euc_to_jis(const char* text, char* out) {
    return run_in_worst_case_room(Direction::kEucToJis, text, out);
}
size_t jis_to_sjis(const char* text, char* out) {
    return run_in_worst_case_room(Direction::kJisToSjis, text, out);
}
size_t jis_to_euc(const char* text, char* out) {
    return run_in_worst_case_room(Direction::kJisToEuc, text, out);
}

int kanji_convert(int source, int target, const char* text, std::string& result, RomanEscape roman,
                  HalfWidthKana kana) {
    if (!is_form(target) || !is_form(source)) return -1;
    if (source == target) return 1;
    if (text == nullptr) text = "";
    const size_t length = std::strlen(text);
    // A one-byte Shift-JIS katakana written full-width takes five bytes
    // (an escape sequence and a pair): one more per byte than otherwise.
    const size_t per_byte = kana == HalfWidthKana::kFullWidth ? 5 : 4;
    if (length > (SIZE_MAX - 4) / per_byte) return -10;
    const Direction direction = direction_of(source, target);
    const size_t worst = kanji_buffer_size(length) + (per_byte - 4) * length;
    try {
        // Most text grows by less than half; the worst case of four bytes
        // per byte comes only from text that keeps switching modes, so the
        // output starts smaller and grows when a conversion runs out.
        std::string converted(std::min(worst, length + length / 2 + 2 * kStepRoom), '\0');
        Cursor c = cursor_over(text, length, converted.data(), converted.size());
        c.roman = roman;
        c.kana = kana;
        while (!run(direction, c)) {
            // Unreachable: the worst case always has room (see kStepRoom).
            if (converted.size() == worst) return -10;
            const size_t used =
                static_cast<size_t>(c.w - reinterpret_cast<Byte*>(converted.data()));
            converted.resize(std::min(worst, 2 * converted.size()));
            c.w = reinterpret_cast<Byte*>(converted.data()) + used;
            c.out_end = reinterpret_cast<Byte*>(converted.data()) + converted.size();
        }
        const size_t written = static_cast<size_t>(c.w - reinterpret_cast<Byte*>(converted.data()));
        // Handed back as a terminated text: a zero byte made from invalid
        // input ends it.
        const void* zero = std::memchr(converted.data(), '\0', written);
        converted.resize(
            zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - converted.data())
                            : written);
        result = std::move(converted);
    } catch (const std::bad_alloc&) {
        return -10;
    }
    return 0;
}

}  // namespace brevorin
