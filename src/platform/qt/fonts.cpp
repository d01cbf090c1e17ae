#include "platform/qt/fonts.h"

#include "platform/qt/text.h"

#include <QFontMetrics>

namespace rv::qt {
namespace {

struct Substitution {
    const char* face; // GBK
    const char* installed;
};

// 隶书 (clerical script) has no free counterpart in the Debian CJK fonts; the brush-drawn Kai face is the
// closest in character, closer than a Song or Hei face.
constexpr Substitution kSubstitutions[] = {
    {"楷体", "AR PL UKai CN"}, {"黑体", "WenQuanYi Zen Hei"},      {"华文中宋", "AR PL UMing CN"},
    {"隶书", "AR PL UKai CN"}, {"MS Shell Dlg", "AR PL UMing CN"},
};

} // namespace

void InstallFontSubstitutions() {
    for (const auto& s : kSubstitutions) {
        QFont::insertSubstitution(Q(s.face), QString::fromLatin1(s.installed));
    }
}

QString SubstituteFace(const std::string& gbkFace) {
    for (const auto& s : kSubstitutions) {
        if (gbkFace == s.face) {
            return QString::fromLatin1(s.installed);
        }
    }
    return {};
}

QFont PointFont(int tenthsOfPoint, const std::string& gbkFace) {
    // Ask for the installed face directly as well as through the substitution table, so the font is
    // right even where the table was not installed (a test building one dialog on its own).
    QString installed = SubstituteFace(gbkFace);
    QFont f(installed.isEmpty() ? Q(gbkFace) : installed);
    f.setPixelSize(dlg::MulDiv(tenthsOfPoint, 96, 720));
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

dlg::BaseUnits BaseUnitsOf(const QFont& font) {
    QFontMetrics fm(font);
    int width = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {dlg::AverageCharWidth(width), fm.height()};
}

} // namespace rv::qt
