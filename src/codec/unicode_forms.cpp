#include "codec/unicode_forms.h"

#include "core/text.h"

namespace brevorin {

namespace {

// Bytes a text may hold before its order is settled: enough to see how its
// ASCII characters lie.
constexpr size_t kOrderSample = 256;

bool is_surrogate(uint32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

}  // namespace

void put_utf8(uint32_t c, std::string& out) {
    if (c > 0x10FFFF || is_surrogate(c)) c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

size_t repair_utf8(std::string& text) {
    // Most text is well formed: nothing is copied unless a fault is found.
    if (is_utf8(text)) return 0;
    size_t i = 0;
    std::string out;
    out.reserve(text.size() + 8);
    size_t replaced = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t length = utf8_lead_length(c);
        // How much of a well-formed sequence is there: the lead byte, then
        // the continuation bytes that the lead allows.
        size_t good = length == 0 ? 0 : 1;
        while (good > 0 && good < length && i + good < text.size()) {
            unsigned char next = static_cast<unsigned char>(text[i + good]);
            bool fits = good == 1 ? utf8_second_byte_ok(c, next) : (next & 0xC0) == 0x80;
            if (!fits) break;
            ++good;
        }
        if (length != 0 && good == length) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        out += kUtf8Replacement;
        ++replaced;
        i += good == 0 ? 1 : good;
    }
    text = std::move(out);
    return replaced;
}

WideForm wide_form_of(const std::string& name) {
    struct Row {
        const char* name;
        WideForm form;
    };
    static const Row kRows[] = {
        {"UTF-16", {2, false, true}},   {"UTF-16BE", {2, false, false}},
        {"UTF-16LE", {2, true, false}}, {"UCS-2", {2, false, true}},
        {"UCS-2BE", {2, false, false}}, {"UCS-2LE", {2, true, false}},
        {"UTF-32", {4, false, true}},   {"UTF-32BE", {4, false, false}},
        {"UTF-32LE", {4, true, false}}, {"UCS-4", {4, false, true}},
        {"UCS-4BE", {4, false, false}}, {"UCS-4LE", {4, true, false}},
    };
    for (const Row& row : kRows)
        if (name == row.name) return row.form;
    return WideForm{};
}

void WideDecoder::feed(const char* data, size_t length, std::string& out) {
    if (form_.unit == 0) return;
    if (!started_) {
        head_.append(data, length);
        if (head_.size() >= kOrderSample) start(out);
        return;
    }
    units(reinterpret_cast<const unsigned char*>(data), length, out);
}

void WideDecoder::finish(std::string& out) {
    if (form_.unit == 0) return;
    if (!started_) start(out);
    if (partial_count_ > 0 || high_ != 0) replace(out);
    partial_count_ = 0;
    high_ = 0;
}

// A byte order mark decides; without one, text in an open order whose
// ASCII characters have their zero bytes after them is little-endian.
void WideDecoder::start(std::string& out) {
    started_ = true;
    const auto* p = reinterpret_cast<const unsigned char*>(head_.data());
    const size_t n = head_.size();
    const size_t unit = form_.unit;
    size_t skip = 0;
    if (unit == 2 && n >= 2 && ((p[0] == 0xFE && p[1] == 0xFF) || (p[0] == 0xFF && p[1] == 0xFE))) {
        form_.little_endian = p[0] == 0xFF;
        skip = 2;
    } else if (unit == 4 && n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0xFE && p[3] == 0xFF) {
        form_.little_endian = false;
        skip = 4;
    } else if (unit == 4 && n >= 4 && p[0] == 0xFF && p[1] == 0xFE && p[2] == 0 && p[3] == 0) {
        form_.little_endian = true;
        skip = 4;
    } else if (form_.order_open) {
        // Zero bytes at the front of a unit against those at its back.
        size_t front = 0, back = 0;
        for (size_t at = 0; at + unit <= n; at += unit) {
            if (p[at] == 0 && p[at + unit - 1] != 0) ++front;
            if (p[at] != 0 && p[at + unit - 1] == 0) ++back;
        }
        form_.little_endian = back > front;
    }
    std::string head;
    head.swap(head_);
    units(reinterpret_cast<const unsigned char*>(head.data()) + skip, n - skip, out);
}

void WideDecoder::units(const unsigned char* data, size_t length, std::string& out) {
    const size_t unit = form_.unit;
    while (length > 0) {
        if (partial_count_ == 0 && length >= unit) {
            take(form_.little_endian ? (unit == 2 ? data[0] | data[1] << 8
                                                  : data[0] | data[1] << 8 | data[2] << 16 |
                                                        static_cast<uint32_t>(data[3]) << 24)
                                     : (unit == 2 ? data[0] << 8 | data[1]
                                                  : static_cast<uint32_t>(data[0]) << 24 |
                                                        data[1] << 16 | data[2] << 8 | data[3]),
                 out);
            data += unit;
            length -= unit;
            continue;
        }
        partial_[partial_count_++] = *data++;
        --length;
        if (partial_count_ == unit) {
            partial_count_ = 0;
            units(partial_, unit, out);
        }
    }
}

void WideDecoder::take(uint32_t unit, std::string& out) {
    if (form_.unit == 4) {
        if (unit > 0x10FFFF || is_surrogate(unit)) {
            replace(out);
            return;
        }
        put_utf8(unit, out);
        return;
    }
    if (high_ != 0) {
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            put_utf8(0x10000 + ((high_ - 0xD800) << 10) + (unit - 0xDC00), out);
            high_ = 0;
            return;
        }
        high_ = 0;
        replace(out);  // a high surrogate without its low one
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        high_ = unit;
    } else if (is_surrogate(unit)) {
        replace(out);
    } else {
        put_utf8(unit, out);
    }
}

void WideDecoder::replace(std::string& out) {
    out += kUtf8Replacement;
    ++malformed_;
}

}  // namespace brevorin
