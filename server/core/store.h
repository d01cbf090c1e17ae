// The server's store, as the service sees it: enrolled cards, every issued set with its state, the
// randoms verifications have used, the verifications that await their renewal request, and the failed
// verifications that the limits count. Everything the service's rules rest on lives here, and each
// method that changes it is one transaction, so that several servers over one database keep the rules
// as one server does. `SqliteStore` (sqlite_store.h) implements it over one SQLite file.
//
// The life of an issued set (docs/server.md draws it): a card is known by its *confirmed* certificate,
// its latest confirmed set or, before any, the certificate it was enrolled with. Every renewal signed
// with that certificate's key issues a *pending* set from it; sets issued from the same certificate are
// siblings, and issuing one never touches another. A renewal signed with a pending set's key shows that
// the card holds that set: it becomes the confirmed one, and the certificate it was issued from and its
// siblings are *superseded*, all in one transaction. A verification carries no signature and settles
// nothing. The confirmed certificate renews again, once a set was issued from it, only for a grace
// period and only a few times: the store enforces both in the transaction that records the renewal.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace rv::server {

struct CardRecord {
    std::string certSeqNo; // user certificate number: the card's key in the store
    std::string legalPerson;
    std::string idType;
    std::string idNumber;
    std::string icCode; // card number
    std::string entName;
    std::string unitType;
    std::string raCode;
    std::string cryptAlgo;
    std::string managePassword;
    std::string certPem;    // the certificate the card was enrolled with
    std::string enrolledAt; // YYYYMMDDhhmmss UTC
};

enum class SetState { Pending, Confirmed, Superseded };
const char* SetStateName(SetState state);

struct IssueRecord {
    std::int64_t id = 0;   // order of issue
    std::string serial;    // new signing certificate, upper-case hex
    std::string envSerial; // new encryption certificate
    std::string certSeqNo;
    std::string icCode;
    std::string opSeqNo;
    std::string issuedAt; // YYYYMMDDhhmmss UTC
    std::string notBefore;
    std::string notAfter;
    std::string certPem; // the new signing certificate
    SetState state = SetState::Pending;
    std::string stateAt; // when it reached its state, YYYYMMDDhhmmss UTC
    std::string reason;  // why it was superseded
    std::string parent;  // the certificate whose key signed its request: a set's serial, "" the enrolled one
};

// A card as renewals see it, as of one moment.
struct CardState {
    CardRecord card;
    std::int64_t generation = 0; // changes with every enrolment of this number
    // The card's confirmed set; none while it is known by its enrolled certificate.
    std::optional<IssueRecord> confirmed;
    // The sets issued from the confirmed certificate that the card has not shown yet, oldest first.
    std::vector<IssueRecord> pending;

    const std::string& ConfirmedPem() const { return confirmed ? confirmed->certPem : card.certPem; }
    // The confirmed certificate as a set's `parent` names it.
    std::string ConfirmedSerial() const { return confirmed ? confirmed->serial : std::string(); }
};

// A verification that awaits its renewal request.
struct Verification {
    std::string opSeqNo;
    std::string certSeqNo;
    std::string random; // the random the renewal request must name
    std::string signDate;
    std::time_t expires = 0;
};

// Limits on verifications. A source is a client address (an IPv6 client: its /64).
struct VerifyLimits {
    int windowSeconds = 3600; // failures older than this no longer count
    // A source verifies freely until it has failed this often within the window; after that it waits,
    // from its last failure, `sourceFirstWaitSeconds` and twice as long for each further failure, at most
    // the window.
    int sourceFreeFailures = 5;
    int sourceFirstWaitSeconds = 60;
    // Failures of one card from all sources within the window: at this many, every verification of the
    // card is refused until the oldest has left the window.
    int cardLimit = 100;
    std::size_t maxVerifications = 10000;    // awaiting their renewal request, all cards together
    std::size_t maxVerificationsPerCard = 8; // a further one drops the card's oldest
};

// When a source that has failed `failures` times within the window, the last time at `last`, may verify
// again; 0 when it may now. The same rule for every engine.
std::time_t FreeAgainAt(int failures, std::time_t last, const VerifyLimits& limits);

// How often the confirmed certificate may renew again once a set was issued from it.
struct RenewLimits {
    int graceSeconds = 3 * 86400; // from the first set issued from it
    int maxSets = 10;             // pending sets issued from it
};

// A lookup: found, not there, or the store failed (never to be taken for "not there").
enum class Found { Yes, No, Error };

// One verification as the service judged it, for the store to record under its limits.
struct VerifyAttempt {
    enum class Kind {
        Match,     // the data agree: record `verification`
        Mismatch,  // count a failure against the source and the card
        Refusable, // the data agree, but the certificate they name may not renew: nothing is recorded
    };
    Kind kind = Kind::Mismatch;
    std::string random; // used up whatever the outcome, unless it had been used before
    std::time_t randomExpires = 0;
    std::string source;
    std::string certSeqNo;
    Verification verification; // with Match
};

enum class VerifyOutcome {
    Recorded,    // Match: the verification awaits its renewal request
    Failed,      // Mismatch: counted
    Accepted,    // Refusable: within the limits, the service may say why it refuses
    RandomUsed,  // the random had been used: nothing else happened
    SourceWaits, // the source is over its limit (`until`): nothing compared counts
    CardLimit,   // the card is over its limit (`until`)
    Full,        // maxVerifications await their requests
    Error,
};

enum class TakeOutcome { Taken, Unknown, Expired, WrongRandom, Error };

enum class CommitOutcome {
    Committed,
    Reenrolled,  // the card was enrolled again meanwhile
    SignerGone,  // the certificate that signed is no longer one the card may hold
    GraceOver,   // the confirmed certificate renewed again after its grace period
    TooManySets, // the confirmed certificate reached RenewLimits::maxSets
    Error,
};

// What a committed renewal changed besides recording the new set, for the log.
struct CommitInfo {
    std::string confirmed;               // the pending set it confirmed ("" none)
    std::vector<std::string> superseded; // the sets it superseded
};

class Store {
public:
    virtual ~Store() = default;
    Store() = default;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // The key that signs the server's randoms, made once with the store and kept in it.
    virtual const std::string& RandomKey() const = 0;
    // True when a used random's record is durable before RecordVerification returns, so that no crash
    // can make it usable again: the service then accepts randoms another server (or this one before a
    // restart) issued. False: randoms issued before the service started are refused.
    virtual bool RandomsOutliveRestarts() const { return false; }

    // Adds a card, or replaces it when `replace` (the sets issued to its earlier enrolment are
    // superseded). Durable before it returns.
    virtual bool PutCard(const CardRecord& card, bool replace, std::string& error) = 0;
    virtual Found FindCard(const std::string& certSeqNo, CardState& out, std::string& error) = 0;
    // The card, when the store has it and can say so.
    std::optional<CardState> FindCard(const std::string& certSeqNo);

    // When `source` may verify again (0: now), a read only: refuses a waiting source before anything.
    virtual bool SourceFreeAt(const std::string& source, std::time_t now, const VerifyLimits& limits,
                              std::time_t& until, std::string& error) = 0;
    // Uses up the attempt's random and, within the limits, records what the attempt calls for, in one
    // transaction; `until` is set for SourceWaits and CardLimit. Not waiting for its own sync: randoms
    // issued before the server started are refused, so a record lost with the machine changes nothing.
    virtual VerifyOutcome RecordVerification(const VerifyAttempt& attempt, const VerifyLimits& limits,
                                             std::time_t now, std::time_t& until, std::string& error) = 0;
    // Takes the verification `opSeqNo` for its renewal request: it is used up when `random` is its
    // random (compared in constant time), or when it has expired; a wrong random leaves it in place.
    virtual TakeOutcome TakeVerification(const std::string& opSeqNo, const std::string& random,
                                         std::time_t now, Verification& out, std::string& error) = 0;
    virtual std::size_t VerificationCount() = 0;

    // Records `issue` as a pending set issued from the certificate `signer` (a set's serial, "" the
    // enrolled certificate) whose key signed the request, in one durable transaction that first settles
    // what that signature shows: a pending signer is confirmed, and the certificate it was issued from and
    // its siblings are superseded; the confirmed signer must be within `limits` when sets were issued
    // from it. Anything else (the card enrolled again since `generation`, a signer no longer acceptable)
    // records nothing.
    virtual CommitOutcome CommitRenewal(const IssueRecord& issue, std::int64_t generation,
                                        const std::string& signer, const RenewLimits& limits, std::time_t now,
                                        CommitInfo& info, std::string& error) = 0;
    // Supersedes the card's pending sets (an operator found that the card never got them), so that its
    // confirmed certificate renews again. The number superseded, or -1.
    virtual int WithdrawPending(const std::string& certSeqNo, std::time_t now, std::string& error) = 0;

    // Every issued set in the order of issue.
    virtual bool Issues(std::vector<IssueRecord>& out, std::string& error) = 0;
    std::vector<IssueRecord> Issues();
    virtual std::size_t CardCount() = 0;
    virtual std::size_t IssueCount() = 0;

    static bool ValidCertSeqNo(const std::string& certSeqNo);
};

// Texts an operator reads in `renvora-server issues` and in the database, the same for every engine.
namespace reason {
inline constexpr const char* kReplaced = "replaced by the confirmed set ";
inline constexpr const char* kSibling = "never installed: the card holds its sibling ";
inline constexpr const char* kReEnrolled = "the card was enrolled again";
inline constexpr const char* kWithdrawn = "withdrawn by the operator: the card never installed it";
} // namespace reason

// YYYYMMDDhhmmss (UTC) to a time; -1 when it is not one.
std::time_t ParseTimeDigits(const std::string& digits);

} // namespace rv::server
