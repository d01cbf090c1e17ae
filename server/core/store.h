// The server's store, one SQLite database in the data folder (`store.db`, WAL, synchronous FULL):
// enrolled cards, every issued set with its state, and the randoms verifications have used.
//
// An issued set is *pending* from its commit until the card shows that it holds it. A renewal request
// signed by its key confirms it for good, and the card's earlier confirmed set is *superseded*. A
// verification with its end date confirms it only *provisionally*: that verification carries no
// signature, so the certificate it replaced (its *predecessor*: the earlier confirmed set, or the enrolled
// certificate) stays acceptable until the new key signs a request. If the card signs with the predecessor
// instead, the provisional confirmation was wrong (forged, or the card lost the set again): the set is
// superseded and the predecessor is confirmed again. A renewal signed by the card's confirmed key while a
// set is pending supersedes the pending one (its answer was lost: the card never installed it). A card has
// at most one confirmed and at most one pending set at any time; the database enforces it.
//
// Writes go through one queue: concurrent writers share one transaction and one sync (group commit), and
// every call returns only once its change is durable. Reads go to the database every time, so cards
// enrolled or replaced by another process count at once. Texts are UTF-8. Safe to use from several
// threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace rv::server {

struct CardRecord {
    std::string certSeqNo; // user certificate number: the card's key in the store
    std::string legalPerson;
    std::string idType;
    std::string idNumber;
    std::string icCode; // card number
    std::string entName;
    std::string unitType;
    std::string raCode;
    std::string cryptAlgo;
    std::string managePassword;
    std::string certPem;    // the certificate the card was enrolled with
    std::string enrolledAt; // YYYYMMDDhhmmss UTC
};

enum class SetState { Pending, Confirmed, Superseded };
const char* SetStateName(SetState state);

struct IssueRecord {
    std::int64_t id = 0;   // order of issue
    std::string serial;    // new signing certificate, upper-case hex
    std::string envSerial; // new encryption certificate
    std::string certSeqNo;
    std::string icCode;
    std::string opSeqNo;
    std::string issuedAt; // YYYYMMDDhhmmss UTC
    std::string notBefore;
    std::string notAfter;
    std::string certPem; // the new signing certificate
    SetState state = SetState::Pending;
    std::string stateAt; // when it reached its state, YYYYMMDDhhmmss UTC
    std::string reason;  // why it was superseded
    // Confirmed by a verification only; `predecessor` (a serial, "" for the enrolled certificate) is then
    // the certificate that stays acceptable until this set's key signs a request.
    bool provisional = false;
    std::string predecessor;
};

// Which of the card's certificates signed a renewal request.
enum class SignedWith { PendingSet, ConfirmedSet, Predecessor };

// A card as renewals see it.
struct CardState {
    CardRecord card;
    std::int64_t generation = 0; // changes with every enrolment of this number
    // The certificate the card is known to hold: its latest confirmed set, else the enrolled one.
    std::string confirmedPem;
    std::optional<IssueRecord> confirmed;
    std::optional<IssueRecord> pending;
    // While `confirmed` is provisional: the certificate it replaced, still acceptable ("" otherwise).
    std::string predecessorPem;
};

class Store {
public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens the store in `dir`, creating the folder (0700) and the database (0600) when needed. A data
    // folder of the earlier format (cards/*.json and issues.jsonl) is migrated on first open; the old
    // files are kept, renamed with the suffix ".migrated".
    // The old files are tightened to the owner alone (folders 0700, files 0600), and so is the data
    // folder of a migrated store.
    bool Open(const std::filesystem::path& dir, std::string& error);
    // Opens an existing store for reading only; false with a reason when `dir` holds none.
    bool OpenReadOnly(const std::filesystem::path& dir, std::string& error);

    // Adds a card, or replaces it when `replace` (the sets issued to its earlier enrolment are
    // superseded). Durable before it returns.
    bool PutCard(const CardRecord& card, bool replace, std::string& error);
    std::optional<CardState> FindCard(const std::string& certSeqNo);

    // Marks `random` used until `expires`. 1: it was fresh; 0: it had been used; -1: store failure. The
    // record is committed without its own sync: the service refuses randoms issued before it started, so
    // a record lost with the machine cannot make a random usable twice.
    int UseRandom(const std::string& random, std::time_t expires, std::time_t now, std::string& error);

    // A verification named the end date of the pending set `serial`: confirm it provisionally; the
    // card's confirmed set (or enrolled certificate) becomes its predecessor, still acceptable.
    bool ConfirmPending(const std::string& certSeqNo, const std::string& serial, std::time_t now,
                        std::string& error);

    // Records `issue` as the card's pending set, after settling what the request's signature showed:
    // signed with the pending set, that set is confirmed for good; with the confirmed set, a provisional
    // confirmation becomes final and a pending set is superseded as never installed; with the predecessor,
    // the provisionally confirmed set is superseded and the predecessor confirmed again. Fails when the
    // card's state changed since `generation` was read.
    bool CommitRenewal(const IssueRecord& issue, std::int64_t generation, SignedWith signedWith,
                       std::time_t now, std::string& error);

    // Held by whoever checks and changes one card's sets, so two of them cannot interleave.
    std::shared_ptr<std::mutex> CardLock(const std::string& certSeqNo);

    // The key that signs the server's randoms, made once with the database.
    const std::string& RandomKey() const { return randomKey_; }

    std::vector<IssueRecord> Issues();
    std::size_t CardCount();
    std::size_t IssueCount();
    std::filesystem::path DatabasePath() const { return dir_ / "store.db"; }

    static bool ValidCertSeqNo(const std::string& certSeqNo);

    using Op = std::function<bool(sqlite3* db, std::string& error)>;
    // Runs `op` inside the next group transaction, in a savepoint of its own; true once that transaction
    // is committed, and on disk unless `durable` is false (then it is on disk with the next durable
    // commit, and a crash of the process loses nothing: WAL frames are in the file; only a crash of the
    // machine can). An `op` that fails or throws is rolled back alone; one after which SQLite ended the
    // transaction by itself (disk full, I/O error) fails its whole batch. Every caller returns.
    bool Write(const Op& op, std::string& error, bool durable = true);

private:
    struct Pending;
    // Runs one batch in one transaction; sets every entry's result. Never throws.
    void Flush(const std::vector<Pending*>& batch) noexcept;
    bool Migrate(sqlite3* db, std::string& error);
    void TightenMigrated();
    std::int64_t Count(const char* sql);

    std::filesystem::path dir_;
    std::string randomKey_;
    sqlite3* writeDb_ = nullptr;
    std::mutex readMu_;
    sqlite3* readDb_ = nullptr;
    std::mutex locksMu_;
    std::map<std::string, std::weak_ptr<std::mutex>> locks_;
    // Group commit: writers queue their operations; one of them at a time runs all queued in one
    // transaction.
    struct Pending {
        const Op* op;
        bool durable = true;
        bool done = false;
        bool ok = false;
        std::string error;
    };
    std::mutex queueMu_;
    std::condition_variable queueCv_;
    std::vector<Pending*> queue_;
    bool flushing_ = false;
    int randomsSincePrune_ = 0; // with the writer
};

} // namespace rv::server
