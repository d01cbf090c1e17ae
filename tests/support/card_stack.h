// A smart card on a real reader stack, for the stack tests: pcscd with vsmartcard's vpcd reader driver in a
// network and mount namespace of the test's own (vpcd listens on every address; pcscd's socket folder is
// private), the emulated MyEID card (tests/cardstack/cardsim) connected to it, and OpenSC's PKCS#11 module
// reaching pcscd through PCSCLITE_CSOCK_NAME. Needs root (namespaces); SkipReason() says why it cannot run.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace rv::test {

class CardStack {
public:
    static constexpr const char* kPin = "123456";
    static constexpr const char* kSoPin = "87654321";
    // The token label OpenSC gives the personalised card (the card's label and its PIN's).
    static constexpr const char* kTokenLabel = "renvora card (User PIN)";
    static std::string OpenScModule();
    // "" when the stack can run here; otherwise why not (not root, a program missing).
    static std::string SkipReason();

    explicit CardStack(const std::filesystem::path& folder);
    ~CardStack();
    CardStack(const CardStack&) = delete;
    CardStack& operator=(const CardStack&) = delete;

    // The reader: pcscd in its namespaces. False when it does not come up within a minute.
    bool StartReader();
    // Stops pcscd (the reader goes away).
    void StopReader();
    // The card in the reader, with renvora-cardsim's extra arguments; waits until OpenSC sees a token.
    bool InsertCard(const std::vector<std::string>& extra = {});
    // The card pulled out: the emulator killed.
    void PullCard();
    // A blank card made a PKCS#15 card with pkcs15-init (user PIN kPin, tries 3) and finalised.
    bool Personalise(std::string& log);

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path stateFile() const { return folder_ / "card.state"; }
    std::filesystem::path statusFile() const { return folder_ / "card.status"; }
    std::filesystem::path countFile() const { return folder_ / "card.count"; }
    std::filesystem::path armFile() const { return folder_ / "card.arm"; }
    // Waits (bounded) until the card says it froze at a write.
    bool WaitFrozen(int seconds);
    // Whether OpenSC sees a token in a reader now.
    bool TokenVisible() const;

private:
    std::filesystem::path folder_;
    pid_t reader_ = -1, card_ = -1;
};

} // namespace rv::test
