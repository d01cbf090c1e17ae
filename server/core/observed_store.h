// A store as the operators' figures see it: every call to the store it wraps is timed per operation,
// counted as a store error when the store failed it (not when it refused), and verifications refused by
// a limit are counted by scope. It changes nothing else, whichever engine it wraps.
#pragma once

#include "core/server_metrics.h"
#include "core/store.h"

namespace rv::server {

class ObservedStore : public Store {
public:
    ObservedStore(Store& inner, ServerMetrics& metrics) : inner_(inner), metrics_(metrics) {}

    const std::string& RandomKey() const override { return inner_.RandomKey(); }
    bool RandomsOutliveRestarts() const override { return inner_.RandomsOutliveRestarts(); }
    bool PutCard(const CardRecord& card, bool replace, std::string& error) override;
    using Store::FindCard;
    Found FindCard(const std::string& certSeqNo, CardState& out, std::string& error) override;
    bool SourceFreeAt(const std::string& source, std::time_t now, const VerifyLimits& limits,
                      std::time_t& until, std::string& error) override;
    VerifyOutcome RecordVerification(const VerifyAttempt& attempt, const VerifyLimits& limits,
                                     std::time_t now, std::time_t& until, std::string& error) override;
    TakeOutcome TakeVerification(const std::string& opSeqNo, const std::string& random, std::time_t now,
                                 Verification& out, std::string& error) override;
    std::size_t VerificationCount() override { return inner_.VerificationCount(); }
    CommitOutcome CommitRenewal(const IssueRecord& issue, std::int64_t generation, const std::string& signer,
                                const RenewLimits& limits, std::time_t now, CommitInfo& info,
                                std::string& error) override;
    int WithdrawPending(const std::string& certSeqNo, std::time_t now, std::string& error) override;
    using Store::Issues;
    bool Issues(std::vector<IssueRecord>& out, std::string& error) override;
    std::size_t CardCount() override { return inner_.CardCount(); }
    std::size_t IssueCount() override { return inner_.IssueCount(); }

private:
    Store& inner_;
    ServerMetrics& metrics_;
};

} // namespace rv::server
