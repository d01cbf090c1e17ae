#include "platform/qt/colours.h"

#include <algorithm>
#include <cmath>

namespace rv::qt {
namespace {

double Linear(int channel) {
    const double c = channel / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// `c` moved towards `target` by `t` (0 .. 1).
QColor Towards(const QColor& c, const QColor& target, double t) {
    auto mix = [t](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * t)); };
    return QColor(mix(c.red(), target.red()), mix(c.green(), target.green()), mix(c.blue(), target.blue()));
}

} // namespace

double RelativeLuminance(const QColor& c) {
    return 0.2126 * Linear(c.red()) + 0.7152 * Linear(c.green()) + 0.0722 * Linear(c.blue());
}

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = RelativeLuminance(a);
    const double lb = RelativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ReadableOn(const QColor& text, const QColor& background, double ratio) {
    if (ContrastRatio(text, background) >= ratio) {
        return text;
    }
    const QColor target = RelativeLuminance(background) > 0.18 ? QColor(Qt::black) : QColor(Qt::white);
    // The smallest step towards black (or white) that reaches the ratio, in 1/256 steps.
    for (int step = 1; step <= 256; ++step) {
        const QColor c = Towards(text, target, step / 256.0);
        if (ContrastRatio(c, background) >= ratio) {
            return c;
        }
    }
    return target;
}

} // namespace rv::qt
