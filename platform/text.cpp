#include "platform/text.h"

namespace zuvst::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

size_t Utf8Length(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

void PutUtf8(char32_t cp, char* out)
{
    switch (Utf8Length(cp)) {
    case 1: out[0] = static_cast<char>(cp); break;
    case 2:
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        break;
    case 3:
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        break;
    default:
        out[0] = static_cast<char>(0xF0 | (cp >> 18));
        out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[3] = static_cast<char>(0x80 | (cp & 0x3F));
        break;
    }
}

// Decodes one code point at s (n bytes available, n > 0); returns the bytes consumed. Malformed input
// consumes its maximal valid prefix and yields U+FFFD.
size_t DecodeUtf8(const unsigned char* s, size_t n, char32_t* cp)
{
    const unsigned char b = s[0];
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    size_t need;
    char32_t value;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
        value = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        value = b & 0x0F;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        value = b & 0x07;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        *cp = kReplacement;
        return 1;
    }
    size_t i = 1;
    for (; i <= need; ++i) {
        if (i >= n) break;
        const unsigned char c = s[i];
        if (c < lo || c > hi) break;
        lo = 0x80;
        hi = 0xBF;
        value = (value << 6) | (c & 0x3F);
    }
    if (i <= need) {
        *cp = kReplacement;
        return i;
    }
    *cp = value;
    return i;
}

WCHAR FoldCase(WCHAR c)
{
    if (c >= u'A' && c <= u'Z') return static_cast<WCHAR>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<WCHAR>(c + 32);
    return c;
}

} // namespace

size_t WideLength(const WCHAR* text)
{
    size_t n = 0;
    if (text)
        while (text[n]) ++n;
    return n;
}

size_t WideToUtf8(const WCHAR* src, char* dst, size_t dstBytes)
{
    if (!dst || dstBytes == 0) return 0;
    size_t out = 0;
    for (size_t i = 0; src && src[i];) {
        char32_t cp = src[i];
        size_t units = 1;
        if (cp >= 0xD800 && cp <= 0xDBFF && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
            units = 2;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        const size_t len = Utf8Length(cp);
        if (out + len > dstBytes - 1) break;
        PutUtf8(cp, dst + out);
        out += len;
        i += units;
    }
    dst[out] = 0;
    return out;
}

size_t Utf8ToWide(const char* src, size_t srcMax, WCHAR* dst, size_t dstUnits)
{
    if (!dst || dstUnits == 0) return 0;
    size_t out = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    size_t n = 0;
    if (s)
        while (n < srcMax && s[n]) ++n;
    for (size_t i = 0; i < n;) {
        char32_t cp;
        i += DecodeUtf8(s + i, n - i, &cp);
        const size_t units = cp >= 0x10000 ? 2 : 1;
        if (out + units > dstUnits - 1) break;
        if (units == 2) {
            dst[out++] = static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
            dst[out++] = static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            dst[out++] = static_cast<WCHAR>(cp);
        }
    }
    dst[out] = 0;
    return out;
}

std::string WideToUtf8String(const WCHAR* text)
{
    std::string out(WideLength(text) * 3 + 1, '\0');
    out.resize(WideToUtf8(text, out.data(), out.size()));
    return out;
}

std::u16string Utf8ToWideString(const char* text)
{
    const size_t n = text ? std::char_traits<char>::length(text) : 0;
    std::u16string out(n + 1, u'\0');
    out.resize(Utf8ToWide(text, n, out.data(), out.size()));
    return out;
}

int CompareWide(const WCHAR* a, const WCHAR* b)
{
    a = a ? a : u"";
    b = b ? b : u"";
    while (*a && *a == *b) ++a, ++b;
    return *a < *b ? -1 : *a > *b ? 1 : 0;
}

int CompareWideNoCase(const WCHAR* a, const WCHAR* b)
{
    a = a ? a : u"";
    b = b ? b : u"";
    while (*a && FoldCase(*a) == FoldCase(*b)) ++a, ++b;
    const WCHAR x = FoldCase(*a), y = FoldCase(*b);
    return x < y ? -1 : x > y ? 1 : 0;
}

} // namespace zuvst::platform
