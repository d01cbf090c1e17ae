#include "core/observed_store.h"

#include <chrono>

namespace rv::server {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

bool ObservedStore::PutCard(const CardRecord& card, bool replace, std::string& error) {
    const auto start = Clock::now();
    const bool ok = inner_.PutCard(card, replace, error);
    // A refused enrolment (the number taken) is no store error; the store cannot tell them apart here,
    // and enrolments are an operator's, not a holder's: counted as they come.
    metrics_.StoreOperation("put_card", Since(start), !ok);
    return ok;
}

Found ObservedStore::FindCard(const std::string& certSeqNo, CardState& out, std::string& error) {
    const auto start = Clock::now();
    const Found found = inner_.FindCard(certSeqNo, out, error);
    metrics_.StoreOperation("find_card", Since(start), found == Found::Error);
    return found;
}

bool ObservedStore::SourceFreeAt(const std::string& source, std::time_t now, const VerifyLimits& limits,
                                 std::time_t& until, std::string& error) {
    const auto start = Clock::now();
    const bool ok = inner_.SourceFreeAt(source, now, limits, until, error);
    metrics_.StoreOperation("source_free_at", Since(start), !ok);
    if (ok && until > 0) {
        metrics_.VerifyLimitHit("address");
    }
    return ok;
}

VerifyOutcome ObservedStore::RecordVerification(const VerifyAttempt& attempt, const VerifyLimits& limits,
                                                std::time_t now, std::time_t& until, std::string& error) {
    const auto start = Clock::now();
    const VerifyOutcome outcome = inner_.RecordVerification(attempt, limits, now, until, error);
    metrics_.StoreOperation("record_verification", Since(start), outcome == VerifyOutcome::Error);
    if (outcome == VerifyOutcome::SourceWaits) {
        metrics_.VerifyLimitHit("address");
    } else if (outcome == VerifyOutcome::CardLimit) {
        metrics_.VerifyLimitHit("card");
    }
    return outcome;
}

TakeOutcome ObservedStore::TakeVerification(const std::string& opSeqNo, const std::string& random,
                                            std::time_t now, Verification& out, std::string& error) {
    const auto start = Clock::now();
    const TakeOutcome outcome = inner_.TakeVerification(opSeqNo, random, now, out, error);
    metrics_.StoreOperation("take_verification", Since(start), outcome == TakeOutcome::Error);
    return outcome;
}

CommitOutcome ObservedStore::CommitRenewal(const IssueRecord& issue, std::int64_t generation,
                                           const std::string& signer, const RenewLimits& limits,
                                           std::time_t now, CommitInfo& info, std::string& error) {
    const auto start = Clock::now();
    const CommitOutcome outcome = inner_.CommitRenewal(issue, generation, signer, limits, now, info, error);
    metrics_.StoreOperation("commit_renewal", Since(start), outcome == CommitOutcome::Error);
    return outcome;
}

int ObservedStore::WithdrawPending(const std::string& certSeqNo, std::time_t now, std::string& error) {
    const auto start = Clock::now();
    const int n = inner_.WithdrawPending(certSeqNo, now, error);
    metrics_.StoreOperation("withdraw_pending", Since(start), n < 0);
    return n;
}

bool ObservedStore::Issues(std::vector<IssueRecord>& out, std::string& error) {
    const auto start = Clock::now();
    const bool ok = inner_.Issues(out, error);
    metrics_.StoreOperation("issues", Since(start), !ok);
    return ok;
}

} // namespace rv::server
