// QString at the edge between the client's GBK strings and Qt. Never build a QString from a narrow
// literal directly: literals are GBK bytes.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace rv::qt {

QString Q(std::string_view gbk);
std::string ToGbk(const QString& text);

} // namespace rv::qt
