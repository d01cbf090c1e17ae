#include "platform/qt/ip_address_ctrl.h"

#include "platform/qt/text.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

namespace rv::qt {
namespace {

// A field's value: -1 when blank, at most 255.
int FieldValue(const QLineEdit* e) {
    QString t = e->text();
    if (t.isEmpty()) {
        return -1;
    }
    bool ok = false;
    int v = t.toInt(&ok);
    if (!ok) {
        return -1;
    }
    return v > 255 ? 255 : v;
}

} // namespace

IpAddressCtrl::IpAddressCtrl(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Base));
    setPalette(pal);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(0);
    auto* validator = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
    for (int i = 0; i < 4; ++i) {
        auto* e = new QLineEdit(this);
        e->setFrame(false);
        e->setAlignment(Qt::AlignCenter);
        e->setMaxLength(3);
        e->setValidator(validator);
        e->installEventFilter(this);
        fields_[static_cast<std::size_t>(i)] = e;
        layout->addWidget(e, 1);
        connect(e, &QLineEdit::textEdited, this, [this, i] { FieldEdited(i); });
        if (i < 3) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            layout->addWidget(dot, 0);
        }
    }
    setFocusProxy(fields_[0]);
}

void IpAddressCtrl::NameParts(const QString& name) {
    setAccessibleName(name);
    for (int i = 0; i < 4; ++i) {
        // "第N段": the Nth part.
        fields_[static_cast<std::size_t>(i)]->setAccessibleName(name + Q("第") + QString::number(i + 1) +
                                                                Q("段"));
    }
}

void IpAddressCtrl::FieldEdited(int index) {
    QLineEdit* e = fields_[static_cast<std::size_t>(index)];
    // Like the Windows control: a value above 255 is corrected to 255, and a full field moves on.
    if (e->text().toInt() > 255) {
        e->setText(QStringLiteral("255"));
    }
    if (e->text().size() == 3 && index < 3) {
        fields_[static_cast<std::size_t>(index) + 1]->setFocus();
        fields_[static_cast<std::size_t>(index) + 1]->selectAll();
    }
}

bool IpAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        for (int i = 0; i < 3; ++i) {
            if (watched == fields_[static_cast<std::size_t>(i)] &&
                (key->key() == Qt::Key_Period || key->key() == Qt::Key_Space) &&
                !fields_[static_cast<std::size_t>(i)]->text().isEmpty()) {
                fields_[static_cast<std::size_t>(i) + 1]->setFocus();
                fields_[static_cast<std::size_t>(i) + 1]->selectAll();
                return true;
            }
        }
    }
    return QFrame::eventFilter(watched, event);
}

void IpAddressCtrl::SetWindowText(const std::string& text) {
    ClearAddress();
    if (text.empty()) {
        return;
    }
    QStringList parts = Q(text).split(QLatin1Char('.'));
    for (int i = 0; i < 4 && i < parts.size(); ++i) {
        QString p = parts[i].trimmed();
        bool ok = false;
        int v = p.toInt(&ok);
        if (ok && v >= 0 && !p.isEmpty() && p.size() <= 10) {
            fields_[static_cast<std::size_t>(i)]->setText(QString::number(v > 255 ? 255 : v));
        }
    }
}

std::string IpAddressCtrl::GetWindowText() const {
    if (IsBlank()) {
        return {};
    }
    unsigned char f[4];
    GetAddress(f[0], f[1], f[2], f[3]);
    return ToGbk(QStringLiteral("%1.%2.%3.%4").arg(f[0]).arg(f[1]).arg(f[2]).arg(f[3]));
}

int IpAddressCtrl::GetAddress(unsigned char& f0, unsigned char& f1, unsigned char& f2,
                              unsigned char& f3) const {
    unsigned char* out[4] = {&f0, &f1, &f2, &f3};
    int filled = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        int v = FieldValue(fields_[i]);
        if (v >= 0) {
            ++filled;
        }
        *out[i] = static_cast<unsigned char>(v < 0 ? 0 : v);
    }
    return filled;
}

bool IpAddressCtrl::IsBlank() const {
    for (auto* e : fields_) {
        if (!e->text().isEmpty()) {
            return false;
        }
    }
    return true;
}

void IpAddressCtrl::ClearAddress() {
    for (auto* e : fields_) {
        e->clear();
    }
}

} // namespace rv::qt
