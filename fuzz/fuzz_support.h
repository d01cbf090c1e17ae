// Shared pieces of the fuzz targets: a private working folder, a view that only counts, and a check that
// aborts with a readable reason so libFuzzer keeps the input that broke an invariant.
#pragma once

#include "platform/message_box.h"
#include "renewal/main_window_model.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace rv::fuzz {

// Aborts (a finding) when `ok` is false.
void Check(bool ok, const char* what);
#define RV_FUZZ_CHECK(cond) ::rv::fuzz::Check((cond), #cond " at " __FILE__)

// Creates a fresh folder once per process, makes it the working directory and points the drive root
// ($RENVORA_DRIVE_C) and the registry root into it. Returns it.
const std::filesystem::path& WorkDir();

// Writes `bytes` to `file` (creating its folder), replacing it.
void WriteFile(const std::filesystem::path& file, const std::string& bytes);

inline std::string Bytes(const uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A message box that answers like a user pressing Enter and keeps only a count, so memory stays flat
// over millions of runs.
class CountingMessageBox : public IMessageBox {
public:
    int Show(const std::string& text, MbKind kind) override;
    std::size_t shown = 0;
    std::size_t emptyTexts = 0;
};

// Installs a CountingMessageBox for the whole process and returns it (reset the counts per run).
CountingMessageBox& Boxes();

class NullView : public MainWindowView {
public:
    void EnableRenewalButton(bool enable) override { enabled = enable; }
    bool IsRenewalButtonEnabled() const override { return enabled; }
    void ShowCardData() override {}
    void ApplyDateFont() override { ++dateFont; }
    int RunLoginDialog() override { return 2; }
    void ShowNotice(int) override {}
    void CloseNotice() override {}
    void RunSuccessDialog() override {}
    bool enabled = false;
    int dateFont = 0;
};

} // namespace rv::fuzz
