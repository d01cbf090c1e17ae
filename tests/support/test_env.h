// Test scaffolding: a private working folder with its own drive root and registry root, a view double
// for the main window, and helpers to compare GBK texts in readable UTF-8.
#pragma once

#include "platform/client_strings.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/message_box.h"
#include "renewal/main_window_model.h"

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rv::test {

// Creates a fresh temporary folder, makes it the working directory, and points the drive root
// ($RENVORA_DRIVE_C), the registry root ($RENVORA_CLASSES_ROOT) and the user's data folder
// ($RENVORA_DATA_DIR) into it. Restores all on destruction.
class TempWorkDir {
public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }
    std::filesystem::path driveC() const { return dir_ / "drive_c"; }
    std::filesystem::path classesRoot() const { return dir_ / "classes"; }
    std::filesystem::path dataDir() const { return dir_ / "data"; }

    // Writes a file relative to the folder (bytes as given) and returns its path.
    std::filesystem::path Write(const std::string& relative, const std::string& bytes) const;
    std::string Read(const std::string& relative) const;

private:
    std::filesystem::path dir_;
    std::filesystem::path oldCwd_;
    // Environment variables pointed into the folder, with the values they had before.
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// GBK <-> UTF-8 shorthands for readable assertions: U("网络") is the GBK text of a UTF-8 literal
// written with u8"" in tests.
inline std::string Gbk(const char8_t* utf8) {
    return cp::Utf8ToGbk(reinterpret_cast<const char*>(utf8));
}
inline std::string Utf8(const std::string& gbk) {
    return cp::GbkToUtf8(gbk);
}

// Records what the core asks of the main window.
class FakeView : public MainWindowView {
public:
    void EnableRenewalButton(bool enable) override { renewalEnabled = enable; }
    bool IsRenewalButtonEnabled() const override { return renewalEnabled; }
    void ShowCardData() override { ++showCardDataCalls; }
    void ApplyDateFont() override { ++dateFontCalls; }
    int RunLoginDialog() override;
    void ShowNotice(int picture) override {
        notices.push_back(picture);
        noticeOpen = true;
    }
    void CloseNotice() override { noticeOpen = false; }
    void RunSuccessDialog() override { ++successDialogs; }

    bool renewalEnabled = false;
    int showCardDataCalls = 0;
    int dateFontCalls = 0;
    int successDialogs = 0;
    bool noticeOpen = false;
    std::vector<int> notices;
    // Results the login dialog returns, in order; an exhausted list returns 130 (cancelled).
    std::vector<int> loginResults;
    std::size_t loginRuns = 0;
    // Runs inside RunLoginDialog before it returns (tests act as the user there).
    std::function<int()> loginDialog;
};

// Installs a scripted message box, a fixed clock and fresh client strings for one test.
class CoreFixture {
public:
    CoreFixture();
    ~CoreFixture();
    ScriptedMessageBox boxes;

private:
    MessageBoxGuard guard_;
};

// A shell command's exit code (-1 when it did not exit normally) and standard output.
struct CommandRun {
    int exitCode = -1;
    std::string output;
};
CommandRun RunCommand(const std::string& command);

// A shell command's standard output, its standard error discarded; a failing command fails the test.
std::string Shell(const std::string& command);

} // namespace rv::test
