// The HTTP client's answer re-assembly ("\r\n" after every line) and the code-page conversions at the
// edges (UTF-8 -> GBK for answers, GBK -> UTF-8 / UTF-16 for requests and the GUI), over any bytes.
#include "fuzz_support.h"
#include "net/CHttpClient.h"
#include "platform/codepage.h"

#include <algorithm>

using namespace rv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string raw = fuzz::Bytes(data, size);

    const std::string lines = ReassembleLines(raw);
    const std::size_t lf = static_cast<std::size_t>(std::count(raw.begin(), raw.end(), '\n'));
    const std::size_t lineCount = raw.empty() ? 0 : lf + (raw.back() == '\n' ? 0 : 1);
    RV_FUZZ_CHECK(lines.size() == raw.size() - lf + 2 * lineCount);
    RV_FUZZ_CHECK(lineCount == 0 || lines.compare(lines.size() - 2, 2, "\r\n") == 0);

    const std::string gbk = cp::Utf8ToGbk(raw);
    const std::string back = cp::GbkToUtf8(gbk);
    // Valid UTF-8 of characters GBK has comes back unchanged; the conversion never loses the rest.
    if (gbk.find('?') == std::string::npos && raw.find('?') == std::string::npos && !raw.empty()) {
        RV_FUZZ_CHECK(!back.empty());
    }
    (void)cp::Utf8ToGbk(lines);

    // The same bytes taken as GBK.
    const std::string utf8 = cp::GbkToUtf8(raw);
    const std::u16string utf16 = cp::GbkToUtf16(raw);
    const std::string gbk16 = cp::Utf16ToGbk(utf16);
    RV_FUZZ_CHECK(raw.empty() == utf8.empty());
    RV_FUZZ_CHECK(raw.empty() == utf16.empty());
    (void)gbk16;

    // The GBK-aware scan: a hit is the byte asked for and never the trail byte of a character.
    for (char ch : {'|', '\\', '='}) {
        std::size_t p = cp::FindAsciiChar(raw, ch, size % 7);
        if (p != std::string::npos) {
            RV_FUZZ_CHECK(p < raw.size() && raw[p] == ch);
            RV_FUZZ_CHECK(p >= size % 7);
        }
    }
    return 0;
}
