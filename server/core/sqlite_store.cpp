#include "core/sqlite_store.h"

#include "core/crypto.h"
#include "core/files.h"
#include "core/json.h"

#include <openssl/crypto.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace rv::server {
namespace {

namespace fs = std::filesystem;

// 1: the first database; 2: provisional confirmations; 3: sibling sets (issues.parent), verifications
// and failed verifications in the store, the rules of a set's life as triggers.
constexpr int kSchemaVersion = 3;

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
  parent TEXT NOT NULL DEFAULT '');
CREATE INDEX issues_by_card ON issues(cert_seq_no, state);
CREATE UNIQUE INDEX one_confirmed_set ON issues(cert_seq_no) WHERE state = 'confirmed';
CREATE TABLE used_randoms(random TEXT PRIMARY KEY, expires INTEGER NOT NULL) WITHOUT ROWID;
)sql";

// What version 3 adds, to a new database and to an upgraded one alike.
const char* const kVersion3 = R"sql(
CREATE UNIQUE INDEX issues_by_serial ON issues(serial);
CREATE TABLE verifications(
  op_seq_no TEXT PRIMARY KEY, cert_seq_no TEXT NOT NULL, random TEXT NOT NULL, sign_date TEXT NOT NULL,
  expires INTEGER NOT NULL) WITHOUT ROWID;
CREATE INDEX verifications_by_card ON verifications(cert_seq_no, expires);
CREATE INDEX verifications_by_expiry ON verifications(expires);
CREATE TABLE verify_failures(
  id INTEGER PRIMARY KEY, source TEXT NOT NULL, cert_seq_no TEXT NOT NULL, at INTEGER NOT NULL);
CREATE INDEX failures_by_source ON verify_failures(source, at);
CREATE INDEX failures_by_card ON verify_failures(cert_seq_no, at);
CREATE INDEX failures_by_time ON verify_failures(at);
CREATE TRIGGER pending_sets_come_from_the_confirmed_one BEFORE INSERT ON issues
WHEN NEW.state = 'pending' AND NEW.parent IS NOT COALESCE(
  (SELECT serial FROM issues WHERE cert_seq_no = NEW.cert_seq_no AND state = 'confirmed'), '')
BEGIN SELECT RAISE(ABORT, 'a pending set must be issued from the confirmed certificate of its card'); END;
CREATE TRIGGER sets_move_forward BEFORE UPDATE OF state ON issues
WHEN NOT (NEW.state = OLD.state OR (OLD.state = 'pending' AND NEW.state != 'pending')
          OR (OLD.state = 'confirmed' AND NEW.state = 'superseded'))
BEGIN SELECT RAISE(ABORT, 'the state of a set only moves forward'); END;
CREATE TRIGGER confirmed_once_its_siblings_are_gone AFTER UPDATE OF state ON issues
WHEN NEW.state = 'confirmed' AND EXISTS (
  SELECT 1 FROM issues WHERE cert_seq_no = NEW.cert_seq_no AND state = 'pending')
BEGIN SELECT RAISE(ABORT, 'a set is confirmed only once its siblings are superseded'); END;
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
    Stmt(sqlite3* db, const std::string& sql) : Stmt(db, sql.c_str()) {}
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
    // One row expected (an aggregate): false with the reason when there is none.
    bool Row(std::string& error, const char* what) {
        if (Step() != SQLITE_ROW) {
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
                                  "not_before, not_after, cert_pem, state, state_at, reason, parent";

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
    i.parent = s.Text(13);
    return i;
}

bool InsertIssue(sqlite3* db, const IssueRecord& i, std::string& error) {
    Stmt s(db,
           "INSERT INTO issues(serial, env_serial, cert_seq_no, ic_code, op_seq_no, issued_at, not_before, "
           "not_after, cert_pem, state, state_at, reason, parent) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)");
    s.Bind(i.serial).Bind(i.envSerial).Bind(i.certSeqNo).Bind(i.icCode).Bind(i.opSeqNo).Bind(i.issuedAt);
    s.Bind(i.notBefore).Bind(i.notAfter).Bind(i.certPem).Bind(std::string(SetStateName(i.state)));
    s.Bind(i.stateAt).Bind(i.reason).Bind(i.parent);
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

// Supersedes the card's sets in `state` (all of them but `except`) with `reason`; their serials go to
// `out` when given.
bool Supersede(sqlite3* db, const std::string& certSeqNo, const char* state, const std::string& except,
               const std::string& at, const std::string& reason, std::vector<std::string>* out,
               std::string& error) {
    if (out != nullptr) {
        Stmt list(
            db, "SELECT serial FROM issues WHERE cert_seq_no = ? AND state = ? AND serial != ? ORDER BY id");
        list.Bind(certSeqNo).Bind(std::string(state)).Bind(except);
        int rc = SQLITE_ROW;
        while ((rc = list.Step()) == SQLITE_ROW) {
            out->push_back(list.Text(0));
        }
        if (rc != SQLITE_DONE) {
            error = DbError(db, "cannot read the card's sets");
            return false;
        }
    }
    Stmt s(db, "UPDATE issues SET state = 'superseded', state_at = ?, reason = ? "
               "WHERE cert_seq_no = ? AND state = ? AND serial != ?");
    s.Bind(at).Bind(reason).Bind(certSeqNo).Bind(std::string(state)).Bind(except);
    return s.Run(error, "cannot supersede a set");
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

SqliteStore::~SqliteStore() {
    for (sqlite3* db : {readDb_, writeDb_}) {
        if (db != nullptr) {
            ForgetStatements(db);
            sqlite3_close_v2(db);
        }
    }
}

// A folder with a certificate authority has had cards enrolled: its store must be there. Only a folder
// with neither (or one of the earlier format, migrated below) gets a new store.
bool SqliteStore::CheckFolder(std::string& error) {
    std::error_code ec;
    const fs::path file = DatabasePath();
    const bool present = fs::is_regular_file(file, ec);
    const bool empty = present && fs::file_size(file, ec) == 0;
    const bool hasCa = fs::exists(dir_ / "ca.key", ec) || fs::exists(dir_ / "ca.crt", ec);
    const bool earlier = fs::exists(dir_ / "cards", ec) || fs::exists(dir_ / "issues.jsonl", ec);
    if ((!present || empty) && hasCa && !earlier) {
        error = "the data folder " + dir_.string() +
                " holds a certificate authority but no store: " + file.string() +
                (present ? " is empty" : " is missing") +
                ". The enrolled cards and every issued set are kept in that file; an empty store would "
                "tell every holder that the card is not enrolled. Restore it from a backup (see "
                "renvora-server(8)), or, to start over without any card, move the whole folder away";
        return false;
    }
    if (fs::exists(file, ec) && !present) {
        error = file.string() + " is not a file";
        return false;
    }
    return true;
}

bool SqliteStore::Open(const fs::path& dir, std::string& error) {
    dir_ = dir;
    if (!CheckFolder(error) || !CreatePrivateFolder(dir_, error)) {
        return false;
    }
    fs::path file = DatabasePath();
    std::error_code ec;
    const bool existed = fs::is_regular_file(file, ec) && fs::file_size(file, ec) > 0;
    // Created here with mode 0600 whatever the umask: SQLite gives its -wal and -shm files the mode of
    // the database.
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open the store " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!existed) {
        ::fchmod(fd, 0600);
    }
    ::close(fd);
    for (sqlite3** db : {&writeDb_, &readDb_}) {
        if (sqlite3_open_v2(file.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
            SQLITE_OK) {
            error = "cannot open the store " + file.string() + ": " +
                    (*db ? sqlite3_errmsg(*db) : "out of memory");
            return false;
        }
        sqlite3_busy_timeout(*db, 10000);
    }
    if (existed) {
        // Damage found now stops the start with its reason, instead of answering holders wrongly later.
        std::string problems;
        Stmt check(writeDb_, "PRAGMA quick_check(5)");
        int rc = SQLITE_ROW;
        while ((rc = check.Step()) == SQLITE_ROW) {
            std::string line = check.Text(0);
            if (line != "ok") {
                problems += (problems.empty() ? "" : "; ") + line;
            }
        }
        if (rc != SQLITE_DONE || !problems.empty()) {
            error = "the store " + file.string() + " is damaged (" +
                    (problems.empty() ? std::string(sqlite3_errmsg(writeDb_)) : "quick_check: " + problems) +
                    "). Restore it from a backup; `sqlite3 " + file.string() +
                    " .recover` saves what can still be read";
            return false;
        }
    }
    // WAL: readers never wait for the writer; FULL: a commit is on the disk before it returns. The WAL
    // is copied back into the database every 256 pages and cut back to 1 MiB afterwards, so that it never
    // fills a small volume by itself.
    if (!Exec(writeDb_,
              "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON; "
              "PRAGMA wal_autocheckpoint=256; PRAGMA journal_size_limit=1048576;",
              error) ||
        !Exec(readDb_, "PRAGMA synchronous=FULL; PRAGMA journal_size_limit=1048576;", error) ||
        !Exec(writeDb_, "BEGIN IMMEDIATE", error)) {
        error = "cannot open the store " + file.string() + ": " + error;
        return false;
    }
    bool ok = true;
    int version = -1;
    {
        Stmt v(writeDb_, "PRAGMA user_version"); // reset at the end of its scope: ALTER TABLE needs that
        version = v.Step() == SQLITE_ROW ? static_cast<int>(v.Int(0)) : -1;
    }
    {
        if (version == 0) {
            ok = Exec(writeDb_, kSchema, error) && Exec(writeDb_, kVersion3, error);
            std::string key = RandomHex(32);
            Stmt put(writeDb_, "INSERT INTO meta(key, value) VALUES('random_key', ?)");
            ok = ok && !key.empty() && put.Bind(key).Run(error, "cannot store the random key") &&
                 Migrate(writeDb_, error) &&
                 Exec(writeDb_, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), error);
        } else if (version == 1 || version == 2) {
            ok = Upgrade(version, error);
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

// Version 1 knew one pending set per card; version 2 added confirmations by a verification alone
// ("provisional"), which kept the set before them acceptable. Both become the sets of version 3: a
// provisionally confirmed set is pending again, issued from the certificate it had replaced, which is
// the confirmed one again; every pending set is issued from its card's confirmed certificate.
bool SqliteStore::Upgrade(int version, std::string& error) {
    if (!Exec(writeDb_,
              "DROP INDEX IF EXISTS one_pending_set; ALTER TABLE issues ADD COLUMN parent TEXT NOT NULL "
              "DEFAULT ''",
              error)) {
        return false;
    }
    if (version == 2 &&
        !Exec(writeDb_,
              "CREATE TEMP TABLE provisional AS SELECT serial, cert_seq_no, predecessor FROM issues "
              "WHERE state = 'confirmed' AND provisional = 1; "
              "UPDATE issues SET state = 'pending', reason = '' "
              "WHERE serial IN (SELECT serial FROM temp.provisional); "
              "UPDATE issues SET state = 'confirmed', reason = '' WHERE state = 'superseded' AND "
              "EXISTS (SELECT 1 FROM temp.provisional p WHERE p.cert_seq_no = issues.cert_seq_no AND "
              "p.predecessor = issues.serial AND p.predecessor != ''); "
              "DROP TABLE temp.provisional; "
              "ALTER TABLE issues DROP COLUMN provisional; ALTER TABLE issues DROP COLUMN predecessor;",
              error)) {
        return false;
    }
    return Exec(writeDb_,
                "UPDATE issues SET parent = COALESCE((SELECT c.serial FROM issues c WHERE c.cert_seq_no = "
                "issues.cert_seq_no AND c.state = 'confirmed'), '') WHERE state = 'pending';",
                error) &&
           Exec(writeDb_, kVersion3, error) &&
           Exec(writeDb_, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), error);
}

// The earlier format made its folder 0755 and its card records (with the management passwords) 0644.
// The database now holds the same secrets 0600; the old files are kept for an operator who needs to go
// back, readable by the owner alone like the rest. Done on every start, so a folder migrated by an
// earlier version is mended too.
void SqliteStore::TightenMigrated() {
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

bool SqliteStore::OpenReadOnly(const fs::path& dir, std::string& error) {
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
bool SqliteStore::Migrate(sqlite3* db, std::string& error) {
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
            // Issued from the set before it, inserted (confirmed) already, or from the enrolled one.
            issue.parent = it->second.second >= 0 ? issues[static_cast<std::size_t>(it->second.second)].serial
                                                  : std::string();
        } else if (it != last.end() && it->second.second == static_cast<long>(i)) {
            issue.state = SetState::Confirmed;
        } else {
            issue.state = SetState::Superseded;
            bool current = it != last.end() && i >= journalFrom[issue.certSeqNo];
            issue.reason = current ? "replaced by a later set" : reason::kReEnrolled;
        }
        if (!InsertIssue(db, issue, error)) {
            return false;
        }
    }
    return true;
}

bool SqliteStore::Write(const Op& op, std::string& error, bool durable) {
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

void SqliteStore::Flush(const std::vector<Pending*>& batch) noexcept {
    const auto failAll = [&](const std::string& why) {
        for (Pending* p : batch) {
            p->ok = false;
            p->error = why;
        }
    };
    // After a failed write (a full disk above all) the WAL is copied back into the database as far as
    // room allows, so that the next commit can start the WAL afresh and the store recovers by itself.
    const auto relieve = [&] {
        sqlite3_wal_checkpoint_v2(writeDb_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
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
            relieve();
            return;
        }
        if (!Run(writeDb_, "COMMIT", batchError)) {
            std::string ignored;
            if (sqlite3_get_autocommit(writeDb_) == 0) {
                Exec(writeDb_, "ROLLBACK", ignored);
            }
            failAll(batchError);
            relieve();
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

bool SqliteStore::PutCard(const CardRecord& card, bool replace, std::string& error) {
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
            int rc = find.Step();
            if (rc == SQLITE_ROW) {
                if (!replace) {
                    err = "a card with certificate number " + card.certSeqNo + " is already enrolled";
                    return false;
                }
                generation = find.Int(0);
            } else if (rc != SQLITE_DONE) {
                err = DbError(db, "cannot read the card");
                return false;
            }
            // Sets issued to an earlier enrolment of this number do not belong to the new card.
            return Supersede(db, card.certSeqNo, "pending", "", now, reason::kReEnrolled, nullptr, err) &&
                   Supersede(db, card.certSeqNo, "confirmed", "", now, reason::kReEnrolled, nullptr, err) &&
                   InsertCard(db, card, generation + 1, err);
        },
        error);
}

Found SqliteStore::FindCard(const std::string& certSeqNo, CardState& out, std::string& error) {
    if (!ValidCertSeqNo(certSeqNo)) {
        return Found::No;
    }
    std::lock_guard lock(readMu_);
    std::string ignored;
    // One read transaction: the card and its sets as of one moment.
    if (!Run(readDb_, "BEGIN", error)) {
        return Found::Error;
    }
    CardState state;
    Found found = Found::No;
    {
        Stmt s(readDb_, "SELECT cert_seq_no, legal_person, id_type, id_number, ic_code, ent_name, unit_type, "
                        "ra_code, crypt_algo, manage_password, cert_pem, enrolled_at, generation FROM cards "
                        "WHERE cert_seq_no = ?");
        s.Bind(certSeqNo);
        int rc = s.Step();
        if (rc == SQLITE_ROW) {
            found = Found::Yes;
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
        } else if (rc != SQLITE_DONE) {
            error = DbError(readDb_, "cannot read the card");
            found = Found::Error;
        }
    }
    if (found == Found::Yes) {
        Stmt s(readDb_, std::string("SELECT ") + kIssueColumns +
                            " FROM issues WHERE cert_seq_no = ? AND state IN ('pending', 'confirmed') "
                            "ORDER BY id");
        s.Bind(certSeqNo);
        int rc = SQLITE_ROW;
        while ((rc = s.Step()) == SQLITE_ROW) {
            IssueRecord issue = ReadIssue(s);
            if (issue.state == SetState::Pending) {
                state.pending.push_back(std::move(issue));
            } else {
                state.confirmed = std::move(issue);
            }
        }
        if (rc != SQLITE_DONE) {
            error = DbError(readDb_, "cannot read the card's sets");
            found = Found::Error;
        }
    }
    Run(readDb_, "COMMIT", ignored);
    if (found == Found::Yes) {
        out = std::move(state);
    }
    return found;
}

bool SqliteStore::SourceFreeAt(const std::string& source, std::time_t now, const VerifyLimits& limits,
                               std::time_t& until, std::string& error) {
    std::lock_guard lock(readMu_);
    Stmt s(readDb_, "SELECT COUNT(*), MAX(at) FROM verify_failures WHERE source = ? AND at > ?");
    s.Bind(source).Bind(static_cast<std::int64_t>(now - limits.windowSeconds));
    if (!s.Row(error, "cannot read the failed verifications")) {
        return false;
    }
    std::time_t at = FreeAgainAt(static_cast<int>(s.Int(0)), static_cast<std::time_t>(s.Int(1)), limits);
    until = at > now ? at : 0;
    return true;
}

bool SqliteStore::Prune(sqlite3* db, std::time_t now, const VerifyLimits& limits, std::string& error) {
    if (++writesSincePrune_ < 256) {
        return true;
    }
    writesSincePrune_ = 0;
    // Randoms past their expiry are refused by their own time stamp, and failures past the window no
    // longer count. Expired verifications stay a while, so that a late request hears "expired".
    Stmt randoms(db, "DELETE FROM used_randoms WHERE expires < ?");
    randoms.Bind(static_cast<std::int64_t>(now) - 60);
    Stmt verifications(db, "DELETE FROM verifications WHERE expires < ?");
    verifications.Bind(static_cast<std::int64_t>(now) - 3600);
    Stmt failures(db, "DELETE FROM verify_failures WHERE at <= ?");
    failures.Bind(static_cast<std::int64_t>(now - limits.windowSeconds));
    return randoms.Run(error, "cannot prune used randoms") &&
           verifications.Run(error, "cannot prune verifications") &&
           failures.Run(error, "cannot prune failed verifications");
}

VerifyOutcome SqliteStore::RecordVerification(const VerifyAttempt& a, const VerifyLimits& limits,
                                              std::time_t now, std::time_t& until, std::string& error) {
    VerifyOutcome outcome = VerifyOutcome::Error;
    until = 0;
    const auto windowStart = static_cast<std::int64_t>(now - limits.windowSeconds);
    bool ok = Write(
        [&](sqlite3* db, std::string& err) {
            Stmt use(db, "INSERT OR IGNORE INTO used_randoms(random, expires) VALUES(?, ?)");
            use.Bind(a.random).Bind(static_cast<std::int64_t>(a.randomExpires));
            if (!use.Run(err, "cannot record the random")) {
                return false;
            }
            if (sqlite3_changes(db) != 1) {
                outcome = VerifyOutcome::RandomUsed;
                return true;
            }
            // The limits are read where the failure is counted, so that concurrent attempts cannot slip
            // past them together.
            Stmt source(db, "SELECT COUNT(*), MAX(at) FROM verify_failures WHERE source = ? AND at > ?");
            source.Bind(a.source).Bind(windowStart);
            if (!source.Row(err, "cannot read the failed verifications")) {
                return false;
            }
            std::time_t free =
                FreeAgainAt(static_cast<int>(source.Int(0)), static_cast<std::time_t>(source.Int(1)), limits);
            if (free > now) {
                until = free;
                outcome = VerifyOutcome::SourceWaits;
                return true;
            }
            Stmt card(db, "SELECT COUNT(*), MIN(at) FROM verify_failures WHERE cert_seq_no = ? AND at > ?");
            card.Bind(a.certSeqNo).Bind(windowStart);
            if (!card.Row(err, "cannot read the failed verifications")) {
                return false;
            }
            if (card.Int(0) >= limits.cardLimit) {
                until = static_cast<std::time_t>(card.Int(1)) + limits.windowSeconds;
                outcome = VerifyOutcome::CardLimit;
                return true;
            }
            if (a.kind == VerifyAttempt::Kind::Mismatch) {
                Stmt fail(db, "INSERT INTO verify_failures(source, cert_seq_no, at) VALUES(?, ?, ?)");
                fail.Bind(a.source).Bind(a.certSeqNo).Bind(static_cast<std::int64_t>(now));
                if (!fail.Run(err, "cannot count the failed verification")) {
                    return false;
                }
                outcome = VerifyOutcome::Failed;
                return Prune(db, now, limits, err);
            }
            if (a.kind == VerifyAttempt::Kind::Refusable) {
                outcome = VerifyOutcome::Accepted;
                return true;
            }
            // A card keeps a few verifications: a further one drops its oldest, so that whoever knows one
            // card's data cannot fill the table and turn everybody else away.
            const Verification& v = a.verification;
            Stmt mine(db, "SELECT COUNT(*) FROM verifications WHERE cert_seq_no = ?");
            mine.Bind(v.certSeqNo);
            if (!mine.Row(err, "cannot count verifications")) {
                return false;
            }
            const auto perCard =
                static_cast<std::int64_t>(std::max<std::size_t>(limits.maxVerificationsPerCard, 1));
            if (mine.Int(0) >= perCard) {
                Stmt drop(db, "DELETE FROM verifications WHERE op_seq_no IN (SELECT op_seq_no FROM "
                              "verifications WHERE cert_seq_no = ? ORDER BY expires, op_seq_no LIMIT ?)");
                drop.Bind(v.certSeqNo).Bind(mine.Int(0) - perCard + 1);
                if (!drop.Run(err, "cannot drop the card's oldest verification")) {
                    return false;
                }
            }
            for (int pass = 0; pass < 2; ++pass) {
                Stmt all(db, "SELECT COUNT(*) FROM verifications");
                if (!all.Row(err, "cannot count verifications")) {
                    return false;
                }
                if (static_cast<std::size_t>(all.Int(0)) < limits.maxVerifications) {
                    break;
                }
                if (pass == 1) {
                    outcome = VerifyOutcome::Full;
                    return true;
                }
                Stmt expired(db, "DELETE FROM verifications WHERE expires <= ?");
                expired.Bind(static_cast<std::int64_t>(now));
                if (!expired.Run(err, "cannot drop expired verifications")) {
                    return false;
                }
            }
            Stmt put(db, "INSERT INTO verifications(op_seq_no, cert_seq_no, random, sign_date, expires) "
                         "VALUES(?, ?, ?, ?, ?)");
            put.Bind(v.opSeqNo).Bind(v.certSeqNo).Bind(v.random).Bind(v.signDate);
            put.Bind(static_cast<std::int64_t>(v.expires));
            if (!put.Run(err, "cannot record the verification")) {
                return false;
            }
            outcome = VerifyOutcome::Recorded;
            return Prune(db, now, limits, err);
        },
        error, false);
    return ok ? outcome : VerifyOutcome::Error;
}

TakeOutcome SqliteStore::TakeVerification(const std::string& opSeqNo, const std::string& random,
                                          std::time_t now, Verification& out, std::string& error) {
    TakeOutcome outcome = TakeOutcome::Error;
    bool ok = Write(
        [&](sqlite3* db, std::string& err) {
            Stmt find(
                db, "SELECT cert_seq_no, random, sign_date, expires FROM verifications WHERE op_seq_no = ?");
            find.Bind(opSeqNo);
            int rc = find.Step();
            if (rc == SQLITE_DONE) {
                outcome = TakeOutcome::Unknown;
                return true;
            }
            if (rc != SQLITE_ROW) {
                err = DbError(db, "cannot read the verification");
                return false;
            }
            Verification v{opSeqNo, find.Text(0), find.Text(1), find.Text(2),
                           static_cast<std::time_t>(find.Int(3))};
            const bool expired = v.expires <= now;
            // Operation numbers can be guessed: only the one who also names the verification's random
            // uses it up, so nobody else can spend another holder's renewal.
            if (!expired && (v.random.size() != random.size() ||
                             CRYPTO_memcmp(v.random.data(), random.data(), random.size()) != 0)) {
                outcome = TakeOutcome::WrongRandom;
                return true;
            }
            Stmt drop(db, "DELETE FROM verifications WHERE op_seq_no = ?");
            drop.Bind(opSeqNo);
            if (!drop.Run(err, "cannot use up the verification")) {
                return false;
            }
            outcome = expired ? TakeOutcome::Expired : TakeOutcome::Taken;
            out = std::move(v);
            return true;
        },
        error, false);
    return ok ? outcome : TakeOutcome::Error;
}

std::size_t SqliteStore::VerificationCount() {
    return static_cast<std::size_t>(Count("SELECT COUNT(*) FROM verifications"));
}

CommitOutcome SqliteStore::CommitRenewal(const IssueRecord& issue, std::int64_t generation,
                                         const std::string& signer, const RenewLimits& limits,
                                         std::time_t now, CommitInfo& info, std::string& error) {
    CommitOutcome outcome = CommitOutcome::Error;
    const std::string at = TimeDigits(now);
    const std::string& card = issue.certSeqNo;
    bool ok = Write(
        [&](sqlite3* db, std::string& err) {
            info = CommitInfo{};
            Stmt g(db, "SELECT generation FROM cards WHERE cert_seq_no = ?");
            g.Bind(card);
            int rc = g.Step();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                err = DbError(db, "cannot read the card");
                return false;
            }
            if (rc == SQLITE_DONE || g.Int(0) != generation) {
                outcome = CommitOutcome::Reenrolled;
                err = "card " + card + " was enrolled again during the renewal";
                return false;
            }
            Stmt c(db, "SELECT serial FROM issues WHERE cert_seq_no = ? AND state = 'confirmed'");
            c.Bind(card);
            rc = c.Step();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                err = DbError(db, "cannot read the card's sets");
                return false;
            }
            const std::string confirmed = rc == SQLITE_ROW ? c.Text(0) : std::string();
            if (signer == confirmed) {
                // The confirmed certificate renews again: its earlier answers were lost, or the card
                // failed to write them. That is bounded, so that a copy of an old card stops renewing.
                Stmt p(db, "SELECT COUNT(*), MIN(issued_at) FROM issues WHERE cert_seq_no = ? AND state = "
                           "'pending'");
                p.Bind(card);
                if (!p.Row(err, "cannot read the card's sets")) {
                    return false;
                }
                const std::int64_t siblings = p.Int(0);
                if (siblings > 0 && now >= ParseTimeDigits(p.Text(1)) + limits.graceSeconds) {
                    outcome = CommitOutcome::GraceOver;
                    err = "the grace period of the certificate it signed with is over";
                    return false;
                }
                if (siblings >= limits.maxSets) {
                    outcome = CommitOutcome::TooManySets;
                    err = "the certificate it signed with has renewed too often";
                    return false;
                }
            } else {
                // A pending set signed: the card holds it. It is confirmed, and the certificate it was
                // issued from and its siblings are superseded.
                Stmt p(db, "SELECT 1 FROM issues WHERE cert_seq_no = ? AND serial = ? AND state = 'pending'");
                p.Bind(card).Bind(signer);
                rc = p.Step();
                if (rc != SQLITE_ROW) {
                    if (rc == SQLITE_DONE) {
                        outcome = CommitOutcome::SignerGone;
                    }
                    err = rc == SQLITE_DONE ? "the set " + signer + " is no longer pending"
                                            : DbError(db, "cannot read the card's sets");
                    return false;
                }
                if (!confirmed.empty()) {
                    info.superseded.push_back(confirmed);
                }
                Stmt confirm(db, "UPDATE issues SET state = 'confirmed', state_at = ?, reason = '' "
                                 "WHERE cert_seq_no = ? AND serial = ?");
                confirm.Bind(at).Bind(card).Bind(signer);
                if (!Supersede(db, card, "confirmed", "", at, reason::kReplaced + signer, nullptr, err) ||
                    !Supersede(db, card, "pending", signer, at, reason::kSibling + signer, &info.superseded,
                               err) ||
                    !confirm.Run(err, "cannot confirm the set")) {
                    return false;
                }
                info.confirmed = signer;
            }
            IssueRecord record = issue;
            record.state = SetState::Pending;
            record.stateAt = at;
            record.reason.clear();
            record.parent = signer;
            if (!InsertIssue(db, record, err)) {
                return false;
            }
            outcome = CommitOutcome::Committed;
            return true;
        },
        error);
    return ok ? CommitOutcome::Committed
              : (outcome == CommitOutcome::Committed ? CommitOutcome::Error : outcome);
}

int SqliteStore::WithdrawPending(const std::string& certSeqNo, std::time_t now, std::string& error) {
    int changed = -1;
    const std::string at = TimeDigits(now);
    bool ok = Write(
        [&](sqlite3* db, std::string& err) {
            Stmt s(db, "UPDATE issues SET state = 'superseded', state_at = ?, reason = ? "
                       "WHERE cert_seq_no = ? AND state = 'pending'");
            s.Bind(at).Bind(std::string(reason::kWithdrawn)).Bind(certSeqNo);
            if (!s.Run(err, "cannot withdraw the pending sets")) {
                return false;
            }
            changed = sqlite3_changes(db);
            return true;
        },
        error);
    return ok ? changed : -1;
}

bool SqliteStore::Issues(std::vector<IssueRecord>& out, std::string& error) {
    std::lock_guard lock(readMu_);
    out.clear();
    Stmt s(readDb_, std::string("SELECT ") + kIssueColumns + " FROM issues ORDER BY id");
    int rc = SQLITE_ROW;
    while ((rc = s.Step()) == SQLITE_ROW) {
        out.push_back(ReadIssue(s));
    }
    if (rc != SQLITE_DONE) {
        error = DbError(readDb_, "cannot read the issued sets");
        return false;
    }
    return true;
}

std::int64_t SqliteStore::Count(const char* sql) {
    std::lock_guard lock(readMu_);
    Stmt s(readDb_, sql);
    return s.Step() == SQLITE_ROW ? s.Int(0) : 0;
}

std::size_t SqliteStore::CardCount() {
    return static_cast<std::size_t>(Count("SELECT COUNT(*) FROM cards"));
}

std::size_t SqliteStore::IssueCount() {
    return static_cast<std::size_t>(Count("SELECT COUNT(*) FROM issues"));
}

} // namespace rv::server
