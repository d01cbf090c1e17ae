// What the client remembers of each card between runs, so that the renewal reminder can work without the
// card: its certificate's end date and the MaxDay in force when it was last seen. One small JSON file in
// the user's data folder, replaced atomically; nothing secret in it (no PIN, no key, no holder's name).
// It also names the time.ini the login read, so that a check run from elsewhere (a timer, without the
// login's drive root) reads the same file.
#pragma once

#include "card/card_data.h"

#include <cjson/cJSON.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace rv {

struct RememberedCard {
    std::string cardNumber; // GBK, as the card gives it
    std::string certSeqNo;  // GBK
    std::string endDate;    // YYYYMMDD
    int32_t maxDay = 0;     // MaxDay of time.ini when the card was last seen
    std::string seen;       // YYYYMMDD of the login or renewal that recorded it
    std::string notified;   // YYYYMMDD of the last reminder posted for it; "" for none
    std::string timeIni;    // the time.ini that login read MaxDay from (absolute path); "" when unknown
};

inline constexpr const char* kRememberedCardsFile = "cards.json";
inline constexpr int kRememberedCardsVersion = 1;

// The user's data folder of the client: $RENVORA_DATA_DIR, else the user's own folder of a menu launch
// ($XDG_DATA_HOME/renvora, else ~/.local/share/renvora).
std::filesystem::path UserDataDir();

// How long a check waits for the record's lock; a login waits far less (RememberCard).
inline constexpr std::chrono::milliseconds kRecordLockWait{5000};
inline constexpr std::chrono::milliseconds kLoginLockWait{200};

// Years a clock may read; outside them it is broken, not early or late (no date text holds them).
inline constexpr int kFirstSaneYear = 2000;
inline constexpr int kLastSaneYear = 9999;

// The file under an exclusive lock (cards.lock beside it): a login that records a card and a check that posts
// reminders never interleave their read-modify-write.
class RememberedCards {
public:
    enum class Load {
        Read,     // the file was read (or there was none: no cards)
        SetAside, // it was unreadable and now bears the name setAsidePath(); no cards
        Newer,    // it was written by a newer version: left as it is, and Save refuses to replace it
        Failed,   // no lock, or the file could not be read: nothing to work on
    };

    explicit RememberedCards(std::filesystem::path dir);
    ~RememberedCards();
    RememberedCards(const RememberedCards&) = delete;
    RememberedCards& operator=(const RememberedCards&) = delete;

    // Takes the lock (waiting at most `lockWait` for another run) and reads the file. `today`
    // (YYYYMMDD) names a damaged file that is set aside. `message` says what happened for every result but
    // a plain Read.
    Load Open(const std::string& today, std::string& message,
              std::chrono::milliseconds lockWait = kRecordLockWait);

    // Judges and reads the text of a record file without touching the disk: Read, Newer, or SetAside
    // for a text that is unreadable (`why` says how; the record is then empty). Open's second half.
    Load Parse(const std::string& text, std::string& why);
    // The text Save writes ("" when nothing was read).
    std::string Text() const;

    // The readable entries, in file order. Entries that cannot be read are described in `problems` and
    // stay in the file untouched.
    std::vector<RememberedCard> Cards(std::vector<std::string>* problems = nullptr) const;
    // Replaces the entry of the same card (same card number; for a card without one, same certificate
    // number) or adds one. The reminder date stays only while the end date stays the same.
    void Put(const RememberedCard& card);
    void MarkNotified(const RememberedCard& card, const std::string& date);
    // Writes the entry's `seen` and `notified` dates as `card` holds them (an empty one is dropped).
    void SetDates(const RememberedCard& card);
    // Drops every readable entry of this card number (or, for entries without one, certificate number);
    // returns how many.
    int Forget(const std::string& number);
    bool Save(std::string& error);

    std::filesystem::path File() const { return dir_ / kRememberedCardsFile; }
    const std::filesystem::path& SetAsidePath() const { return setAside_; }

private:
    struct JsonDeleter {
        void operator()(cJSON* j) const { cJSON_Delete(j); }
    };
    cJSON* Find(const RememberedCard& card) const;

    std::filesystem::path dir_;
    std::filesystem::path setAside_;
    std::unique_ptr<cJSON, JsonDeleter> root_;
    int lockFd_ = -1;
    bool newer_ = false;
};

// After a successful login, and after a successful renewal with the end date read back from the card:
// remembers the card's end date and the MaxDay in force. Never shows anything and never changes the
// caller's outcome; a failure is one line on stderr. A login waits little for the record's lock; a
// renewal waits as long as a check would, since a lost new end date would keep reminding of a renewed card.
void RememberCard(const CardData& data, std::chrono::milliseconds lockWait = kLoginLockWait);

} // namespace rv
