#include "platform/codepage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <stdexcept>

namespace rv::cp {
namespace {

// CP936 is the Windows GBK table (with 0x80 as the euro sign), the code page the client's texts use.
constexpr const char* kGbk = "CP936";

std::string Convert(const char* to, const char* from, const char* in, std::size_t inLen,
                    std::string_view replacement, std::size_t unitSize) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) { // NOLINT(performance-no-int-to-ptr): iconv's error value
        throw std::runtime_error("iconv_open failed");
    }
    std::string out;
    out.resize(inLen * 4 + 16);
    char* inPtr = const_cast<char*>(in);
    std::size_t inLeft = inLen;
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    while (inLeft > 0) {
        std::size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        if (r != static_cast<std::size_t>(-1)) {
            break;
        }
        if (errno == E2BIG) {
            std::size_t used = static_cast<std::size_t>(outPtr - out.data());
            out.resize(out.size() * 2);
            outPtr = out.data() + used;
            outLeft = out.size() - used;
            continue;
        }
        // Invalid or incomplete input: put the replacement in and step over one input unit.
        if (outLeft < replacement.size()) {
            std::size_t used = static_cast<std::size_t>(outPtr - out.data());
            out.resize(out.size() * 2 + replacement.size());
            outPtr = out.data() + used;
            outLeft = out.size() - used;
        }
        for (char c : replacement) {
            *outPtr++ = c;
            --outLeft;
        }
        std::size_t skip = unitSize;
        if (unitSize == 1) {
            // Step over a whole UTF-8 sequence when the lead byte announces one that fits.
            unsigned char c = static_cast<unsigned char>(*inPtr);
            std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (std::string_view(from) == "UTF-8" && n > 1 && n <= inLeft) {
                bool seq = true;
                for (std::size_t i = 1; i < n; ++i) {
                    seq = seq && (static_cast<unsigned char>(inPtr[i]) & 0xC0) == 0x80;
                }
                skip = seq ? n : 1;
            }
        } else if (unitSize == 2 && inLeft >= 4) {
            // A UTF-16 surrogate pair is one character.
            char16_t u;
            std::memcpy(&u, inPtr, 2);
            if (u >= 0xD800 && u <= 0xDBFF) {
                skip = 4;
            }
        }
        skip = std::min(skip, inLeft);
        inPtr += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    out.resize(static_cast<std::size_t>(outPtr - out.data()));
    return out;
}

} // namespace

std::string GbkToUtf8(std::string_view gbk) {
    return Convert("UTF-8", kGbk, gbk.data(), gbk.size(), "?", 1);
}

std::string Utf8ToGbk(std::string_view utf8) {
    return Convert(kGbk, "UTF-8", utf8.data(), utf8.size(), "?", 1);
}

std::u16string GbkToUtf16(std::string_view gbk) {
    std::string bytes = Convert("UTF-16LE", kGbk, gbk.data(), gbk.size(), std::string_view("?\0", 2), 1);
    std::u16string out(bytes.size() / 2, u'\0');
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

std::string Utf16ToGbk(std::u16string_view utf16) {
    return Convert(kGbk, "UTF-16LE", reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2, "?", 2);
}

std::size_t FindAsciiChar(std::string_view gbk, char ch, std::size_t from) {
    for (std::size_t i = from; i < gbk.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(gbk[i]);
        if (IsGbkLead(c) && i + 1 < gbk.size()) {
            ++i; // the trail byte is part of this character
            continue;
        }
        if (gbk[i] == ch) {
            return i;
        }
    }
    return std::string_view::npos;
}

} // namespace rv::cp
