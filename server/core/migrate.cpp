#include "core/migrate.h"

#include "core/pg_store.h"
#include "core/sqlite_store.h"

#include <sqlite3.h>

#include <memory>
#include <vector>

namespace rv::server {
namespace {

struct Table {
    const char* name;
    const char* columns;
    const char* order;    // the order rows are copied in
    const char* identity; // its identity column, set past the copied ids ("" none)
};

// Settled sets before pending ones: a pending set must find the confirmed set it was issued from.
const Table kTables[] = {
    {"cards",
     "cert_seq_no, legal_person, id_type, id_number, ic_code, ent_name, unit_type, ra_code, crypt_algo, "
     "manage_password, cert_pem, enrolled_at, generation",
     "cert_seq_no", ""},
    {"issues",
     "id, serial, env_serial, cert_seq_no, ic_code, op_seq_no, issued_at, not_before, not_after, cert_pem, "
     "state, state_at, reason, parent",
     "state = 'pending', id", "id"},
    {"used_randoms", "random, expires", "random", ""},
    {"verifications", "op_seq_no, cert_seq_no, random, sign_date, expires", "op_seq_no", ""},
    {"verify_failures", "id, source, cert_seq_no, at", "id", "id"},
};

struct SqliteDb {
    sqlite3* db = nullptr;
    ~SqliteDb() { sqlite3_close_v2(db); }
};

std::string Placeholders(const std::string& columns) {
    std::string out;
    int n = 1;
    out += "$1";
    for (char c : columns) {
        if (c == ',') {
            out += ", $" + std::to_string(++n);
        }
    }
    return out;
}

// Copies one table's rows from the SQLite read transaction into the PostgreSQL one; its row count.
bool CopyTable(sqlite3* from, pg::Connection& to, const Table& t, std::int64_t& rows, std::string& error) {
    const std::string select =
        std::string("SELECT ") + t.columns + " FROM " + t.name + " ORDER BY " + t.order;
    const std::string insert =
        std::string("INSERT INTO ") + t.name + "(" + t.columns + ") VALUES(" + Placeholders(t.columns) + ")";
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(from, select.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        error = std::string("cannot read ") + t.name + ": " + sqlite3_errmsg(from);
        sqlite3_finalize(stmt);
        return false;
    }
    std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> guard(stmt, &sqlite3_finalize);
    rows = 0;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        pg::Params values;
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
            values.emplace_back(text ? std::optional<std::string>(std::string(
                                           text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, c))))
                                     : std::nullopt);
        }
        if (!to.Run(insert.c_str(), values, nullptr, error)) {
            error.insert(0, std::string("cannot copy a row of ") + t.name + ": ");
            return false;
        }
        ++rows;
    }
    if (rc != SQLITE_DONE) {
        error = std::string("cannot read ") + t.name + ": " + sqlite3_errmsg(from);
        return false;
    }
    if (*t.identity != '\0') {
        const std::string next = std::string("SELECT setval(pg_get_serial_sequence('") + t.name + "', '" +
                                 t.identity + "'), GREATEST((SELECT max(" + t.identity + ") FROM " + t.name +
                                 "), 1))";
        if (!to.Run(next.c_str(), {}, nullptr, error)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool MigrateSqliteToPostgres(const std::filesystem::path& sqliteDir, const std::string& url,
                             TableCounts& copied, std::string& error) {
    // The source: a store of the version this program knows (an older one is upgraded by starting the
    // server over it once), read in one transaction, so that the copy and its counts are of one moment.
    SqliteStore source;
    if (!source.OpenReadOnly(sqliteDir, error)) {
        error = "source: " + error;
        return false;
    }
    SqliteDb from;
    if (sqlite3_open_v2(source.DatabasePath().c_str(), &from.db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        error = "source: cannot open " + source.DatabasePath().string();
        return false;
    }
    sqlite3_busy_timeout(from.db, 10000);
    PgStore target;
    if (!target.Open(url, error, 1)) {
        error = "target: " + error;
        return false;
    }
    return target.Pool().Transact(
        "migrate",
        [&](pg::Connection& to, std::string& err) {
            copied.clear();
            pg::Result r;
            // Nobody enrols or renews in the target meanwhile; and it must hold nothing yet.
            if (!to.Exec("LOCK TABLE cards, issues, used_randoms, verifications, verify_failures IN "
                         "EXCLUSIVE MODE",
                         err) ||
                !to.Run("SELECT (SELECT count(*) FROM cards), (SELECT count(*) FROM issues)", {}, &r, err)) {
                return false;
            }
            if (r.Int(0, 0) != 0 || r.Int(0, 1) != 0) {
                err = "the target already holds " + r.Text(0, 0) + " cards and " + r.Text(0, 1) +
                      " issued sets: migrate fills an empty store only, and overwrites nothing";
                return false;
            }
            char* message = nullptr;
            if (sqlite3_exec(from.db, "BEGIN", nullptr, nullptr, &message) != SQLITE_OK) {
                err = std::string("source: ") + (message ? message : "cannot begin");
                sqlite3_free(message);
                return false;
            }
            std::unique_ptr<sqlite3, void (*)(sqlite3*)> end(
                from.db, [](sqlite3* db) { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); });
            // The random key goes along: randoms handed out before the move stay good after it.
            sqlite3_stmt* key = nullptr;
            sqlite3_prepare_v2(from.db, "SELECT value FROM meta WHERE key = 'random_key'", -1, &key, nullptr);
            std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> keyGuard(key, &sqlite3_finalize);
            if (key == nullptr || sqlite3_step(key) != SQLITE_ROW || sqlite3_column_text(key, 0) == nullptr) {
                err = "source: no random key";
                return false;
            }
            const std::string randomKey = reinterpret_cast<const char*>(sqlite3_column_text(key, 0));
            if (!to.Run("UPDATE meta SET value = $1 WHERE key = 'random_key'", {randomKey}, nullptr, err)) {
                return false;
            }
            for (const Table& t : kTables) {
                std::int64_t rows = 0;
                if (!CopyTable(from.db, to, t, rows, err)) {
                    return false;
                }
                // What arrived is what was there, table by table, before anything is committed.
                const std::string count = std::string("SELECT count(*) FROM ") + t.name;
                sqlite3_stmt* s = nullptr;
                sqlite3_prepare_v2(from.db, count.c_str(), -1, &s, nullptr);
                std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> sGuard(s, &sqlite3_finalize);
                const std::int64_t there =
                    s && sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
                if (!to.Run(count.c_str(), {}, &r, err)) {
                    return false;
                }
                if (r.Int(0, 0) != there || rows != there) {
                    err = std::string("the counts of ") + t.name + " differ after the copy (source " +
                          std::to_string(there) + ", copied " + std::to_string(rows) + ", target " +
                          r.Text(0, 0) + "): nothing was committed";
                    return false;
                }
                copied[t.name] = rows;
            }
            return true;
        },
        error);
}

} // namespace rv::server
