// Text conversion between the UTF-16 of the interfaces and the UTF-8 code page toward plug-ins.
#ifndef ZUVST_PLATFORM_TEXT_H
#define ZUVST_PLATFORM_TEXT_H

#include <cstddef>
#include <string>

#include "zuvst/types.h"

namespace zuvst::platform {

size_t WideLength(const WCHAR* text);

// Converts up to the terminator into dst, cut so that no sequence is split, always terminated inside
// dst (when dstBytes > 0). Unpaired surrogates become U+FFFD. Returns the bytes written before the
// terminator.
size_t WideToUtf8(const WCHAR* src, char* dst, size_t dstBytes);

// Reads src up to its terminator but never more than srcMax bytes; invalid sequences become U+FFFD.
// Cut so that no surrogate pair is split, always terminated inside dst (when dstUnits > 0).
size_t Utf8ToWide(const char* src, size_t srcMax, WCHAR* dst, size_t dstUnits);

std::string WideToUtf8String(const WCHAR* text);
std::u16string Utf8ToWideString(const char* text);

// lstrcmpW-style comparison (by code unit) and its case-insensitive form (ASCII and Latin-1 letters).
int CompareWide(const WCHAR* a, const WCHAR* b);
int CompareWideNoCase(const WCHAR* a, const WCHAR* b);

} // namespace zuvst::platform

#endif
