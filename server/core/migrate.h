// `renvora-server migrate`: a SQLite store copied into an empty PostgreSQL database, for a deployment
// that outgrows one machine. Every table is copied (cards, issued sets with their states, used randoms,
// outstanding verifications, failed verifications) and the random key with them, so that randoms and
// verifications handed out before the move stay good after it; all in one transaction, which compares
// the count of every table with the source's before it commits. A target that holds cards or sets is
// refused: nothing is merged or overwritten.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace rv::server {

// Rows copied, by table.
using TableCounts = std::map<std::string, std::int64_t>;

bool MigrateSqliteToPostgres(const std::filesystem::path& sqliteDir, const std::string& url,
                             TableCounts& copied, std::string& error);

} // namespace rv::server
