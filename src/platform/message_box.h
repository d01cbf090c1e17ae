// The one way the core talks to the user: modal message boxes, as the Windows client shows them.
// Notices have an OK button and the application's title; questions have Yes/No, no owner window and
// the caption "提示信息". Results keep the Windows values so callers compare them the same way.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace rv {

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

enum class MbKind { Ok, YesNo };

// The caption of every box: the application's title string 57344.
extern const char* const kAppTitle;

class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    // `text` is GBK. Returns IDOK for a notice, IDYES or IDNO for a question.
    virtual int Show(const std::string& text, MbKind kind) = 0;
};

// The process-wide message box service (the framework's AfxMessageBox). The application installs the
// Qt implementation; tests install a ScriptedMessageBox. With none installed, boxes are answered like a
// user pressing Enter (OK / Yes) and written to stderr, so nothing ever blocks without a display.
IMessageBox& MessageBoxes();
// Installs `box` (not owned) and returns the previous one; nullptr restores the default.
IMessageBox* InstallMessageBox(IMessageBox* box);

// Shortcuts used throughout the core.
int ShowNotice(const std::string& text); // OK box
int AskYesNo(const std::string& text);   // Yes/No box, returns IDYES or IDNO

// A message box that records every text and answers questions from a script. Used by tests and by the
// unattended demo run. An exhausted script answers `defaultAnswer` (IDYES unless changed); `onShow`, when
// set, sees every box as it appears (the demo prints them).
class ScriptedMessageBox : public IMessageBox {
public:
    struct Entry {
        std::string text; // GBK
        MbKind kind;
        int answer;
    };
    int Show(const std::string& text, MbKind kind) override;

    void QueueAnswers(const std::vector<int>& answers);
    void SetDefaultAnswer(int answer) { defaultAnswer_ = answer; }
    // Texts in order, converted to UTF-8 for readable test failures.
    std::vector<std::string> TextsUtf8() const;
    const std::vector<Entry>& Entries() const { return entries_; }
    void Clear() { entries_.clear(); }

    std::function<void(const Entry&)> onShow;
    // Called before a box is answered; may run nested work (the GUI tests use it to act inside modal loops).
    std::function<void(const std::string& text, MbKind kind)> beforeAnswer;

private:
    std::vector<Entry> entries_;
    std::vector<int> answers_;
    std::size_t next_ = 0;
    int defaultAnswer_ = IDYES;
};

// Installs a box for the lifetime of the guard (tests).
class MessageBoxGuard {
public:
    explicit MessageBoxGuard(IMessageBox& box) : prev_(InstallMessageBox(&box)) {}
    ~MessageBoxGuard() { InstallMessageBox(prev_); }
    MessageBoxGuard(const MessageBoxGuard&) = delete;
    MessageBoxGuard& operator=(const MessageBoxGuard&) = delete;

private:
    IMessageBox* prev_;
};

} // namespace rv
