// Driving the real dialogs in GUI tests: key presses as a user makes them, a modal hook for one test,
// and screenshots on request. Header-only: only GUI test folders include it.
#pragma once

#include "platform/qt/template_dialog.h"

#include <QApplication>
#include <QKeyEvent>
#include <QString>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdlib>

namespace rv::test {

inline void Key(QWidget* target, int key, const QString& text = {}) {
    ASSERT_NE(target, nullptr);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
}

// Types like a user: one key press per character into the widget.
inline void Type(QWidget* target, const QString& text) {
    for (QChar ch : text) {
        Key(target, ch.isDigit() ? Qt::Key_0 + ch.digitValue() : Qt::Key_A, QString(ch));
    }
}

// With RENVORA_SCREENSHOT_DIR set, saves the window as it looks now (scripts/screenshots-dialogs).
inline void Screenshot(QWidget& w, const char* name) {
    const char* dir = std::getenv("RENVORA_SCREENSHOT_DIR");
    if (!dir || !*dir) {
        return;
    }
    QApplication::processEvents();
    w.grab().save(QString::fromUtf8(dir) + QLatin1Char('/') + QString::fromUtf8(name) +
                  QStringLiteral(".png"));
}

// Installs a modal hook for one test and puts the previous one back.
class HookGuard {
public:
    explicit HookGuard(qt::TemplateDialog::ModalHook hook)
        : prev_(qt::TemplateDialog::SetModalHook(std::move(hook))) {}
    ~HookGuard() { qt::TemplateDialog::SetModalHook(std::move(prev_)); }
    HookGuard(const HookGuard&) = delete;
    HookGuard& operator=(const HookGuard&) = delete;

private:
    qt::TemplateDialog::ModalHook prev_;
};

} // namespace rv::test
