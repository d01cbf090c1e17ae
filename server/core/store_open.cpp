#include "core/store_open.h"

#include "core/pg_store.h"
#include "core/sqlite_store.h"

namespace rv::server {

bool ParseStoreLocation(const std::string& text, const std::string& dataDir, StoreLocation& out,
                        std::string& error) {
    out = StoreLocation{};
    if (text.empty()) {
        out.where = dataDir;
        return true;
    }
    if (text.rfind("sqlite:", 0) == 0) {
        out.where = text.substr(7);
        if (out.where.empty()) {
            error = "sqlite: names the data folder, e.g. sqlite:/var/lib/renvora-server";
            return false;
        }
        return true;
    }
    if (text.rfind("postgresql://", 0) != 0 && text.rfind("postgres://", 0) != 0) {
        error = "'" + text + "' is neither postgresql://... nor sqlite:DIR";
        return false;
    }
    // user:password@ before the host, or a password parameter: both would show in /proc to every user.
    const std::size_t start = text.find("://") + 3;
    const std::string authority = text.substr(start, text.find_first_of("/?", start) - start);
    const std::size_t at = authority.rfind('@');
    if ((at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos) ||
        text.find("password=") != std::string::npos) {
        error = "the store's URL holds a password, which every local user can read on the command line; "
                "put it in ~/.pgpass (or the file $PGPASSFILE names) and leave it out of the URL";
        return false;
    }
    out.postgres = true;
    out.where = text;
    return true;
}

std::unique_ptr<Store> OpenStore(const StoreLocation& location, bool readOnly, std::string& error,
                                 int connections) {
    if (location.postgres) {
        auto store = std::make_unique<PgStore>();
        const bool ok = readOnly ? store->OpenReadOnly(location.where, error)
                                 : store->Open(location.where, error, connections);
        return ok ? std::move(store) : nullptr;
    }
    auto store = std::make_unique<SqliteStore>();
    const bool ok =
        readOnly ? store->OpenReadOnly(location.where, error) : store->Open(location.where, error);
    return ok ? std::move(store) : nullptr;
}

} // namespace rv::server
