#include "core/store.h"

#include "core/crypto.h"
#include "core/files.h"
#include "core/json.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace rv::server {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxCertSeqNo = 64;
// 1: the first database; 2: provisional confirmations (issues.provisional, issues.predecessor).
constexpr int kSchemaVersion = 2;

// Texts an operator reads in `renvora-server issues` and in the database.
constexpr const char* kReasonReplaced = "replaced by the confirmed set ";
constexpr const char* kReasonNeverInstalled =
    "never installed: the card renewed again with its previous certificate";
constexpr const char* kReasonReEnrolled = "the card was enrolled again";
constexpr const char* kReasonUndone =
    "confirmed only by a verification; the card renewed with its previous certificate";

std::string ProvisionallyReplaced(const std::string& serial) {
    return "replaced by the set " + serial +
           ", so far confirmed by a verification only: still accepted until that set's key signs a request";
}

const char* const kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value BLOB NOT NULL);
CREATE TABLE cards(
  cert_seq_no TEXT PRIMARY KEY,
  legal_person TEXT NOT NULL, id_type TEXT NOT NULL, id_number TEXT NOT NULL, ic_code TEXT NOT NULL,
  ent_name TEXT NOT NULL, unit_type TEXT NOT NULL, ra_code TEXT NOT NULL, crypt_algo TEXT NOT NULL,
  manage_password TEXT NOT NULL, cert_pem TEXT NOT NULL, enrolled_at TEXT NOT NULL,
  generation INTEGER NOT NULL);
CREATE TABLE issues(
  id INTEGER PRIMARY KEY,
  serial TEXT NOT NULL, env_serial TEXT NOT NULL, cert_seq_no TEXT NOT NULL, ic_code TEXT NOT NULL,
  op_seq_no TEXT NOT NULL, issued_at TEXT NOT NULL, not_before TEXT NOT NULL, not_after TEXT NOT NULL,
  cert_pem TEXT NOT NULL,
  state TEXT NOT NULL CHECK(state IN ('pending', 'confirmed', 'superseded')),
  state_at TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '',
  provisional INTEGER NOT NULL DEFAULT 0, predecessor TEXT NOT NULL DEFAULT '');
CREATE INDEX issues_by_card ON issues(cert_seq_no, state);
CREATE UNIQUE INDEX one_pending_set ON issues(cert_seq_no) WHERE state = 'pending';
CREATE UNIQUE INDEX one_confirmed_set ON issues(cert_seq_no) WHERE state = 'confirmed';
CREATE TABLE used_randoms(random TEXT PRIMARY KEY, expires INTEGER NOT NULL) WITHOUT ROWID;
)sql";

std::string DbError(sqlite3* db, const char* what) {
    return std::string(what) + ": " + sqlite3_errmsg(db);
}

bool Exec(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        error = std::string("database: ") + (message ? message : sqlite3_errmsg(db));
        sqlite3_free(message);
        return false;
    }
    return true;
}

// Statements are prepared once per connection and kept (parsing costs more than running them). A
// connection is used by one thread at a time (the reader under its mutex, the writer by the flusher).
std::mutex gStatementsMu;
std::map<sqlite3*, std::map<std::string, sqlite3_stmt*, std::less<>>> gStatements;

sqlite3_stmt* Prepared(sqlite3* db, const char* sql) {
    {
        std::lock_guard lock(gStatementsMu);
        auto& cache = gStatements[db];
        auto it = cache.find(std::string_view(sql));
        if (it != cache.end()) {
            return it->second;
        }
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    std::lock_guard lock(gStatementsMu);
    gStatements[db][sql] = stmt;
    return stmt;
}

void ForgetStatements(sqlite3* db) {
    std::lock_guard lock(gStatementsMu);
    for (auto& [sql, stmt] : gStatements[db]) {
        sqlite3_finalize(stmt);
    }
    gStatements.erase(db);
}

// One use of a prepared statement, reset for the next use when it goes out of scope.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db), stmt_(Prepared(db, sql)) {}
    ~Stmt() {
        if (stmt_ != nullptr) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool Ok() const { return stmt_ != nullptr; }
    Stmt& Bind(const std::string& text) {
        sqlite3_bind_text(stmt_, ++arg_, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Bind(std::int64_t v) {
        sqlite3_bind_int64(stmt_, ++arg_, v);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    bool Run(std::string& error, const char* what) {
        if (Step() != SQLITE_DONE) {
            error = DbError(db_, what);
            return false;
        }
        return true;
    }
    std::string Text(int col) const {
        const unsigned char* p = sqlite3_column_text(stmt_, col);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    std::string Blob(int col) const {
        const void* p = sqlite3_column_blob(stmt_, col);
        return p ? std::string(static_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    std::int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    int arg_ = 0;
};

// A statement without results, through the cache.
bool Run(sqlite3* db, const char* sql, std::string& error) {
    Stmt s(db, sql);
    if (!s.Ok()) {
        error = DbError(db, "database");
        return false;
    }
    return s.Run(error, "database");
}

const char* const kIssueColumns = "id, serial, env_serial, cert_seq_no, ic_code, op_seq_no, issued_at, "
                                  "not_before, not_after, cert_pem, state, state_at, reason, provisional, "
                                  "predecessor";

SetState StateFromName(const std::string& name) {
    return name == "pending"     ? SetState::Pending
           : name == "confirmed" ? SetState::Confirmed
                                 : SetState::Superseded;
}

IssueRecord ReadIssue(const Stmt& s) {
    IssueRecord i;
    i.id = s.Int(0);
    i.serial = s.Text(1);
    i.envSerial = s.Text(2);
    i.certSeqNo = s.Text(3);
    i.icCode = s.Text(4);
    i.opSeqNo = s.Text(5);
    i.issuedAt = s.Text(6);
    i.notBefore = s.Text(7);
    i.notAfter = s.Text(8);
    i.certPem = s.Text(9);
    i.state = StateFromName(s.Text(10));
    i.stateAt = s.Text(11);
    i.reason = s.Text(12);
    i.provisional = s.Int(13) != 0;
    i.predecessor = s.Text(14);
    return i;
}

bool InsertIssue(sqlite3* db, const IssueRecord& i, std::string& error) {
    Stmt s(db,
           "INSERT INTO issues(serial, env_serial, cert_seq_no, ic_code, op_seq_no, issued_at, not_before, "
           "not_after, cert_pem, state, state_at, reason) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
    s.Bind(i.serial).Bind(i.envSerial).Bind(i.certSeqNo).Bind(i.icCode).Bind(i.opSeqNo).Bind(i.issuedAt);
    s.Bind(i.notBefore).Bind(i.notAfter).Bind(i.certPem).Bind(std::string(SetStateName(i.state)));
    s.Bind(i.stateAt).Bind(i.reason);
    return s.Run(error, "cannot record the issue");
}

bool InsertCard(sqlite3* db, const CardRecord& c, std::int64_t generation, std::string& error) {
    Stmt s(db,
           "INSERT OR REPLACE INTO cards(cert_seq_no, legal_person, id_type, id_number, ic_code, ent_name, "
           "unit_type, ra_code, crypt_algo, manage_password, cert_pem, enrolled_at, generation) "
           "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)");
    s.Bind(c.certSeqNo).Bind(c.legalPerson).Bind(c.idType).Bind(c.idNumber).Bind(c.icCode).Bind(c.entName);
    s.Bind(c.unitType).Bind(c.raCode).Bind(c.cryptAlgo).Bind(c.managePassword).Bind(c.certPem);
    s.Bind(c.enrolledAt).Bind(generation);
    return s.Run(error, "cannot record the card");
}

// The card's confirmed set, if it has one.
std::optional<IssueRecord> ConfirmedIn(sqlite3* db, const std::string& certSeqNo) {
    Stmt s(db, (std::string("SELECT ") + kIssueColumns +
                " FROM issues WHERE cert_seq_no = ? AND state = 'confirmed'")
                   .c_str());
    s.Bind(certSeqNo);
    if (s.Step() != SQLITE_ROW) {
        return std::nullopt;
    }
    return ReadIssue(s);
}

bool MoveSet(sqlite3* db, const std::string& certSeqNo, const std::string& serial, const char* state,
             const std::string& at, const std::string& reason, std::string& error) {
    Stmt s(db, "UPDATE issues SET state = ?, state_at = ?, reason = ?, provisional = 0, predecessor = '' "
               "WHERE cert_seq_no = ? AND serial = ?");
    s.Bind(std::string(state)).Bind(at).Bind(reason).Bind(certSeqNo).Bind(serial);
    return s.Run(error, "cannot change the state of a set");
}

// Confirms the pending set `serial`: for good (its key signed a request), or provisionally (a
// verification named its end date). The confirmed set before it is superseded; when that one was itself
// provisional, its predecessor is the one still proven and stays the acceptable one.
bool ConfirmIn(sqlite3* db, const std::string& certSeqNo, const std::string& serial, bool provisional,
               const std::string& at, std::string& error) {
    std::optional<IssueRecord> old = ConfirmedIn(db, certSeqNo);
    std::string predecessor;
    const std::string replaced = provisional ? ProvisionallyReplaced(serial) : kReasonReplaced + serial;
    if (old) {
        predecessor = old->provisional ? old->predecessor : old->serial;
        if (!MoveSet(db, certSeqNo, old->serial, "superseded", at,
                     old->provisional ? kReasonReplaced + serial : replaced, error)) {
            return false;
        }
        // A provisional set's predecessor now waits for `serial` instead.
        if (old->provisional && !predecessor.empty() &&
            !MoveSet(db, certSeqNo, predecessor, "superseded", at, replaced, error)) {
            return false;
        }
    }
    Stmt s(db, "UPDATE issues SET state = 'confirmed', state_at = ?, provisional = ?, predecessor = ? "
               "WHERE cert_seq_no = ? AND serial = ? AND state = 'pending'");
    s.Bind(at).Bind(std::int64_t{provisional ? 1 : 0}).Bind(provisional ? predecessor : std::string());
    s.Bind(certSeqNo).Bind(serial);
    if (!s.Run(error, "cannot confirm the pending set")) {
        return false;
    }
    if (sqlite3_changes(db) != 1) {
        error = "the pending set " + serial + " of card " + certSeqNo + " is no longer pending";
        return false;
    }
    return true;
}

// ---- The earlier format: one JSON file per card, a journal of issues ----

bool LegacyCard(const std::string& json, CardRecord& out, std::size_t& journalFrom) {
    JsonDoc doc(json);
    CardRecord c;
    bool ok = doc.GetString("certSeqNo", c.certSeqNo) && doc.GetString("legalPerson", c.legalPerson) &&
              doc.GetString("idType", c.idType) && doc.GetString("idNumber", c.idNumber) &&
              doc.GetString("icCode", c.icCode) && doc.GetString("entName", c.entName) &&
              doc.GetString("unitType", c.unitType) && doc.GetString("raCode", c.raCode) &&
              doc.GetString("cryptAlgo", c.cryptAlgo) && doc.GetString("managePassword", c.managePassword) &&
              doc.GetString("certPem", c.certPem) && doc.GetString("enrolledAt", c.enrolledAt) &&
              Store::ValidCertSeqNo(c.certSeqNo);
    std::string from;
    journalFrom = 0;
    if (ok && doc.GetString("journalFrom", from)) {
        char* end = nullptr;
        journalFrom = static_cast<std::size_t>(std::strtoull(from.c_str(), &end, 10));
        ok = !from.empty() && *end == '\0';
    }
    if (ok) {
        out = std::move(c);
    }
    return ok;
}

bool LegacyIssue(const std::string& json, IssueRecord& out) {
    JsonDoc doc(json);
    IssueRecord i;
    bool ok = doc.GetString("serial", i.serial) && doc.GetString("envSerial", i.envSerial) &&
              doc.GetString("certSeqNo", i.certSeqNo) && doc.GetString("icCode", i.icCode) &&
              doc.GetString("opSeqNo", i.opSeqNo) && doc.GetString("issuedAt", i.issuedAt) &&
              doc.GetString("notBefore", i.notBefore) && doc.GetString("notAfter", i.notAfter) &&
              doc.GetString("certPem", i.certPem);
    if (ok) {
        out = std::move(i);
    }
    return ok;
}

} // namespace

const char* SetStateName(SetState state) {
    switch (state) {
    case SetState::Pending:
        return "pending";
    case SetState::Confirmed:
        return "confirmed";
    default:
        return "superseded";
    }
}

Store::~Store() {
    for (sqlite3* db : {readDb_, writeDb_}) {
        if (db != nullptr) {
            ForgetStatements(db);
            sqlite3_close_v2(db);
        }
    }
}

bool Store::ValidCertSeqNo(const std::string& certSeqNo) {
    return !certSeqNo.empty() && certSeqNo.size() <= kMaxCertSeqNo;
}

bool Store::Open(const fs::path& dir, std::string& error) {
    dir_ = dir;
    if (!CreatePrivateFolder(dir_, error)) {
        return false;
    }
    fs::path file = DatabasePath();
    // Created here with mode 0600: SQLite gives its -wal and -shm files the mode of the database.
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    for (sqlite3** db : {&writeDb_, &readDb_}) {
        if (sqlite3_open_v2(file.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
            SQLITE_OK) {
            error = "cannot open " + file.string() + ": " + (*db ? sqlite3_errmsg(*db) : "out of memory");
            return false;
        }
        sqlite3_busy_timeout(*db, 10000);
    }
    // WAL: readers never wait for the writer; FULL: a commit is on the disk before it returns.
    if (!Exec(writeDb_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;", error) ||
        !Exec(readDb_, "PRAGMA synchronous=FULL;", error) || !Exec(writeDb_, "BEGIN IMMEDIATE", error)) {
        return false;
    }
    bool ok = true;
    {
        Stmt v(writeDb_, "PRAGMA user_version");
        int version = v.Step() == SQLITE_ROW ? static_cast<int>(v.Int(0)) : -1;
        if (version == 0) {
            ok = Exec(writeDb_, kSchema, error);
            std::string key = RandomHex(32);
            Stmt put(writeDb_, "INSERT INTO meta(key, value) VALUES('random_key', ?)");
            ok = ok && !key.empty() && put.Bind(key).Run(error, "cannot store the random key") &&
                 Migrate(writeDb_, error) &&
                 Exec(writeDb_, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), error);
        } else if (version == 1) {
            ok = Exec(writeDb_,
                      "ALTER TABLE issues ADD COLUMN provisional INTEGER NOT NULL DEFAULT 0; "
                      "ALTER TABLE issues ADD COLUMN predecessor TEXT NOT NULL DEFAULT '';",
                      error) &&
                 Exec(writeDb_, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), error);
        } else if (version != kSchemaVersion) {
            error = file.string() + " has schema version " + std::to_string(version) +
                    "; this server knows " + std::to_string(kSchemaVersion);
            ok = false;
        }
    }
    if (ok) {
        Stmt key(writeDb_, "SELECT value FROM meta WHERE key = 'random_key'");
        ok = key.Step() == SQLITE_ROW;
        randomKey_ = ok ? key.Text(0) : std::string();
        if (!ok) {
            error = file.string() + " has no random key";
        }
    }
    std::string ignored;
    if (!ok || !Exec(writeDb_, "COMMIT", error)) {
        Exec(writeDb_, "ROLLBACK", ignored);
        return false;
    }
    // Only after the commit: a crash before it leaves the old files where the next start finds them.
    bool migrated = false;
    for (const char* old : {"cards", "issues.jsonl"}) {
        std::error_code ec;
        if (fs::exists(dir_ / old, ec) && !fs::exists(dir_ / (std::string(old) + ".migrated"), ec)) {
            fs::rename(dir_ / old, dir_ / (std::string(old) + ".migrated"), ec);
        }
        migrated = migrated || fs::exists(dir_ / (std::string(old) + ".migrated"), ec);
    }
    if (migrated) {
        TightenMigrated();
    }
    return true;
}

// The earlier format made its folder 0755 and its card records (with the management passwords) 0644.
// The database now holds the same secrets 0600; the old files are kept for an operator who needs to go
// back, readable by the owner alone like the rest. Done on every start, so a folder migrated by an
// earlier version is mended too.
void Store::TightenMigrated() {
    std::error_code ec;
    const auto narrow = [&](const fs::path& p, fs::perms mode) {
        fs::file_status st = fs::symlink_status(p, ec);
        if (!ec && !fs::is_symlink(st) && (st.permissions() & ~mode) != fs::perms::none) {
            fs::permissions(p, st.permissions() & mode, fs::perm_options::replace, ec);
        }
    };
    constexpr fs::perms kFolder = fs::perms::owner_all;
    constexpr fs::perms kFile = fs::perms::owner_read | fs::perms::owner_write;
    narrow(dir_, kFolder);
    narrow(dir_ / "cards.migrated", kFolder);
    narrow(dir_ / "issues.jsonl.migrated", kFile);
    if (fs::is_directory(fs::symlink_status(dir_ / "cards.migrated", ec))) {
        for (const auto& entry : fs::directory_iterator(dir_ / "cards.migrated", ec)) {
            narrow(entry.path(), kFile);
        }
    }
}

bool Store::OpenReadOnly(const fs::path& dir, std::string& error) {
    dir_ = dir;
    fs::path file = DatabasePath();
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
        error = "no store in " + dir.string() + " (" + file.string() + " does not exist" +
                (fs::exists(dir / "cards", ec) ? "; it is a data folder of the earlier format, which the "
                                                 "server migrates on its first start)"
                                               : ")");
        return false;
    }
    if (sqlite3_open_v2(file.c_str(), &readDb_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        error = "cannot open " + file.string() + ": " + (readDb_ ? sqlite3_errmsg(readDb_) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(readDb_, 10000);
    Stmt v(readDb_, "PRAGMA user_version");
    int version = v.Step() == SQLITE_ROW ? static_cast<int>(v.Int(0)) : -1;
    if (version != kSchemaVersion) {
        error = file.string() +
                (version < 0 ? std::string(": ") + sqlite3_errmsg(readDb_)
                             : " has schema version " + std::to_string(version) + "; this server reads " +
                                   std::to_string(kSchemaVersion) + " (start the server once to upgrade it)");
        return false;
    }
    return true;
}

// Reads the earlier format, if there is one, into the new (empty) tables. The journal made each issue the
// card's current certificate at once; a set that a later renewal was signed with had been installed, so
// of a card's issues the last is pending, the one before it confirmed, earlier ones superseded.
bool Store::Migrate(sqlite3* db, std::string& error) {
    std::error_code ec;
    std::map<std::string, std::size_t> journalFrom;
    if (fs::is_directory(dir_ / "cards", ec)) {
        for (const auto& entry : fs::directory_iterator(dir_ / "cards", ec)) {
            if (entry.path().extension() != ".json") {
                continue; // temp files of a write that never finished
            }
            std::string text;
            CardRecord card;
            std::size_t from = 0;
            if (!ReadWholeFile(entry.path(), text, error)) {
                return false;
            }
            if (!LegacyCard(text, card, from)) {
                error = "damaged card record: " + entry.path().string();
                return false;
            }
            journalFrom[card.certSeqNo] = from;
            if (!InsertCard(db, card, 1, error)) {
                return false;
            }
        }
    }
    std::string text;
    if (!fs::exists(dir_ / "issues.jsonl", ec)) {
        return true;
    }
    if (!ReadWholeFile(dir_ / "issues.jsonl", text, error, std::size_t{1} << 31)) {
        return false;
    }
    std::vector<IssueRecord> issues;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            break; // a line torn by a crash was never confirmed to anybody
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        IssueRecord issue;
        if (line.empty()) {
            continue;
        }
        if (!LegacyIssue(line, issue)) {
            error = "damaged issue record in " + (dir_ / "issues.jsonl").string();
            return false;
        }
        issues.push_back(std::move(issue));
    }
    // Position of each card's last and second-to-last issue of its current enrolment.
    std::map<std::string, std::pair<long, long>> last;
    for (std::size_t i = 0; i < issues.size(); ++i) {
        auto from = journalFrom.find(issues[i].certSeqNo);
        if (from != journalFrom.end() && i >= from->second) {
            auto& [latest, before] = last.try_emplace(issues[i].certSeqNo, -1, -1).first->second;
            before = latest;
            latest = static_cast<long>(i);
        }
    }
    for (std::size_t i = 0; i < issues.size(); ++i) {
        IssueRecord& issue = issues[i];
        auto it = last.find(issue.certSeqNo);
        issue.stateAt = issue.issuedAt;
        if (it != last.end() && it->second.first == static_cast<long>(i)) {
            issue.state = SetState::Pending;
        } else if (it != last.end() && it->second.second == static_cast<long>(i)) {
            issue.state = SetState::Confirmed;
        } else {
            issue.state = SetState::Superseded;
            bool current = it != last.end() && i >= journalFrom[issue.certSeqNo];
            issue.reason = current ? "replaced by a later set" : kReasonReEnrolled;
        }
        if (!InsertIssue(db, issue, error)) {
            return false;
        }
    }
    return true;
}

bool Store::Write(const Op& op, std::string& error, bool durable) {
    Pending mine{&op, durable, false, false, {}};
    std::unique_lock lock(queueMu_);
    queue_.push_back(&mine);
    while (!mine.done) {
        if (flushing_) {
            queueCv_.wait(lock);
            continue;
        }
        // This thread runs everything queued so far in one transaction, with one sync for all of it.
        flushing_ = true;
        std::vector<Pending*> batch;
        batch.swap(queue_);
        lock.unlock();
        Flush(batch); // sets every entry's result, whatever happens
        lock.lock();
        for (Pending* p : batch) {
            p->done = true;
        }
        flushing_ = false;
        queueCv_.notify_all();
    }
    if (!mine.ok) {
        error = mine.error;
    }
    return mine.ok;
}

void Store::Flush(const std::vector<Pending*>& batch) noexcept {
    const auto failAll = [&](const std::string& why) {
        for (Pending* p : batch) {
            p->ok = false;
            p->error = why;
        }
    };
    try {
        std::string batchError;
        // One durable change makes the whole batch's commit wait for the disk.
        bool durableBatch =
            std::any_of(batch.begin(), batch.end(), [](const Pending* p) { return p->durable; });
        Run(writeDb_, durableBatch ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL", batchError);
        if (!Run(writeDb_, "BEGIN IMMEDIATE", batchError)) {
            failAll(batchError);
            return;
        }
        // A savepoint per operation, so that one that fails leaves the others' changes in place.
        std::string lost; // why the transaction ended before its commit
        for (std::size_t i = 0; i < batch.size(); ++i) {
            Pending* p = batch[i];
            std::string ignored;
            if (!lost.empty() || !Run(writeDb_, "SAVEPOINT op", p->error)) {
                p->ok = false;
                p->error = lost.empty() ? p->error : lost;
                continue;
            }
            try {
                p->ok = (*p->op)(writeDb_, p->error);
            } catch (const std::exception& e) {
                p->ok = false;
                p->error = std::string("store operation failed: ") + e.what();
            } catch (...) {
                p->ok = false;
                p->error = "store operation failed";
            }
            // After SQLITE_FULL, IOERR, BUSY and the like SQLite may have rolled the whole transaction
            // back by itself: what the batch did so far is gone, and a further savepoint would run as a
            // transaction of its own.
            if (sqlite3_get_autocommit(writeDb_) != 0) {
                lost = "the database ended the transaction by itself (" +
                       std::string(sqlite3_errmsg(writeDb_)) + ")" + (p->ok ? "" : ": " + p->error);
                for (std::size_t j = 0; j <= i; ++j) {
                    batch[j]->ok = false;
                    batch[j]->error = lost;
                }
                continue;
            }
            if (!p->ok) {
                Run(writeDb_, "ROLLBACK TO op", ignored);
            }
            Run(writeDb_, "RELEASE op", ignored);
        }
        if (!lost.empty()) {
            return;
        }
        if (!Run(writeDb_, "COMMIT", batchError)) {
            std::string ignored;
            if (sqlite3_get_autocommit(writeDb_) == 0) {
                Exec(writeDb_, "ROLLBACK", ignored);
            }
            failAll(batchError);
        }
    } catch (...) {
        // Only allocation can fail out here: nothing of the batch counts, and the connection is left
        // outside any transaction for the next one.
        std::string ignored;
        if (sqlite3_get_autocommit(writeDb_) == 0) {
            Exec(writeDb_, "ROLLBACK", ignored);
        }
        for (Pending* p : batch) {
            p->ok = false;
        }
    }
}

bool Store::PutCard(const CardRecord& card, bool replace, std::string& error) {
    if (!ValidCertSeqNo(card.certSeqNo)) {
        error = "the certificate number must have 1 to 64 bytes";
        return false;
    }
    std::string now = TimeDigits(std::time(nullptr));
    return Write(
        [&](sqlite3* db, std::string& err) {
            Stmt find(db, "SELECT generation FROM cards WHERE cert_seq_no = ?");
            find.Bind(card.certSeqNo);
            std::int64_t generation = 0;
            if (find.Step() == SQLITE_ROW) {
                if (!replace) {
                    err = "a card with certificate number " + card.certSeqNo + " is already enrolled";
                    return false;
                }
                generation = find.Int(0);
            }
            // Sets issued to an earlier enrolment of this number do not belong to the new card.
            Stmt old(db, "UPDATE issues SET state = 'superseded', state_at = ?, reason = ? "
                         "WHERE cert_seq_no = ? AND state != 'superseded'");
            old.Bind(now).Bind(std::string(kReasonReEnrolled)).Bind(card.certSeqNo);
            return old.Run(err, "cannot supersede the sets of the earlier enrolment") &&
                   InsertCard(db, card, generation + 1, err);
        },
        error);
}

std::optional<CardState> Store::FindCard(const std::string& certSeqNo) {
    if (!ValidCertSeqNo(certSeqNo)) {
        return std::nullopt;
    }
    std::lock_guard lock(readMu_);
    std::string ignored;
    // One read transaction: the card and its sets as of one moment.
    if (!Run(readDb_, "BEGIN", ignored)) {
        return std::nullopt;
    }
    CardState state;
    bool found = false;
    {
        Stmt s(readDb_, "SELECT cert_seq_no, legal_person, id_type, id_number, ic_code, ent_name, unit_type, "
                        "ra_code, crypt_algo, manage_password, cert_pem, enrolled_at, generation FROM cards "
                        "WHERE cert_seq_no = ?");
        s.Bind(certSeqNo);
        if (s.Step() == SQLITE_ROW) {
            found = true;
            CardRecord& c = state.card;
            c.certSeqNo = s.Text(0);
            c.legalPerson = s.Text(1);
            c.idType = s.Text(2);
            c.idNumber = s.Text(3);
            c.icCode = s.Text(4);
            c.entName = s.Text(5);
            c.unitType = s.Text(6);
            c.raCode = s.Text(7);
            c.cryptAlgo = s.Text(8);
            c.managePassword = s.Text(9);
            c.certPem = s.Text(10);
            c.enrolledAt = s.Text(11);
            state.generation = s.Int(12);
        }
    }
    if (found) {
        Stmt s(readDb_, (std::string("SELECT ") + kIssueColumns +
                         " FROM issues WHERE cert_seq_no = ? AND state IN ('pending', 'confirmed')")
                            .c_str());
        s.Bind(certSeqNo);
        while (s.Step() == SQLITE_ROW) {
            IssueRecord issue = ReadIssue(s);
            (issue.state == SetState::Pending ? state.pending : state.confirmed) = std::move(issue);
        }
    }
    if (found && state.confirmed && state.confirmed->provisional) {
        if (state.confirmed->predecessor.empty()) {
            state.predecessorPem = state.card.certPem;
        } else {
            Stmt s(readDb_, "SELECT cert_pem FROM issues WHERE cert_seq_no = ? AND serial = ?");
            s.Bind(certSeqNo).Bind(state.confirmed->predecessor);
            state.predecessorPem = s.Step() == SQLITE_ROW ? s.Text(0) : std::string();
        }
    }
    Run(readDb_, "COMMIT", ignored);
    if (!found) {
        return std::nullopt;
    }
    state.confirmedPem = state.confirmed ? state.confirmed->certPem : state.card.certPem;
    return state;
}

int Store::UseRandom(const std::string& random, std::time_t expires, std::time_t now, std::string& error) {
    bool fresh = false;
    bool ok = Write(
        [&](sqlite3* db, std::string& err) {
            Stmt s(db, "INSERT OR IGNORE INTO used_randoms(random, expires) VALUES(?, ?)");
            s.Bind(random).Bind(static_cast<std::int64_t>(expires));
            if (!s.Run(err, "cannot record the random")) {
                return false;
            }
            fresh = sqlite3_changes(db) == 1;
            if (++randomsSincePrune_ < 256) {
                return true;
            }
            // Randoms past their expiry are refused by their own time stamp: their records can go.
            randomsSincePrune_ = 0;
            Stmt prune(db, "DELETE FROM used_randoms WHERE expires < ?");
            prune.Bind(static_cast<std::int64_t>(now) - 60);
            return prune.Run(err, "cannot prune used randoms");
        },
        error, false);
    return ok ? (fresh ? 1 : 0) : -1;
}

bool Store::ConfirmPending(const std::string& certSeqNo, const std::string& serial, std::time_t now,
                           std::string& error) {
    std::string at = TimeDigits(now);
    return Write(
        [&](sqlite3* db, std::string& err) { return ConfirmIn(db, certSeqNo, serial, true, at, err); },
        error);
}

bool Store::CommitRenewal(const IssueRecord& issue, std::int64_t generation, SignedWith signedWith,
                          std::time_t now, std::string& error) {
    std::string at = TimeDigits(now);
    const std::string& card = issue.certSeqNo;
    return Write(
        [&](sqlite3* db, std::string& err) {
            Stmt g(db, "SELECT generation FROM cards WHERE cert_seq_no = ?");
            g.Bind(card);
            if (g.Step() != SQLITE_ROW || g.Int(0) != generation) {
                err = "card " + card + " was enrolled again during the renewal";
                return false;
            }
            Stmt p(db, "SELECT serial FROM issues WHERE cert_seq_no = ? AND state = 'pending'");
            p.Bind(card);
            std::string pending = p.Step() == SQLITE_ROW ? p.Text(0) : std::string();
            std::optional<IssueRecord> confirmed = ConfirmedIn(db, card);
            if (signedWith == SignedWith::PendingSet) {
                if (pending.empty() || !ConfirmIn(db, card, pending, false, at, err)) {
                    err = pending.empty() ? "card " + card + " has no pending set any more" : err;
                    return false;
                }
            } else {
                // The card holds its confirmed set or the predecessor: a pending set was never installed.
                if (!pending.empty() &&
                    !MoveSet(db, card, pending, "superseded", at, kReasonNeverInstalled, err)) {
                    return false;
                }
                if (confirmed && confirmed->provisional) {
                    const std::string& earlier = confirmed->predecessor;
                    if (signedWith == SignedWith::ConfirmedSet) {
                        // Its key signed: the confirmation is final, the predecessor replaced for good.
                        Stmt f(db,
                               "UPDATE issues SET provisional = 0, predecessor = '' WHERE cert_seq_no = ? "
                               "AND serial = ?");
                        f.Bind(card).Bind(confirmed->serial);
                        if (!f.Run(err, "cannot make the confirmation final") ||
                            (!earlier.empty() && !MoveSet(db, card, earlier, "superseded", at,
                                                          kReasonReplaced + confirmed->serial, err))) {
                            return false;
                        }
                    } else if (!MoveSet(db, card, confirmed->serial, "superseded", at, kReasonUndone, err) ||
                               (!earlier.empty() && !MoveSet(db, card, earlier, "confirmed", at, "", err))) {
                        return false;
                    }
                } else if (signedWith == SignedWith::Predecessor) {
                    err = "card " + card + " has no provisionally confirmed set any more";
                    return false;
                }
            }
            IssueRecord record = issue;
            record.state = SetState::Pending;
            record.stateAt = at;
            record.reason.clear();
            record.provisional = false;
            record.predecessor.clear();
            return InsertIssue(db, record, err);
        },
        error);
}

std::shared_ptr<std::mutex> Store::CardLock(const std::string& certSeqNo) {
    std::lock_guard lock(locksMu_);
    std::shared_ptr<std::mutex> m = locks_[certSeqNo].lock();
    if (!m) {
        m = std::make_shared<std::mutex>();
        locks_[certSeqNo] = m;
        if (locks_.size() > 1024) {
            // Forget the locks nobody holds any more, so the map stays as small as the cards in use.
            for (auto it = locks_.begin(); it != locks_.end();) {
                it = it->second.expired() ? locks_.erase(it) : std::next(it);
            }
        }
    }
    return m;
}

std::vector<IssueRecord> Store::Issues() {
    std::lock_guard lock(readMu_);
    std::vector<IssueRecord> out;
    Stmt s(readDb_, (std::string("SELECT ") + kIssueColumns + " FROM issues ORDER BY id").c_str());
    while (s.Step() == SQLITE_ROW) {
        out.push_back(ReadIssue(s));
    }
    return out;
}

std::int64_t Store::Count(const char* sql) {
    std::lock_guard lock(readMu_);
    Stmt s(readDb_, sql);
    return s.Step() == SQLITE_ROW ? s.Int(0) : 0;
}

std::size_t Store::CardCount() {
    return static_cast<std::size_t>(Count("SELECT COUNT(*) FROM cards"));
}

std::size_t Store::IssueCount() {
    return static_cast<std::size_t>(Count("SELECT COUNT(*) FROM issues"));
}

} // namespace rv::server
