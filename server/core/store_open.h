// Which store a command works on, and opening it. `--store` names one: `postgresql://...` (libpq's URL,
// also `postgres://...`; a password goes in ~/.pgpass, $PGPASSFILE or $PGPASSWORD, never on the command
// line, which every local user can read) or `sqlite:DIR`. Without it: the SQLite store of the data folder.
#pragma once

#include "core/store.h"

#include <memory>
#include <string>

namespace rv::server {

struct StoreLocation {
    bool postgres = false;
    std::string where; // the URL, or the folder
    // For log lines and messages (it holds no password).
    std::string Describe() const { return postgres ? where : "sqlite:" + where; }
};

// `text` ("" for the default) into a location; false with the reason (a password in the URL included).
bool ParseStoreLocation(const std::string& text, const std::string& dataDir, StoreLocation& out,
                        std::string& error);

// Opens the store: to serve or change it (a new store is made where there is none yet, as each engine's
// Open says), or, with `readOnly`, one that must exist already. `connections`: PostgreSQL's pool.
std::unique_ptr<Store> OpenStore(const StoreLocation& location, bool readOnly, std::string& error,
                                 int connections = 8);

} // namespace rv::server
