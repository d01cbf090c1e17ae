// A private SoftHSM2 for token tests: its own configuration and token folder inside a test's folder,
// with SOFTHSM2_CONF pointing there while the object lives. Never the system's token folder.
#pragma once

#include <filesystem>
#include <string>

namespace rv::test {

class SoftHsm {
public:
    explicit SoftHsm(const std::filesystem::path& folder);
    ~SoftHsm();
    SoftHsm(const SoftHsm&) = delete;
    SoftHsm& operator=(const SoftHsm&) = delete;

    // The SoftHSM2 PKCS#11 library.
    static std::string ModulePath();
    static constexpr const char* kSoPin = "87654321";

    // A new token with `label` and user PIN `pin` (softhsm2-util); false when it cannot be made.
    bool InitToken(const std::string& label, const std::string& pin);
    const std::filesystem::path& tokens() const { return tokens_; }
    const std::filesystem::path& config() const { return config_; }
    // Every file of the token folder, names and bytes: equal snapshots mean nothing was written. Without
    // `tokenState`, the token's own file (label, PIN try flags, which every login touches) is left out.
    std::string Snapshot(bool tokenState = true) const;
    // Takes every token out of the reader (moves the token folders away), and puts them back.
    void Eject();
    void Insert();

private:
    std::filesystem::path tokens_, config_, ejected_;
    std::string oldConf_;
    bool hadConf_ = false;
};

} // namespace rv::test
