// The server's store: enrolled cards and the record of every certificate issued.
//
// On disk (the data folder):
//   cards/<hex of certSeqNo>.json  one file per card as enrolled, replaced atomically (temp, fsync,
//                                  rename, fsync of the folder)
//   issues.jsonl                   the journal of issued certificates, one JSON object per line,
//                                  appended and fdatasync'd before the answer goes out; a line torn by a
//                                  crash is cut off on open
// A card's current certificate is its enrolled one, replaced by every later issue for it in the
// journal, so a renewal costs one durable append (concurrent renewals share one fdatasync).
// Texts are UTF-8. All members are safe to call from several threads.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
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
    std::string certPem;    // the card's current signing certificate
    std::string enrolledAt; // YYYYMMDDhhmmss UTC
    // Journal entries from this index on apply to this enrolment (earlier ones to a replaced one).
    std::size_t journalFrom = 0;
};

struct IssueRecord {
    std::string serial;    // new signing certificate, upper-case hex
    std::string envSerial; // new encryption certificate
    std::string certSeqNo;
    std::string icCode;
    std::string opSeqNo;
    std::string issuedAt; // YYYYMMDDhhmmss UTC
    std::string notBefore;
    std::string notAfter;
    std::string certPem; // the new signing certificate
};

class Store {
public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens (creating when needed) the store in `dir` and loads its cards and issue records.
    bool Open(const std::filesystem::path& dir, std::string& error);

    // Adds a card, or replaces it when `replace`; durable before it returns.
    bool PutCard(const CardRecord& card, bool replace, std::string& error);
    // The card with this certificate number. Cards enrolled by another process while the server runs
    // are read from disk on first use.
    std::optional<CardRecord> FindCard(const std::string& certSeqNo);

    // Records the issue and makes its certificate the card's current one; both are on disk before it
    // returns true.
    bool CommitRenewal(const IssueRecord& issue, std::string& error);

    // Held by whoever checks and renews one card, so two renewals of the same card cannot interleave.
    std::shared_ptr<std::mutex> CardLock(const std::string& certSeqNo);

    std::vector<IssueRecord> Issues() const;
    std::size_t CardCount() const;
    std::size_t IssueCount() const;

    static bool ValidCertSeqNo(const std::string& certSeqNo);
    static std::string CardToJson(const CardRecord& card);
    static bool CardFromJson(const std::string& json, CardRecord& out);
    static std::string IssueToJson(const IssueRecord& issue);
    static bool IssueFromJson(const std::string& json, IssueRecord& out);

private:
    std::filesystem::path CardFile(const std::string& certSeqNo) const;
    bool LoadIssues(std::string& error);
    // With mu_ held: the card's certificate after the journal's issues for it.
    void ApplyJournal(CardRecord& card) const;
    // Appends the lines of `batch` in one write and one fdatasync.
    bool AppendToJournal(const std::string& lines, std::string& error);

    std::filesystem::path dir_;
    mutable std::mutex mu_; // cards_, locks_, issues_
    std::map<std::string, CardRecord> cards_;
    std::map<std::string, std::shared_ptr<std::mutex>> locks_;
    std::vector<IssueRecord> issues_;
    int logFd_ = -1;
    // Group commit: committers queue their records; one of them at a time writes and syncs all queued.
    struct PendingIssue {
        const IssueRecord* issue;
        bool done = false;
        bool ok = false;
        std::string error;
    };
    std::mutex queueMu_;
    std::condition_variable queueCv_;
    std::vector<PendingIssue*> queue_;
    bool flushing_ = false;
};

} // namespace rv::server
