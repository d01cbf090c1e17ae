#include "core/store.h"

#include <algorithm>

namespace rv::server {

namespace {
constexpr std::size_t kMaxCertSeqNo = 64;
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

bool Store::ValidCertSeqNo(const std::string& certSeqNo) {
    return !certSeqNo.empty() && certSeqNo.size() <= kMaxCertSeqNo;
}

std::optional<CardState> Store::FindCard(const std::string& certSeqNo) {
    CardState state;
    std::string error;
    if (FindCard(certSeqNo, state, error) != Found::Yes) {
        return std::nullopt;
    }
    return state;
}

std::vector<IssueRecord> Store::Issues() {
    std::vector<IssueRecord> out;
    std::string error;
    Issues(out, error);
    return out;
}

std::time_t FreeAgainAt(int failures, std::time_t last, const VerifyLimits& limits) {
    if (failures < limits.sourceFreeFailures) {
        return 0;
    }
    // Doubling from the first wait, capped at the window (which a shift past 30 would overflow).
    const int doublings = std::min(failures - limits.sourceFreeFailures, 30);
    const std::int64_t wait = std::min<std::int64_t>(
        static_cast<std::int64_t>(std::max(limits.sourceFirstWaitSeconds, 1)) << doublings,
        std::max(limits.windowSeconds, 1));
    return last + static_cast<std::time_t>(wait);
}

std::time_t ParseTimeDigits(const std::string& digits) {
    if (digits.size() != 14 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    const auto field = [&](std::size_t at, std::size_t n) { return std::stoi(digits.substr(at, n)); };
    struct tm tm {};
    tm.tm_year = field(0, 4) - 1900;
    tm.tm_mon = field(4, 2) - 1;
    tm.tm_mday = field(6, 2);
    tm.tm_hour = field(8, 2);
    tm.tm_min = field(10, 2);
    tm.tm_sec = field(12, 2);
    return ::timegm(&tm);
}

} // namespace rv::server
