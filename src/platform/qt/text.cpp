#include "platform/qt/text.h"

#include "platform/codepage.h"

namespace rv::qt {

QString Q(std::string_view gbk) {
    std::u16string u = cp::GbkToUtf16(gbk);
    return QString::fromUtf16(u.data(), static_cast<qsizetype>(u.size()));
}

std::string ToGbk(const QString& text) {
    return cp::Utf16ToGbk(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                              static_cast<std::size_t>(text.size())));
}

} // namespace rv::qt
