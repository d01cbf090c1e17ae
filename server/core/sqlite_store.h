// The store over one SQLite database in the data folder (`store.db`, WAL, synchronous FULL). The
// database itself holds the rules of a set's life: at most one confirmed set per card, every pending set
// issued from the card's confirmed certificate, a set confirmed only once its siblings are superseded,
// states that only move forward, unique serials; single use of randoms and operation numbers by their
// keys; and the counts of failed verifications.
//
// Writes go through one queue: concurrent writers share one transaction and one sync (group commit), and
// every call returns only once its change is durable (or committed, where a method says so). Reads go to
// the database every time, so cards enrolled or replaced by another process count at once. Texts are
// UTF-8. Safe to use from several threads.
#pragma once

#include "core/store.h"

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>

struct sqlite3;

namespace rv::server {

class SqliteStore : public Store {
public:
    SqliteStore() = default;
    ~SqliteStore() override;

    // Opens the store in `dir`, creating the folder (0700) and the database (0600) when neither it nor a
    // certificate authority is there. A folder with a CA but without its store (missing, empty, not a
    // database, damaged: `PRAGMA quick_check` runs first) is refused with the reason: starting empty would
    // tell every enrolled holder that the card is unknown. A data folder of the earlier format (cards/*.json
    // and issues.jsonl) is migrated on first open; the old files are kept, renamed with the suffix
    // ".migrated", and tightened to the owner alone (folders 0700, files 0600), like the data folder of a
    // migrated store.
    bool Open(const std::filesystem::path& dir, std::string& error);
    // Opens an existing store for reading only; false with a reason when `dir` holds none.
    bool OpenReadOnly(const std::filesystem::path& dir, std::string& error);

    const std::string& RandomKey() const override { return randomKey_; }
    bool PutCard(const CardRecord& card, bool replace, std::string& error) override;
    using Store::FindCard;
    Found FindCard(const std::string& certSeqNo, CardState& out, std::string& error) override;
    bool SourceFreeAt(const std::string& source, std::time_t now, const VerifyLimits& limits,
                      std::time_t& until, std::string& error) override;
    VerifyOutcome RecordVerification(const VerifyAttempt& attempt, const VerifyLimits& limits,
                                     std::time_t now, std::time_t& until, std::string& error) override;
    TakeOutcome TakeVerification(const std::string& opSeqNo, const std::string& random, std::time_t now,
                                 Verification& out, std::string& error) override;
    std::size_t VerificationCount() override;
    CommitOutcome CommitRenewal(const IssueRecord& issue, std::int64_t generation, const std::string& signer,
                                const RenewLimits& limits, std::time_t now, CommitInfo& info,
                                std::string& error) override;
    int WithdrawPending(const std::string& certSeqNo, std::time_t now, std::string& error) override;
    using Store::Issues;
    bool Issues(std::vector<IssueRecord>& out, std::string& error) override;
    std::size_t CardCount() override;
    std::size_t IssueCount() override;

    std::filesystem::path DatabasePath() const { return dir_ / "store.db"; }

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
    bool Upgrade(int version, std::string& error);
    bool CheckFolder(std::string& error);
    void TightenMigrated();
    std::int64_t Count(const char* sql);
    // Expired randoms and verifications, and failures past the window, go now and then.
    bool Prune(sqlite3* db, std::time_t now, const VerifyLimits& limits, std::string& error);

    std::filesystem::path dir_;
    std::string randomKey_;
    sqlite3* writeDb_ = nullptr;
    std::mutex readMu_;
    sqlite3* readDb_ = nullptr;
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
    int writesSincePrune_ = 0; // with the writer
};

} // namespace rv::server
