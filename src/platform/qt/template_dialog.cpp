#include "platform/qt/template_dialog.h"

#include "platform/message_box.h"
#include "platform/qt/call_thread.h"
#include "platform/qt/display.h"
#include "platform/qt/fonts.h"
#include "platform/qt/ip_address_ctrl.h"
#include "platform/qt/platform.h"
#include "platform/qt/text.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTextLayout>
#include <QValidator>

#include <stdexcept>
#include <utility>
#include <vector>

namespace rv::qt {
namespace {

TemplateDialog::ModalHook& HookSlot() {
    static TemplateDialog::ModalHook hook;
    return hook;
}

constexpr const char* kIdProperty = "rvControlId";

} // namespace

// ---------------------------------------------------------------------------------------------------
// Controls

namespace {

// What the Windows edit lets the user type: digits only for ES_NUMBER, and no growth beyond the text
// limit (a longer text put in by SetWindowText can still be shortened).
class EditInputRule : public QValidator {
public:
    explicit EditInputRule(TemplateEdit* edit) : QValidator(edit), edit_(edit) {}
    State validate(QString& input, int&) const override {
        if (edit_->SettingText()) {
            return Acceptable;
        }
        if (edit_->DigitsOnly()) {
            for (QChar ch : input) {
                if (!ch.isDigit() || ch.unicode() > 0x7F) {
                    return Invalid;
                }
            }
        }
        if (input.size() > edit_->LimitText() && input.size() > edit_->AcceptedText().size()) {
            return Invalid;
        }
        return Acceptable;
    }

private:
    TemplateEdit* edit_;
};

} // namespace

TemplateEdit::TemplateEdit(const QString& text, QWidget* parent) : QLineEdit(text, parent) {
    setMaxLength(0x7FFFFFFF);
    setValidator(new EditInputRule(this));
    // During validation text() already holds the new text; remember the one it replaces.
    accepted_ = text;
    connect(this, &QLineEdit::textChanged, this, [this](const QString& t) {
        accepted_ = t;
        Fit();
    });
}

void TemplateEdit::SetWindowText(const QString& text) {
    settingText_ = true;
    setText(text);
    settingText_ = false;
    setCursorPosition(0);
}

void TemplateEdit::SetLimitText(int maxChars) {
    limit_ = maxChars > 0 ? maxChars : 0x7FFFFFFE;
}

void TemplateEdit::SetTextBackground(std::optional<QColor> color) {
    // With a text background the base class draws frame and text over a transparent panel, and
    // paintEvent puts the panel colour and the text background underneath. The palette is set here,
    // never while painting: a palette change asks for another paint.
    if (color && !textBackground_) {
        panelPalette_ = palette();
        QPalette pal = palette();
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            pal.setColor(group, QPalette::Base, Qt::transparent);
        }
        setPalette(pal);
    } else if (!color && textBackground_) {
        QPalette pal = palette();
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            pal.setColor(group, QPalette::Base, panelPalette_.color(group, QPalette::Base));
        }
        setPalette(pal);
    }
    textBackground_ = color;
    update();
}

QRect TemplateEdit::TextRect() const {
    QStyleOptionFrame opt;
    initStyleOption(&opt);
    QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &opt, this);
    r = r.marginsRemoved(textMargins());
    QFontMetrics fm(font());
    // QLineEdit's own margins: 2 pixels left and right, the line centred vertically.
    int x = r.x() + 2;
    int y = r.y() + (r.height() - fm.height() + 1) / 2;
    int w = fm.horizontalAdvance(displayText());
    return QRect(x, y, std::min(w, r.right() - x + 1), fm.height());
}

int TemplateEdit::TextRoom() const {
    QStyleOptionFrame opt;
    initStyleOption(&opt);
    const QRect r =
        style()->subElementRect(QStyle::SE_LineEditContents, &opt, this).marginsRemoved(textMargins());
    // QLineEdit's own 2 pixels on each side, and one for the cursor.
    return r.width() - 2 * 2 - 1;
}

void TemplateEdit::SetFitText(bool on) {
    fitText_ = on;
    baseFont_ = font();
    Fit();
}

void TemplateEdit::Fit() {
    if (!fitText_ || fitting_) {
        return;
    }
    fitting_ = true;
    QFont f = baseFont_;
    const int room = TextRoom();
    const int wide = QFontMetrics(f).horizontalAdvance(displayText());
    if (wide > room && room > 0) {
        // From the ratio down until it fits: stretched glyphs do not scale exactly.
        for (int stretch = std::max(kMinFitStretch, 100 * room / wide); stretch >= kMinFitStretch;
             stretch -= 2) {
            f.setStretch(stretch);
            if (QFontMetrics(f).horizontalAdvance(displayText()) <= room) {
                break;
            }
        }
    }
    if (f != font()) {
        setFont(f);
    }
    setCursorPosition(0);
    fitting_ = false;
}

void TemplateEdit::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange && !fitting_) {
        baseFont_ = font();
        Fit();
    }
}

void TemplateEdit::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    Fit();
}

void TemplateEdit::paintEvent(QPaintEvent* event) {
    if (textBackground_) {
        QPainter p(this);
        p.fillRect(rect().adjusted(1, 1, -1, -1),
                   panelPalette_.color(palette().currentColorGroup(), QPalette::Base));
        if (!displayText().isEmpty()) {
            p.fillRect(TextRect(), *textBackground_);
        }
    }
    QLineEdit::paintEvent(event);
}

void TemplateStatic::SetPlainText(const QString& text) {
    plain_ = text;
    Render();
}

void TemplateStatic::SetTextBackground(std::optional<QColor> color) {
    textBackground_ = color;
    Render();
}

int TemplateStatic::LineStep() const {
    return font().pixelSize() > 0 ? font().pixelSize() : QFontMetrics(font()).height();
}

void TemplateStatic::paintEvent(QPaintEvent* event) {
    if (!wordWrap() || plain_.isEmpty()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter p(this);
    p.setFont(font());
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.setClipRect(contentsRect());
    QRect area = contentsRect();
    // Lines are laid out by QTextLayout (breaks between ideographs and at spaces) and placed LineStep()
    // apart, each baseline 0.86 em below the line's top, where a Chinese Windows face puts it. A text
    // background fills each line's cell behind its characters only, as SetBkColor does.
    const int step = LineStep();
    const int baseline = (step * 86 + 50) / 100;
    int top = area.top();
    QTextOption opt(alignment() & Qt::AlignHorizontal_Mask);
    opt.setWrapMode(QTextOption::WordWrap);
    for (const QString& para : plain_.split(QLatin1Char('\n'))) {
        QTextLayout layout(para, font());
        layout.setTextOption(opt);
        layout.beginLayout();
        int y = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(area.width());
            line.setPosition(QPointF(0, y + baseline - line.ascent()));
            y += step;
        }
        layout.endLayout();
        if (textBackground_) {
            for (int i = 0; i < layout.lineCount(); ++i) {
                const QTextLine line = layout.lineAt(i);
                p.fillRect(QRectF(area.left() + line.naturalTextRect().left(), top + i * step,
                                  line.naturalTextWidth(), step),
                           *textBackground_);
            }
        }
        layout.draw(&p, QPointF(area.left(), top));
        top += std::max(y, step);
    }
}

void TemplateStatic::Render() {
    if (!textBackground_) {
        setTextFormat(Qt::PlainText);
        setText(plain_);
        return;
    }
    // Rich text paints the background behind the characters of each line only, like SetBkColor.
    setTextFormat(Qt::RichText);
    setText(QStringLiteral("<span style=\"white-space:pre-wrap; background-color:%1\">%2</span>")
                .arg(textBackground_->name(), plain_.toHtmlEscaped().replace(QLatin1Char('\n'), "<br>")));
}

// ---------------------------------------------------------------------------------------------------
// Building

namespace {

bool Overlap(int a0, int a1, int b0, int b1) {
    return a0 < b1 && b0 < a1;
}

// The static text that labels control `c`, as the templates draw labels and as Windows' accessibility
// reads them: the nearest one on its row to its left, else the nearest one right above it.
const dlg::ControlTemplate* LabelOf(const dlg::DialogTemplate& t, const dlg::ControlTemplate& c) {
    const dlg::ControlTemplate* beside = nullptr;
    const dlg::ControlTemplate* above = nullptr;
    for (const auto& s : t.controls) {
        if (s.kind != dlg::ControlKind::Static || s.text == nullptr || *s.text == '\0') {
            continue;
        }
        if (Overlap(s.y, s.y + s.cy, c.y, c.y + c.cy) && s.x + s.cx <= c.x + 2) {
            if (!beside || s.x + s.cx > beside->x + beside->cx) {
                beside = &s;
            }
        } else if (s.y + s.cy <= c.y + 2 && c.y - (s.y + s.cy) < 2 * c.cy &&
                   Overlap(s.x, s.x + s.cx, c.x, c.x + c.cx)) {
            if (!above || s.y + s.cy > above->y + above->cy) {
                above = &s;
            }
        }
    }
    return beside ? beside : above;
}

// A label's text as a name: without the colon that ends it.
QString NameFromLabel(QString text) {
    while (!text.isEmpty() &&
           (text.back() == QChar(0xFF1A) || text.back() == QLatin1Char(':') || text.back().isSpace())) {
        text.chop(1);
    }
    return text;
}

} // namespace

TemplateDialog::TemplateDialog(int templateId, QWidget* parent) : QDialog(parent) {
    tmpl_ = dlg::FindTemplate(templateId);
    if (!tmpl_) {
        throw std::logic_error("no dialog template " + std::to_string(templateId));
    }
    Build();
}

TemplateDialog::~TemplateDialog() = default;

QRect TemplateDialog::MapDialogRect(int x, int y, int cx, int cy) const {
    return QRect(dlg::DluToPixelsX(x, units_), dlg::DluToPixelsY(y, units_), dlg::DluToPixelsX(cx, units_),
                 dlg::DluToPixelsY(cy, units_));
}

void TemplateDialog::Build() {
    const auto& t = *tmpl_;
    QFont font = PointFont(t.pointSize * 10, t.face);
    setFont(font);
    units_ = BaseUnitsOf(font);

    Qt::WindowFlags flags = Qt::Dialog;
    if (t.style & dlg::kPopupNoBorder) {
        flags |= Qt::FramelessWindowHint;
    } else {
        flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
        if (t.style & dlg::kSysMenu) {
            flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        }
    }
    setWindowFlags(flags);
    setWindowTitle(Q(t.caption));
    setWindowIcon(AppIcon());

    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("client"));
    QSize size(dlg::DluToPixelsX(t.cx, units_), dlg::DluToPixelsY(t.cy, units_));
    client_->setGeometry(QRect(QPoint(0, 0), size));
    setFixedSize(size);

    std::vector<std::pair<const dlg::ControlTemplate*, QWidget*>> built;
    for (const auto& c : t.controls) {
        QWidget* w = nullptr;
        QString text = Q(c.text);
        switch (c.kind) {
        case dlg::ControlKind::PushButton:
        case dlg::ControlKind::DefPushButton: {
            auto* b = new QPushButton(text, client_);
            // Enter is the dialog's business (keyPressEvent), not Qt's auto-default logic.
            b->setAutoDefault(false);
            b->setDefault(c.kind == dlg::ControlKind::DefPushButton);
            // While a call runs the input gate drops clicks and keys, but an assistive tool's press
            // action reaches click() without them: it starts nothing either.
            connect(b, &QPushButton::clicked, this, [this, id = c.id] {
                if (!CallThread::CallInFlight()) {
                    SendCommand(id);
                }
            });
            w = b;
            break;
        }
        case dlg::ControlKind::Edit: {
            auto* e = new TemplateEdit(text, client_);
            e->setReadOnly(c.style & dlg::kReadOnly);
            e->SetFitText(c.style & dlg::kReadOnly);
            e->setFrame(c.style & dlg::kBorder);
            if (c.style & dlg::kPassword) {
                e->setEchoMode(QLineEdit::Password);
            }
            e->SetDigitsOnly(c.style & dlg::kNumber);
            if (c.textLimit > 0) {
                e->SetLimitText(c.textLimit);
            }
            if (c.style & dlg::kReadOnly) {
                // Read-only edits have the dialog's face colour, as on Windows.
                QPalette pal = e->palette();
                pal.setColor(QPalette::Base, pal.color(QPalette::Window));
                e->setPalette(pal);
            }
            w = e;
            break;
        }
        case dlg::ControlKind::Static: {
            auto* s = new TemplateStatic(client_);
            s->SetPlainText(text);
            Qt::Alignment align = (c.style & dlg::kCenter) ? Qt::AlignHCenter : Qt::AlignLeft;
            s->setAlignment(align | Qt::AlignTop);
            s->setWordWrap(c.style & dlg::kWraps);
            w = s;
            break;
        }
        case dlg::ControlKind::GroupBox: {
            // The Windows group box: a frame whose top line runs through the middle of its title.
            auto* g = new QGroupBox(text, client_);
            g->setStyleSheet(QStringLiteral(
                "QGroupBox { border: 1px solid #a0a0a0; margin-top: 0.55em; }"
                "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px;"
                " padding: 0 2px; }"));
            w = g;
        } break;
        case dlg::ControlKind::IpAddress:
            w = new IpAddressCtrl(client_);
            break;
        case dlg::ControlKind::CardControl:
            w = new QWidget(client_);
            break;
        case dlg::ControlKind::Icon: {
            auto* l = new QLabel(client_);
            l->setPixmap(AppIcon().pixmap(32, 32));
            l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            w = l;
            break;
        }
        }
        w->setGeometry(MapDialogRect(c.x, c.y, c.cx, c.cy));
        w->setProperty(kIdProperty, c.id);
        if (c.style & dlg::kHidden) {
            w->setVisible(false);
        }
        if (c.style & dlg::kDisabled) {
            w->setEnabled(false);
        }
        if (c.kind != dlg::ControlKind::Static && c.kind != dlg::ControlKind::GroupBox &&
            c.kind != dlg::ControlKind::Icon && c.kind != dlg::ControlKind::CardControl) {
            w->setFocusPolicy((c.style & dlg::kTabStop) ? Qt::StrongFocus : Qt::ClickFocus);
        }
        if (c.id != dlg::kNoId) {
            items_[c.id] = w;
        }
        built.emplace_back(&c, w);
    }
    // Every field tied to its label: a screen reader names the field by it.
    for (const auto& [c, w] : built) {
        if (c->kind != dlg::ControlKind::Edit && c->kind != dlg::ControlKind::IpAddress) {
            continue;
        }
        const dlg::ControlTemplate* label = LabelOf(t, *c);
        if (label == nullptr) {
            continue;
        }
        for (const auto& [lc, lw] : built) {
            if (lc == label) {
                qobject_cast<QLabel*>(lw)->setBuddy(w);
            }
        }
        const QString name = NameFromLabel(Q(label->text));
        w->setAccessibleName(name);
        if (auto* ip = qobject_cast<IpAddressCtrl*>(w)) {
            ip->NameParts(name);
        }
    }
}

void TemplateDialog::SetMenuWidget(QWidget* menu) {
    menu_ = menu;
    menu->setParent(this);
    int h = menu->sizeHint().height();
    menu->setGeometry(0, 0, client_->width(), h);
    client_->move(0, h);
    setFixedSize(client_->width(), client_->height() + h);
    menu->show();
}

// ---------------------------------------------------------------------------------------------------
// Controls by id

QWidget* TemplateDialog::GetDlgItem(int id) const {
    auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second;
}

std::string TemplateDialog::GetDlgItemText(int id) const {
    QWidget* w = GetDlgItem(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        return ToGbk(e->text());
    }
    if (auto* s = qobject_cast<TemplateStatic*>(w)) {
        return ToGbk(s->PlainText());
    }
    if (auto* b = qobject_cast<QPushButton*>(w)) {
        return ToGbk(b->text());
    }
    if (auto* g = qobject_cast<QGroupBox*>(w)) {
        return ToGbk(g->title());
    }
    if (auto* ip = qobject_cast<IpAddressCtrl*>(w)) {
        return ip->GetWindowText();
    }
    return {};
}

void TemplateDialog::SetDlgItemText(int id, const std::string& gbk) {
    QWidget* w = GetDlgItem(id);
    QString text = Q(gbk);
    if (auto* e = qobject_cast<TemplateEdit*>(w)) {
        e->SetWindowText(text);
    } else if (auto* s = qobject_cast<TemplateStatic*>(w)) {
        s->SetPlainText(text);
    } else if (auto* b = qobject_cast<QPushButton*>(w)) {
        b->setText(text);
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
        g->setTitle(text);
    } else if (auto* ip = qobject_cast<IpAddressCtrl*>(w)) {
        ip->SetWindowText(gbk);
    }
}

void TemplateDialog::LimitText(int id, int maxChars) {
    if (auto* e = qobject_cast<TemplateEdit*>(GetDlgItem(id))) {
        e->SetLimitText(maxChars);
    }
}

void TemplateDialog::SetItemFont(int id, const QFont& font) {
    if (QWidget* w = GetDlgItem(id)) {
        w->setFont(font);
        w->update();
    }
}

void TemplateDialog::DDX_Text(bool saveAndValidate, int id, std::string& value) {
    if (saveAndValidate) {
        value = GetDlgItemText(id);
    } else {
        SetDlgItemText(id, value);
    }
}

bool TemplateDialog::UpdateData(bool saveAndValidate) {
    DoDataExchange(saveAndValidate);
    return true;
}

void TemplateDialog::ApplyControlColors() {
    for (auto& [id, w] : items_) {
        CtlColor c = OnCtlColor(id);
        if (c.brush) {
            QPalette pal = w->palette();
            for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
                pal.setColor(group, QPalette::Window, *c.brush);
                pal.setColor(group, QPalette::Base, *c.brush);
            }
            w->setPalette(pal);
            w->setAutoFillBackground(true);
        }
        if (c.text) {
            QPalette pal = w->palette();
            pal.setColor(QPalette::Text, *c.text);
            pal.setColor(QPalette::WindowText, *c.text);
            pal.setColor(QPalette::ButtonText, *c.text);
            w->setPalette(pal);
        }
        if (auto* e = qobject_cast<TemplateEdit*>(w)) {
            e->SetTextBackground(c.textBackground);
        } else if (auto* s = qobject_cast<TemplateStatic*>(w)) {
            if (c.textBackground || s->TextBackground()) {
                s->SetTextBackground(c.textBackground);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// Running

TemplateDialog::ModalHook TemplateDialog::SetModalHook(ModalHook hook) {
    ModalHook prev = std::move(HookSlot());
    HookSlot() = std::move(hook);
    return prev;
}

bool TemplateDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void TemplateDialog::DoDataExchange(bool) {}

void TemplateDialog::OnOK() {
    if (UpdateData(true)) {
        EndDialog(IDOK);
    }
}

void TemplateDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

CtlColor TemplateDialog::OnCtlColor(int) {
    return {};
}

void TemplateDialog::OnCommandId(int id, std::function<void()> handler) {
    handlers_[id] = std::move(handler);
}

bool TemplateDialog::OnCommand(int id) {
    if (auto it = handlers_.find(id); it != handlers_.end()) {
        // A copy: the handler may replace its own entry.
        auto handler = it->second;
        handler();
        return true;
    }
    if (id == IDOK) {
        OnOK();
        return true;
    }
    if (id == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

void TemplateDialog::SendCommand(int id) {
    OnCommand(id);
}

void TemplateDialog::FocusFirstTabStop() {
    for (const auto& c : tmpl_->controls) {
        if (!(c.style & dlg::kTabStop)) {
            continue;
        }
        QWidget* w = GetDlgItem(c.id);
        if (w && !w->isHidden() && w->isEnabled()) {
            w->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

void TemplateDialog::CenterWindow() {
    QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
}

int TemplateDialog::DoModal() {
    ended_ = false;
    result_ = 0;
    setModal(true);
    ApplyControlColors();
    // The centring style takes effect when the window is created, before its initialisation, which may
    // move or resize it.
    if (tmpl_->style & dlg::kCentered) {
        CenterWindow();
    }
    if (OnInitDialog()) {
        FocusFirstTabStop();
    }
    if (ended_) {
        return result_;
    }
    // On the screen before the person is waited for (see ShowOrExit for a window that does not appear).
    ShowOrExit(*this);
    // A modal dialog takes the keyboard, as on Windows; a window manager may not give it to a window
    // without a frame (the success dialog) unless asked.
    activateWindow();
    if (HookSlot()) {
        // A copy: the hook may install another one.
        ModalHook hook = HookSlot();
        hook(*this);
    }
    if (!ended_) {
        exec();
    }
    return result_;
}

void TemplateDialog::EndDialog(int result) {
    ended_ = true;
    result_ = result;
    QDialog::done(result);
}

bool TemplateDialog::CreateModeless() {
    ended_ = false;
    result_ = 0;
    setModal(false);
    ApplyControlColors();
    if (tmpl_->style & dlg::kCentered) {
        CenterWindow();
    }
    if (OnInitDialog()) {
        FocusFirstTabStop();
    }
    if (ended_) {
        return false;
    }
    show();
    return true;
}

void TemplateDialog::DestroyWindow() {
    hide();
}

void TemplateDialog::reject() {
    SendCommand(IDCANCEL);
}

void TemplateDialog::accept() {
    SendCommand(IDOK);
}

void TemplateDialog::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        event->accept();
        QWidget* focus = focusWidget();
        if (auto* b = qobject_cast<QPushButton*>(focus); b && b->property(kIdProperty).isValid()) {
            if (b->isEnabled()) {
                b->click();
            }
            return;
        }
        for (const auto& c : tmpl_->controls) {
            if (c.kind == dlg::ControlKind::DefPushButton) {
                auto* b = qobject_cast<QPushButton*>(GetDlgItem(c.id));
                if (b && b->isEnabled()) {
                    b->click();
                }
                return;
            }
        }
        SendCommand(IDOK);
        return;
    }
    case Qt::Key_Escape:
        event->accept();
        SendCommand(IDCANCEL);
        return;
    default:
        // Not QDialog's handling: it has its own idea of Enter and Esc.
        QWidget::keyPressEvent(event); // NOLINT(bugprone-parent-virtual-call)
    }
}

} // namespace rv::qt
