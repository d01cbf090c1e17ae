// Dialogs from numbered templates, the way the Windows dialog manager runs them.
//
// TemplateDialog builds its controls from a template of res/templates (dialog units converted with the
// template font's base units), finds them by id, sends every command (button click, menu, key) by id
// to OnCommand, which looks the id up in the dialog's message map (OnCommandId) and falls back to
// OnOK for id 1 and OnCancel for id 2. Keys as on Windows: Enter presses the focused push button, else
// the default push button, else sends OK (id 1); Esc and the close box send Cancel (id 2).
//
// Modal hook: SetModalHook installs one process-wide callback that every TemplateDialog calls from
// DoModal once its modal run starts: after OnInitDialog, with the window shown, before the event loop.
// The callback gets the dialog (TemplateId() tells which) and may type, click buttons by id, grab() a
// screenshot or call EndDialog; when the dialog has ended by the time it returns, DoModal returns that
// code without entering the event loop. Dialogs the callback opens call it again, nested. Tests and the
// unattended demo drive the real windows this way. Without a hook DoModal simply runs the loop.
#pragma once

#include "platform/dialog_template.h"

#include <QColor>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace rv::qt {

// What a dialog's control-colour handler answers for one control (WM_CTLCOLOR: SetTextColor, SetBkColor
// and the brush). Without a brush the control keeps the dialog's, which follows the desktop's theme; a
// control whose text colour is fixed fixes its brush too, so the text stays readable in a dark theme.
struct CtlColor {
    std::optional<QColor> text;
    std::optional<QColor> textBackground; // behind the characters only, not the whole control
    std::optional<QColor> brush;          // the whole control
};

// An edit control. Besides QLineEdit it keeps the Windows text limit (it stops typing, not
// SetWindowText) and can paint a background colour behind its text only.
class TemplateEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TemplateEdit(const QString& text, QWidget* parent = nullptr);
    // EM_LIMITTEXT: the user cannot type beyond `maxChars`; 0 means the largest limit.
    void SetLimitText(int maxChars);
    int LimitText() const { return limit_; }
    // ES_NUMBER: only digits can be typed.
    void SetDigitsOnly(bool on) { digitsOnly_ = on; }
    bool DigitsOnly() const { return digitsOnly_; }
    // WM_SETTEXT: any text, whatever the limit and the digits rule.
    void SetWindowText(const QString& text);
    // The text before the edit in progress (what the input rule compares with).
    const QString& AcceptedText() const { return accepted_; }
    bool SettingText() const { return settingText_; }
    void SetTextBackground(std::optional<QColor> color);
    std::optional<QColor> TextBackground() const { return textBackground_; }
    // Where the text is drawn (widget coordinates).
    QRect TextRect() const;
    // Read-only fields show their whole value: a text wider than the field at its font is drawn
    // condensed (the font's horizontal stretch, down to kMinFitStretch) rather than cut off. The
    // substitute faces are wider than the ones the templates were drawn for.
    void SetFitText(bool on);
    // The width the text may take without being cut off.
    int TextRoom() const;
    static constexpr int kMinFitStretch = 60;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Fit();
    std::optional<QColor> textBackground_;
    bool fitText_ = false;
    bool fitting_ = false;
    QFont baseFont_;        // the font given to the field; Fit condenses a copy
    QPalette panelPalette_; // with a text background: the palette whose Base colour paints the panel
    int limit_ = 30000;     // the edit's default on Windows
    bool digitsOnly_ = false;
    QString accepted_;
    bool settingText_ = false;
};

// A static text control: plain text as the template and SetWindowText give it, optionally with a
// background colour behind its characters.
class TemplateStatic : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    void SetPlainText(const QString& text);
    QString PlainText() const { return plain_; }
    void SetTextBackground(std::optional<QColor> color);
    std::optional<QColor> TextBackground() const { return textBackground_; }
    // Distance between wrapped lines: the font's em height, the line height of the Chinese Windows
    // faces; the substitute faces carry more leading and would push the second line of a two-line
    // static out of its rectangle.
    int LineStep() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Render();
    QString plain_;
    std::optional<QColor> textBackground_;
};

class TemplateDialog : public QDialog {
    Q_OBJECT
public:
    // Builds the controls of template `templateId` (res/templates). `parent` is the owner window.
    explicit TemplateDialog(int templateId, QWidget* parent = nullptr);
    ~TemplateDialog() override;

    int TemplateId() const { return tmpl_->id; }
    const dlg::DialogTemplate& Template() const { return *tmpl_; }
    dlg::BaseUnits BaseUnits() const { return units_; }
    // A rectangle in dialog units as pixels of the client area.
    QRect MapDialogRect(int x, int y, int cx, int cy) const;

    // The parent of the controls, below the menu bar when there is one.
    QWidget* ClientArea() const { return client_; }
    // The control with this id, or nullptr.
    QWidget* GetDlgItem(int id) const;
    template <class T> T* Item(int id) const { return qobject_cast<T*>(GetDlgItem(id)); }
    std::string GetDlgItemText(int id) const; // GBK
    void SetDlgItemText(int id, const std::string& gbk);
    // EM_LIMITTEXT.
    void LimitText(int id, int maxChars);
    // WM_SETFONT with redraw.
    void SetItemFont(int id, const QFont& font);

    // Runs the dialog modally and returns the code EndDialog was given.
    int DoModal();
    // Ends the dialog (modal: DoModal returns `result`; modeless: hides it).
    void EndDialog(int result);
    bool IsEnded() const { return ended_; }
    // Modeless creation: OnInitDialog, then shown. Returns false when OnInitDialog ended the dialog.
    bool CreateModeless();
    void DestroyWindow();

    // Sends the command of control or menu item `id`, as a click on it would.
    void SendCommand(int id);
    // Data exchange: true moves control texts into members, false members into controls.
    bool UpdateData(bool saveAndValidate = true);
    // Re-asks OnCtlColor for every control (after texts or state changed that it depends on).
    void ApplyControlColors();

    using ModalHook = std::function<void(TemplateDialog&)>;
    // Installs the process-wide modal hook (see the top of this file); returns the previous one.
    static ModalHook SetModalHook(ModalHook hook);

protected:
    // Base: data exchange towards the controls; returns true so the first tab stop gets the focus.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(bool saveAndValidate);
    // Base: data exchange back, then EndDialog(1).
    virtual void OnOK();
    // Base: EndDialog(2).
    virtual void OnCancel();
    // The message map: a handler entered with OnCommandId, else OnOK (1) / OnCancel (2). Returns false
    // for an id nobody handles.
    virtual bool OnCommand(int id);
    // Base: nothing changed.
    virtual CtlColor OnCtlColor(int id);

    // Enters a handler in the message map.
    void OnCommandId(int id, std::function<void()> handler);
    // DDX_Text for an edit or static.
    void DDX_Text(bool saveAndValidate, int id, std::string& value);
    // Puts a menu bar above the client area; the window grows by its height as on Windows.
    void SetMenuWidget(QWidget* menu);
    // Centres the window on its screen's work area (the template's centring style).
    void CenterWindow();

    void keyPressEvent(QKeyEvent* event) override;
    void reject() override; // close box, Esc from Qt itself
    void accept() override;

private:
    void Build();
    void FocusFirstTabStop();

    const dlg::DialogTemplate* tmpl_;
    dlg::BaseUnits units_{};
    QWidget* client_ = nullptr;
    QWidget* menu_ = nullptr;
    std::map<int, QWidget*> items_;
    std::map<int, std::function<void()>> handlers_;
    bool ended_ = false;
    int result_ = 0;
};

} // namespace rv::qt
