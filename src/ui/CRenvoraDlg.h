// The main window (template 102): eight read-only fields of card data, the owner-drawn menu bar, the
// renewal and exit buttons, and the hosted card control. It owns the card control wrapper, the display-
// free half of the window (MainWindowModel, which runs login, network test and renewal) and the login
// dialog, and it is the MainWindowView the model talks to.
//
// Card and server calls run on the window's call thread while its event loop turns (platform/qt/
// call_thread.h). Closing the window, or a session's request to quit, during a call is answered once
// the command in hand has ended, by the exit path and its question; nothing interrupts a call.
//
// X11 has no system menu: the window's context menu offers its About entry (system command 16) and,
// since menu 131 has no entry for it, "设置参数" (command 32778). OnSysCommand keeps the Windows values.
// The context menu opens from the mouse and from the keyboard (the Menu key, Shift+F10); F10 or a lone
// Alt puts the menu bar into menu mode (CNewMenu), as on Windows.
#pragma once

#include "card/CDCertUpdate.h"
#include "platform/qt/call_thread.h"
#include "platform/qt/template_dialog.h"
#include "renewal/gui/LoginDialog.h"
#include "renewal/main_window_model.h"
#include "ui/WritCarDialog.h"

#include <QFont>
#include <QIcon>

#include <array>
#include <functional>
#include <memory>

class QMenu;

namespace rv {

class CNewMenu;

class CRenvoraDlg : public qt::TemplateDialog, public MainWindowView {
    Q_OBJECT
public:
    // How initialisation creates the card control into the wrapper; true on success. The default
    // creates it by its class identifier through the plugin loader; tests attach a double instead.
    using ControlFactory = std::function<bool(CDCertUpdate&)>;
    static bool CreateCardControl(CDCertUpdate& card);

    explicit CRenvoraDlg(QWidget* parent = nullptr, ControlFactory createControl = CreateCardControl);
    ~CRenvoraDlg() override;

    MainWindowModel& Model() { return model_; }
    CDCertUpdate& Card() { return card_; }
    CNewMenu& Menu() { return *menu_; }
    // The context menu standing in for the system menu (built by OnInitDialog).
    QMenu* SystemMenu() const { return systemMenu_; }
    // The notice window while one is shown.
    WritCarDialog* Notice() const { return notice_.get(); }
    bool ControlCreated() const { return controlCreated_; }

    // WM_SYSCOMMAND with the Windows values: (value & 0xFFF0) == 16 opens the About box.
    void OnSysCommand(unsigned value);

    // MainWindowView.
    void EnableRenewalButton(bool enable) override;
    bool IsRenewalButtonEnabled() const override;
    void ShowCardData() override;
    void ApplyDateFont() override;
    int RunLoginDialog() override;
    void ShowNotice(int picture) override;
    void CloseNotice() override;
    void RunSuccessDialog() override;

    // The five fonts, in the order they are created.
    enum FontIndex { kDateFont, kButtonFont, kLabelFont, kFieldFont, kNoticeFont, kFontCount };
    const QFont& Font(FontIndex i) const { return fonts_[i]; }

protected:
    bool OnInitDialog() override;
    void DoDataExchange(bool saveAndValidate) override;
    // Enter in a read-only field (there is no default button): the exit path, with its question and the
    // card's close, never an exit past them.
    void OnOK() override;
    void OnCancel() override;
    bool OnCommand(int id) override;
    qt::CtlColor OnCtlColor(int id) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The context menu at `at` (global); from the keyboard with its first entry selected.
    void PopupSystemMenu(const QPoint& at, bool fromKeyboard);
    void RunSettings(bool rereadAddress);
    // The display went away during the call of notice `picture` (0: a call without a notice): says on
    // stderr which call it was and what the card now holds (read back without a window; a new end date is
    // remembered for the reminder), then ends the process.
    [[noreturn]] void EndOnDisplayLost(int picture);
    void RunAbout();
    // A close asked for during a call, answered once no command runs any more.
    void AnswerPendingClose();

    // First: the card control below is created, called and released on it.
    qt::CallThread calls_;
    QIcon icon_;
    CDCertUpdate card_;
    MainWindowModel model_;
    LoginDialog login_;
    std::unique_ptr<WritCarDialog> notice_;
    std::array<QFont, kFontCount> fonts_;
    CNewMenu* menu_;
    QMenu* systemMenu_ = nullptr;
    ControlFactory createControl_;
    bool controlCreated_ = false;
    bool altAlone_ = false; // Alt is down and nothing else happened since
    int commandDepth_ = 0;  // commands running (nested ones included)
    bool closePending_ = false;
};

} // namespace rv
