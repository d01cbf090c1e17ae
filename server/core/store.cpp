#include "core/store.h"

#include "core/files.h"
#include "core/json.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace rv::server {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxCertSeqNo = 64;

std::string Hex(const std::string& bytes) {
    static const char* kHex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

} // namespace

Store::~Store() {
    if (logFd_ >= 0) {
        ::close(logFd_);
    }
}

bool Store::ValidCertSeqNo(const std::string& certSeqNo) {
    return !certSeqNo.empty() && certSeqNo.size() <= kMaxCertSeqNo;
}

std::string Store::CardToJson(const CardRecord& c) {
    return JsonObject({{"certSeqNo", c.certSeqNo},
                       {"legalPerson", c.legalPerson},
                       {"idType", c.idType},
                       {"idNumber", c.idNumber},
                       {"icCode", c.icCode},
                       {"entName", c.entName},
                       {"unitType", c.unitType},
                       {"raCode", c.raCode},
                       {"cryptAlgo", c.cryptAlgo},
                       {"managePassword", c.managePassword},
                       {"certPem", c.certPem},
                       {"enrolledAt", c.enrolledAt},
                       {"journalFrom", std::to_string(c.journalFrom)}});
}

bool Store::CardFromJson(const std::string& json, CardRecord& out) {
    JsonDoc doc(json);
    CardRecord c;
    bool ok = doc.GetString("certSeqNo", c.certSeqNo) && doc.GetString("legalPerson", c.legalPerson) &&
              doc.GetString("idType", c.idType) && doc.GetString("idNumber", c.idNumber) &&
              doc.GetString("icCode", c.icCode) && doc.GetString("entName", c.entName) &&
              doc.GetString("unitType", c.unitType) && doc.GetString("raCode", c.raCode) &&
              doc.GetString("cryptAlgo", c.cryptAlgo) && doc.GetString("managePassword", c.managePassword) &&
              doc.GetString("certPem", c.certPem) && doc.GetString("enrolledAt", c.enrolledAt) &&
              ValidCertSeqNo(c.certSeqNo);
    std::string from;
    if (ok && doc.GetString("journalFrom", from)) {
        char* end = nullptr;
        unsigned long long v = std::strtoull(from.c_str(), &end, 10);
        ok = !from.empty() && *end == '\0';
        c.journalFrom = static_cast<std::size_t>(v);
    }
    if (ok) {
        out = std::move(c);
    }
    return ok;
}

std::string Store::IssueToJson(const IssueRecord& i) {
    return JsonObject({{"serial", i.serial},
                       {"envSerial", i.envSerial},
                       {"certSeqNo", i.certSeqNo},
                       {"icCode", i.icCode},
                       {"opSeqNo", i.opSeqNo},
                       {"issuedAt", i.issuedAt},
                       {"notBefore", i.notBefore},
                       {"notAfter", i.notAfter},
                       {"certPem", i.certPem}});
}

bool Store::IssueFromJson(const std::string& json, IssueRecord& out) {
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

fs::path Store::CardFile(const std::string& certSeqNo) const {
    // Hex keeps any certificate number a safe file name.
    return dir_ / "cards" / (Hex(certSeqNo) + ".json");
}

bool Store::Open(const fs::path& dir, std::string& error) {
    std::lock_guard lock(mu_);
    dir_ = dir;
    std::error_code ec;
    fs::create_directories(dir_ / "cards", ec);
    if (ec) {
        error = "cannot create " + (dir_ / "cards").string() + ": " + ec.message();
        return false;
    }
    cards_.clear();
    for (const auto& entry : fs::directory_iterator(dir_ / "cards", ec)) {
        if (entry.path().extension() != ".json") {
            continue; // temp files of a write that never finished
        }
        std::string text;
        CardRecord card;
        if (!ReadWholeFile(entry.path(), text, error)) {
            return false;
        }
        if (!CardFromJson(text, card)) {
            error = "damaged card record: " + entry.path().string();
            return false;
        }
        cards_[card.certSeqNo] = std::move(card);
    }
    if (ec) {
        error = "cannot list " + (dir_ / "cards").string() + ": " + ec.message();
        return false;
    }
    if (!LoadIssues(error)) {
        return false;
    }
    for (auto& [id, card] : cards_) {
        ApplyJournal(card);
    }
    return true;
}

void Store::ApplyJournal(CardRecord& card) const {
    for (std::size_t i = card.journalFrom; i < issues_.size(); ++i) {
        if (issues_[i].certSeqNo == card.certSeqNo) {
            card.certPem = issues_[i].certPem;
        }
    }
}

bool Store::LoadIssues(std::string& error) {
    fs::path log = dir_ / "issues.jsonl";
    if (logFd_ >= 0) {
        ::close(logFd_);
    }
    logFd_ = ::open(log.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd_ < 0) {
        error = "cannot open " + log.string() + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    if (!ReadWholeFile(log, text, error, std::size_t{1} << 31)) {
        return false;
    }
    // A crash in the middle of an append leaves a line without its end: cut it off, it was never
    // confirmed to anybody.
    std::size_t complete = text.rfind('\n');
    complete = complete == std::string::npos ? 0 : complete + 1;
    if (complete < text.size()) {
        if (::ftruncate(logFd_, static_cast<off_t>(complete)) != 0 || ::fsync(logFd_) != 0) {
            error = "cannot repair " + log.string() + ": " + std::strerror(errno);
            return false;
        }
        text.resize(complete);
    }
    issues_.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        IssueRecord issue;
        if (line.empty()) {
            continue;
        }
        if (!IssueFromJson(line, issue)) {
            error = "damaged issue record in " + log.string();
            return false;
        }
        issues_.push_back(std::move(issue));
    }
    return true;
}

bool Store::PutCard(const CardRecord& card, bool replace, std::string& error) {
    if (!ValidCertSeqNo(card.certSeqNo)) {
        error = "the certificate number must have 1 to 64 bytes";
        return false;
    }
    std::lock_guard lock(mu_);
    std::error_code ec;
    bool exists = cards_.count(card.certSeqNo) != 0 || fs::exists(CardFile(card.certSeqNo), ec);
    if (exists && !replace) {
        error = "a card with certificate number " + card.certSeqNo + " is already enrolled";
        return false;
    }
    // Issues journaled so far belong to an earlier enrolment of this number, not to this one.
    CardRecord record = card;
    record.journalFrom = issues_.size();
    if (!WriteFileAtomically(CardFile(record.certSeqNo), CardToJson(record), error)) {
        return false;
    }
    cards_[record.certSeqNo] = record;
    return true;
}

std::optional<CardRecord> Store::FindCard(const std::string& certSeqNo) {
    if (!ValidCertSeqNo(certSeqNo)) {
        return std::nullopt;
    }
    std::lock_guard lock(mu_);
    auto it = cards_.find(certSeqNo);
    if (it != cards_.end()) {
        return it->second;
    }
    std::string text, error;
    CardRecord card;
    if (!ReadWholeFile(CardFile(certSeqNo), text, error) || !CardFromJson(text, card) ||
        card.certSeqNo != certSeqNo) {
        return std::nullopt;
    }
    ApplyJournal(card);
    cards_[certSeqNo] = card;
    return card;
}

bool Store::AppendToJournal(const std::string& lines, std::string& error) {
    ssize_t n = ::write(logFd_, lines.data(), lines.size());
    if (n == static_cast<ssize_t>(lines.size()) && ::fdatasync(logFd_) == 0) {
        return true;
    }
    error = std::string("cannot append to the issue journal: ") + std::strerror(errno);
    if (n > 0) {
        // Cut off what was written, so that the next append starts on a line of its own.
        off_t size = ::lseek(logFd_, 0, SEEK_END);
        if (size >= n && ::ftruncate(logFd_, size - n) == 0) {
            ::fsync(logFd_);
        }
    }
    return false;
}

bool Store::CommitRenewal(const IssueRecord& issue, std::string& error) {
    if (!FindCard(issue.certSeqNo)) {
        error = "unknown card " + issue.certSeqNo;
        return false;
    }
    PendingIssue mine{&issue, false, false, {}};
    std::unique_lock lock(queueMu_);
    queue_.push_back(&mine);
    while (!mine.done) {
        if (flushing_) {
            queueCv_.wait(lock);
            continue;
        }
        // This thread writes everything queued so far, with one fdatasync for all of it.
        flushing_ = true;
        std::vector<PendingIssue*> batch;
        batch.swap(queue_);
        lock.unlock();
        std::string lines;
        for (const PendingIssue* p : batch) {
            lines += IssueToJson(*p->issue) + "\n";
        }
        std::string batchError;
        bool ok = AppendToJournal(lines, batchError);
        if (ok) {
            // In journal order, so that indexes in memory match the lines on disk.
            std::lock_guard storeLock(mu_);
            for (const PendingIssue* p : batch) {
                issues_.push_back(*p->issue);
                auto it = cards_.find(p->issue->certSeqNo);
                if (it != cards_.end()) {
                    it->second.certPem = p->issue->certPem;
                }
            }
        }
        lock.lock();
        for (PendingIssue* p : batch) {
            p->done = true;
            p->ok = ok;
            p->error = batchError;
        }
        flushing_ = false;
        queueCv_.notify_all();
    }
    if (!mine.ok) {
        error = mine.error;
    }
    return mine.ok;
}

std::shared_ptr<std::mutex> Store::CardLock(const std::string& certSeqNo) {
    std::lock_guard lock(mu_);
    auto& slot = locks_[certSeqNo];
    if (!slot) {
        slot = std::make_shared<std::mutex>();
    }
    return slot;
}

std::vector<IssueRecord> Store::Issues() const {
    std::lock_guard lock(mu_);
    return issues_;
}

std::size_t Store::CardCount() const {
    std::lock_guard lock(mu_);
    return cards_.size();
}

std::size_t Store::IssueCount() const {
    std::lock_guard lock(mu_);
    return issues_.size();
}

} // namespace rv::server
