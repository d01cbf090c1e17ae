// Conversions between the client's 8-bit code page (GBK, code page 936) and UTF-8 / UTF-16.
// Used at the edges only: the wire (UTF-8), Qt (UTF-16) and test output.
#pragma once

#include <string>
#include <string_view>

namespace rv::cp {

// Bytes that cannot be converted become '?', so a conversion never fails and never loses the rest.
std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);
std::u16string GbkToUtf16(std::string_view gbk);
std::string Utf16ToGbk(std::u16string_view utf16);

// True for a byte that starts a GBK double-byte character; its trail byte may be 0x5C or 0x7C,
// so byte-wise scans must step over the pair as one character.
inline bool IsGbkLead(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

// Position of the first byte `ch` (an ASCII byte) at or after `from` that is a character of its own,
// not the trail byte of a double-byte character; npos when none.
std::size_t FindAsciiChar(std::string_view gbk, char ch, std::size_t from = 0);

} // namespace rv::cp
