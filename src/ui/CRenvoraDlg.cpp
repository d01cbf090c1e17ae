#include "ui/CRenvoraDlg.h"

#include "card/card_reader.h"
#include "card/dispids.h"
#include "config/gui/setDialog.h"
#include "platform/codepage.h"
#include "platform/message_box.h"
#include "platform/qt/colours.h"
#include "platform/qt/display.h"
#include "platform/qt/fonts.h"
#include "platform/qt/platform.h"
#include "platform/qt/text.h"
#include "renewal/remembered_cards.h"
#include "res/resource_ids.h"
#include "res/resources.h"
#include "ui/CAboutDlg.h"
#include "ui/CNewMenu.h"
#include "ui/UpdateSuccessDialog.h"
#include "ui/notice_pictures.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace rv {
namespace {

constexpr const char* kControlCreationFailed = "初始化Tessamar应用控件失败，请检查控件是否损坏！";
constexpr const char* kSettingsEntry = "设置参数";

// The status of a client whose display went away during a call.
constexpr int kDisplayLostExitStatus = 1;

// What each notice says the client is doing, for the line on stderr.
const char* StepOf(int picture) {
    switch (picture) {
    case res::kPictureSign:
        return "the card signed the renewal request";
    case res::kPictureKeyPair:
        return "the card made its new key pair";
    case res::kPictureSendData:
        return "the renewal request went to the server";
    default:
        return "the card was being written";
    }
}

// System commands besides the About entry that have a meaning here.
constexpr unsigned kScMinimize = 0xF020;
constexpr unsigned kScClose = 0xF060;

} // namespace

bool CRenvoraDlg::CreateCardControl(CDCertUpdate& card) {
    return card.Create(kCardControlClsid);
}

CRenvoraDlg::CRenvoraDlg(QWidget* parent, ControlFactory createControl)
    : qt::TemplateDialog(res::kMainDialog, parent), icon_(qt::AppIcon()), model_(card_, *this),
      login_(model_, this), menu_(new CNewMenu(this)), createControl_(std::move(createControl)) {
    menu_->hide(); // on screen once OnInitDialog made it the menu bar
    OnCommandId(res::kCmdLogin, [this] { model_.LoginFlow(); });
    OnCommandId(res::kCmdNetworkTest, [this] { model_.NetworkTest(); });
    OnCommandId(res::kRenewalButton, [this] { model_.RenewalTransaction(); });
    OnCommandId(res::kExitButton, [this] { OnCancel(); });
    OnCommandId(res::kCmdSettings, [this] { RunSettings(true); });
    OnCommandId(res::kCmdSettingsPlain, [this] { RunSettings(false); });
    OnCommandId(res::kCmdAbout, [this] { RunAbout(); });
    OnCommandId(res::kCmdAboutToolbar, [this] { RunAbout(); });
    OnCommandId(res::kCmdAlreadyLoggedIn, [this] { model_.OnCommand32793(); });
    connect(menu_, &CNewMenu::command, this, [this](int id) { SendCommand(id); });
    // The keys of the menu bar and the context menu reach the window whichever control has the focus.
    QCoreApplication::instance()->installEventFilter(this);
    // The window's close box, or the session asking the client to quit, during a call: answered by the
    // exit path once the command in hand is over.
    calls_.SetCloseDuringCall([this](QWidget* window) {
        if (window == nullptr || window == this) {
            closePending_ = true;
        }
    });
    // The display went away during a call: once the call has ended, say what it did and end.
    calls_.SetDisplayLostDuringCall([this] { EndOnDisplayLost(notice_ ? notice_->Picture() : 0); });
}

CRenvoraDlg::~CRenvoraDlg() {
    QCoreApplication::instance()->removeEventFilter(this);
    CloseNotice();
}

bool CRenvoraDlg::OnInitDialog() {
    // 1. Base initialisation, which also puts the still empty card data into the fields.
    qt::TemplateDialog::OnInitDialog();

    // 2. The system menu's About entry, offered by the context menu; with it the settings entry that
    //    menu 131 lacks.
    systemMenu_ = new QMenu(this);
    systemMenu_->addAction(qt::Q(kSettingsEntry), this, [this] { SendCommand(res::kCmdSettings); });
    if ((Template().style & dlg::kSysMenu) && *res::LoadString(res::kIdsAboutBox) != '\0') {
        systemMenu_->addSeparator();
        systemMenu_->addAction(qt::Q(res::LoadString(res::kIdsAboutBox)), this,
                               [this] { OnSysCommand(res::kSysCommandAbout); });
    }

    // 3. The application icon, large and small.
    setWindowIcon(icon_);

    // 4. Menu 131 as the menu bar, converted to owner-drawn.
    menu_->LoadMenu(res::MainMenu());
    SetMenuWidget(menu_);
    menu_->ConvertToOwnerDrawn();

    // 5. The fonts.
    fonts_[kDateFont] = qt::PointFont(200, "楷体");
    fonts_[kButtonFont] = qt::PointFont(150, "黑体");
    fonts_[kLabelFont] = qt::PointFont(120, "华文中宋");
    fonts_[kFieldFont] = qt::PointFont(150, "隶书");
    fonts_[kNoticeFont] = qt::PointFont(110, "黑体");

    // 6. The card control. Without it the window still works; every card call then fails like a
    //    card error (CDCertUpdate).
    controlCreated_ = createControl_ && createControl_(card_);
    if (!controlCreated_) {
        rv::ShowNotice(kControlCreationFailed);
    }

    // 7. The control's window is disabled (the plugin has no window of its own; its template place
    //    1001 is hidden and disabled alike).
    if (QWidget* place = GetDlgItem(res::kCardControl)) {
        place->setEnabled(false);
    }

    // 8. Fonts on the controls, in this order.
    for (QWidget* w : ClientArea()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (w->inherits("QGroupBox")) {
            w->setFont(fonts_[kLabelFont]);
        }
    }
    for (int id : {res::kLabelApplicantName, res::kLabelCertSeqNo, res::kLabelIdNumber, res::kLabelCardNumber,
                   res::kLabelUnitName, res::kLabelCardType, res::kLabelValidFrom, res::kLabelValidTo}) {
        SetItemFont(id, fonts_[kLabelFont]);
    }
    for (int id : {res::kRenewalButton, res::kExitButton}) {
        SetItemFont(id, fonts_[kButtonFont]);
    }
    for (int id : {res::kEditApplicantName, res::kEditCertSeqNo, res::kEditCardType, res::kEditIdNumber,
                   res::kEditCardNumber, res::kEditUnitName}) {
        SetItemFont(id, fonts_[kFieldFont]);
    }
    SetItemFont(res::kNoticeText, fonts_[kNoticeFont]);
    // The warning wraps to two lines at 11 pt and its template rectangle holds only one and a half;
    // it must be read in full before the renewal, so it may grow down to the frame of the group box.
    if (auto* notice = Item<qt::TemplateStatic>(res::kNoticeText)) {
        const int frameBottom = MapDialogRect(14, 7, 439, 180).bottom() - 1;
        const int wanted = notice->y() + 2 * notice->LineStep() + notice->LineStep() / 4;
        if (notice->y() + notice->height() < wanted) {
            notice->resize(notice->width(), std::min(wanted, frameBottom) - notice->y());
        }
    }

    // 9. Shown before the login dialog comes up over it; a window that never appears ends the client.
    CenterWindow();
    qt::ShowOrExit(*this);

    // 10. The login flow.
    ++commandDepth_;
    model_.LoginFlow();
    --commandDepth_;
    AnswerPendingClose();

    // The notice pictures, drawn once the window is idle and waiting for the user.
    QTimer::singleShot(0, this, [this] { PrepareNoticePictures(devicePixelRatioF()); });
    return true;
}

void CRenvoraDlg::DoDataExchange(bool save) {
    CardData& d = model_.data;
    DDX_Text(save, res::kEditApplicantName, d.applicantName);
    DDX_Text(save, res::kEditCertSeqNo, d.certSeqNo);
    DDX_Text(save, res::kEditIdNumber, d.idNumber);
    DDX_Text(save, res::kEditCardNumber, d.cardNumber);
    DDX_Text(save, res::kEditUnitName, d.unitName);
    DDX_Text(save, res::kEditCardType, d.cardType);
    DDX_Text(save, res::kEditValidFrom, d.validFrom);
    DDX_Text(save, res::kEditValidTo, d.validTo);
}

void CRenvoraDlg::OnOK() {
    // The Windows dialog would end here at once, past the question and without closing the card.
    OnCancel();
}

void CRenvoraDlg::OnCancel() {
    // Ends the process itself with status 1 when closing the card fails.
    if (model_.ExitPath()) {
        EndDialog(res::kIdCancel);
    }
}

bool CRenvoraDlg::OnCommand(int id) {
    ++commandDepth_;
    const bool handled = qt::TemplateDialog::OnCommand(id);
    --commandDepth_;
    AnswerPendingClose();
    return handled;
}

void CRenvoraDlg::AnswerPendingClose() {
    if (commandDepth_ > 0 || !closePending_) {
        return;
    }
    closePending_ = false;
    if (!IsEnded()) {
        SendCommand(res::kIdCancel);
    }
}

qt::CtlColor CRenvoraDlg::OnCtlColor(int id) {
    // Red text (on a yellow text background for the end date), as the original has it; on the face
    // colour it was chosen for whatever the theme, and just dark enough to be read there.
    const QColor red(255, 0, 0);
    const QColor yellow(255, 255, 0);
    switch (id) {
    case res::kEditValidFrom:
    case res::kNoticeText:
        return {qt::ReadableOn(red, qt::kClassicFace), std::nullopt, qt::kClassicFace};
    case res::kEditValidTo:
        return {qt::ReadableOn(red, yellow), yellow, qt::kClassicFace};
    default:
        return {};
    }
}

void CRenvoraDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (systemMenu_) {
        PopupSystemMenu(event->globalPos(), event->reason() == QContextMenuEvent::Keyboard);
        event->accept();
    }
}

void CRenvoraDlg::PopupSystemMenu(const QPoint& at, bool fromKeyboard) {
    if (!systemMenu_ || systemMenu_->isVisible()) {
        return;
    }
    if (fromKeyboard && !systemMenu_->actions().isEmpty()) {
        systemMenu_->setActiveAction(systemMenu_->actions().first());
    }
    systemMenu_->popup(at);
}

bool CRenvoraDlg::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::WindowDeactivate && watched == this) {
        // An Alt that went with the switch to another window (Alt+Tab) is no lone Alt when released here.
        altAlone_ = false;
        return false;
    }
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::MouseButtonPress) {
        return false;
    }
    // Only what is meant for this window's own widgets (a modal box or dialog over it gets its keys).
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != this || !isActiveWindow()) {
        return false;
    }
    if (type == QEvent::MouseButtonPress) {
        altAlone_ = false;
        return false;
    }
    auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    if (type == QEvent::KeyPress) {
        if (key->key() == Qt::Key_Alt) {
            altAlone_ = !key->isAutoRepeat() || altAlone_;
            return false;
        }
        altAlone_ = false;
        if (key->key() == Qt::Key_F10 && mods == Qt::NoModifier) {
            menu_->InMenuMode() ? menu_->LeaveMenuMode() : menu_->EnterMenuMode();
            return true;
        }
        if ((key->key() == Qt::Key_F10 && mods == Qt::ShiftModifier) ||
            (key->key() == Qt::Key_Menu && mods == Qt::NoModifier)) {
            menu_->LeaveMenuMode();
            QWidget* focus = focusWidget();
            const QPoint at = focus ? focus->mapToGlobal(QPoint(0, focus->height()))
                                    : ClientArea()->mapToGlobal(QPoint(0, 0));
            PopupSystemMenu(at, true);
            return true;
        }
        return false;
    }
    // Key release: Alt pressed and released with nothing in between toggles menu mode.
    if (key->key() == Qt::Key_Alt && !key->isAutoRepeat()) {
        const bool alone = altAlone_;
        altAlone_ = false;
        if (alone) {
            menu_->InMenuMode() ? menu_->LeaveMenuMode() : menu_->EnterMenuMode();
            return true;
        }
    }
    return false;
}

void CRenvoraDlg::OnSysCommand(unsigned value) {
    if ((value & 0xFFF0) == static_cast<unsigned>(res::kSysCommandAbout)) {
        RunAbout();
        return;
    }
    // Default handling of the system commands that exist here.
    switch (value & 0xFFF0) {
    case kScClose:
        SendCommand(res::kIdCancel);
        break;
    case kScMinimize:
        showMinimized();
        break;
    default:
        break;
    }
}

void CRenvoraDlg::RunAbout() {
    CAboutDlg about(this);
    about.DoModal();
}

void CRenvoraDlg::RunSettings(bool rereadAddress) {
    setDialog settings(this);
    if (settings.DoModal() == res::kIdOk && rereadAddress) {
        model_.AfterSettingsOk();
    }
}

// ---------------------------------------------------------------------------------------------------
// MainWindowView

void CRenvoraDlg::EnableRenewalButton(bool enable) {
    GetDlgItem(res::kRenewalButton)->setEnabled(enable);
}

bool CRenvoraDlg::IsRenewalButtonEnabled() const {
    return GetDlgItem(res::kRenewalButton)->isEnabled();
}

void CRenvoraDlg::ShowCardData() {
    UpdateData(false);
}

void CRenvoraDlg::ApplyDateFont() {
    SetItemFont(res::kEditValidFrom, fonts_[kDateFont]);
    SetItemFont(res::kEditValidTo, fonts_[kDateFont]);
    GetDlgItem(res::kEditValidFrom)->repaint();
    GetDlgItem(res::kEditValidTo)->repaint();
}

int CRenvoraDlg::RunLoginDialog() {
    return login_.DoModal();
}

void CRenvoraDlg::ShowNotice(int picture) {
    CloseNotice();
    notice_ = std::make_unique<WritCarDialog>(picture);
    notice_->Create(this);
}

void CRenvoraDlg::CloseNotice() {
    if (notice_ && qt::DisplayLost()) {
        EndOnDisplayLost(notice_->Picture());
    }
    if (notice_) {
        notice_->DestroyWindow();
        notice_.reset();
    }
}

void CRenvoraDlg::EndOnDisplayLost(int picture) {
    std::string outcome;
    if (picture == 0) {
        // No notice: a login, a network test, a verification request, or the read-back after a write
        // that has already ended. Which of them is not known here, so no word on what the card holds.
        std::fprintf(stderr,
                     "renvora: the connection to the display was lost while the card or the server was in "
                     "use; no card write was under way; start the client again\n");
        std::fflush(nullptr);
        std::_Exit(kDisplayLostExitStatus);
    }
    if (picture == res::kPictureWriteCard) {
        // The write has run to its end: ask the card, without a window (no message box can be shown).
        ScriptedMessageBox silent;
        MessageBoxGuard guard(silent);
        CardData now = model_.data;
        if (ReadCardRecord(card_, now) != 0) {
            outcome = "the card may now hold the new certificate: start the client again to see";
        } else if (now.validTo != model_.data.validTo) {
            RememberCard(now, kRecordLockWait);
            outcome = "the card now holds the new certificate, valid to " + cp::GbkToUtf8(now.validTo) +
                      "; start the client again to see it";
        } else {
            outcome = "the card still holds its old certificate, valid to " + cp::GbkToUtf8(now.validTo) +
                      "; start the client again to renew";
        }
    } else {
        outcome =
            "the card was not written and still holds its old certificate; start the client again to renew";
    }
    std::fprintf(stderr, "renvora: the connection to the display was lost while %s; %s\n", StepOf(picture),
                 outcome.c_str());
    std::fflush(nullptr);
    std::_Exit(kDisplayLostExitStatus);
}

void CRenvoraDlg::RunSuccessDialog() {
    UpdateSuccessDialog success(model_, this);
    success.DoModal();
    ShowCardData();
}

} // namespace rv
