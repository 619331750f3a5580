#include "platform/TextConversion.h"

#if !defined(_WIN32)

#include <cstdint>

namespace platform {

namespace {

const char32_t kReplacement = 0xFFFD;

void appendUtf16(std::u16string& out, char32_t codePoint) {
    if (codePoint < 0x10000) {
        out.push_back(static_cast<char16_t>(codePoint));
    } else {
        codePoint -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    }
}

void appendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

bool isContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::u16string utf8ToUtf16(const char* text, std::size_t size, bool* invalidFound) {
    std::u16string out;
    out.reserve(size);
    bool invalid = false;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text);
    std::size_t i = 0;
    while (i < size) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        // Length of the sequence and the allowed range of its second byte, which
        // rules out overlong forms, surrogates and values above U+10FFFF.
        std::size_t length = 0;
        uint8_t low = 0x80, high = 0xBF;
        char32_t codePoint = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        if (length == 0) {
            invalid = true;
            appendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        // Consume the longest valid prefix; a broken sequence yields one U+FFFD and
        // decoding resumes at the byte that broke it.
        std::size_t consumed = 1;
        bool complete = true;
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= size) {
                complete = false;
                break;
            }
            const uint8_t byte = bytes[i + k];
            const bool inRange = (k == 1) ? (byte >= low && byte <= high) : isContinuation(byte);
            if (!inRange) {
                complete = false;
                break;
            }
            codePoint = (codePoint << 6) | (byte & 0x3F);
            ++consumed;
        }
        if (complete) {
            appendUtf16(out, codePoint);
        } else {
            invalid = true;
            appendUtf16(out, kReplacement);
        }
        i += consumed;
    }
    if (invalidFound) *invalidFound = invalid;
    return out;
}

std::string utf16ToUtf8(const char16_t* text) {
    std::string out;
    if (!text) return out;
    for (std::size_t i = 0; text[i] != 0; ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            const char32_t codePoint = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
            appendUtf8(out, codePoint);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

}  // namespace platform

#endif  // !_WIN32
