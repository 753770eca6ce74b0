#include "platform/text.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

}  // namespace

std::string WideToNarrow(const std::u16string& wide) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
                ++i;
            } else {
                c = kReplacement;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

namespace {

// One UTF-8 sequence at s[0..n): its code point and length, or kInvalid and
// the length of the bad run (overlong forms, surrogates, truncated sequences,
// code points above U+10FFFF).
constexpr char32_t kInvalid = 0xFFFFFFFF;

char32_t DecodeUtf8(const unsigned char* s, size_t n, size_t* length) {
    const unsigned char b = s[0];
    if (b < 0x80) {
        *length = 1;
        return b;
    }
    size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
        len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, cp = b & 0x07, min = 0x10000;
    }
    size_t k = 1;
    if (len != 0) {
        for (; k < len && k < n && (s[k] & 0xC0) == 0x80; ++k) cp = (cp << 6) | (s[k] & 0x3F);
    }
    if (len == 0 || k != len || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        *length = len == 0 ? 1 : k;
        return kInvalid;
    }
    *length = len;
    return cp;
}

}  // namespace

bool IsWellFormedUtf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        size_t len = 0;
        if (DecodeUtf8(s + i, n - i, &len) == kInvalid) return false;
        i += len;
    }
    return true;
}

std::u16string NarrowToWide(const std::string& narrow) {
    std::u16string out;
    out.reserve(narrow.size());
    const auto* s = reinterpret_cast<const unsigned char*>(narrow.data());
    const size_t n = narrow.size();
    size_t i = 0;
    while (i < n) {
        size_t len = 0;
        const char32_t cp = DecodeUtf8(s + i, n - i, &len);
        AppendUtf16(out, cp == kInvalid ? kReplacement : cp);
        i += len;
    }
    return out;
}

}  // namespace platform
