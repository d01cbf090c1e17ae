#include "renewal/remembered_cards.h"

#include "config/config_file.h"
#include "config/user_folder.h"
#include "platform/atomic_file.h"
#include "platform/codepage.h"
#include "platform/fd_io.h"
#include "platform/paths.h"
#include "renewal/login.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace rv {
namespace fs = std::filesystem;

namespace {

// A file of a few cards is a few hundred bytes; anything this large is not ours.
constexpr off_t kMaxFileSize = 1 << 20;
constexpr auto kLockPoll = std::chrono::milliseconds(25);

constexpr const char* kLockFile = "cards.lock";
constexpr const char* kVersionKey = "version";
constexpr const char* kCardsKey = "cards";
constexpr const char* kCardNumberKey = "cardNumber";
constexpr const char* kCertSeqNoKey = "certSeqNo";
constexpr const char* kEndDateKey = "endDate";
constexpr const char* kMaxDayKey = "maxDay";
constexpr const char* kSeenKey = "seen";
constexpr const char* kNotifiedKey = "notified";
constexpr const char* kTimeIniKey = "timeIni";

bool IsDateText(const std::string& text) {
    if (text.size() != 8) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

cJSON* NewRoot() {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, kVersionKey, kRememberedCardsVersion);
    cJSON_AddItemToObject(root, kCardsKey, cJSON_CreateArray());
    return root;
}

// A string member, converted to GBK unless it is a path (paths are bytes, kept as they are); false when the
// member is there but not a string.
bool StringMember(const cJSON* obj, const char* key, std::string& out, bool gbk = true) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (item == nullptr) {
        out.clear();
        return true;
    }
    if (!cJSON_IsString(item) || item->valuestring == nullptr) {
        return false;
    }
    out = gbk ? cp::Utf8ToGbk(item->valuestring) : std::string(item->valuestring);
    return true;
}

void SetString(cJSON* obj, const char* key, const std::string& text, bool gbk = true) {
    cJSON* value = cJSON_CreateString(gbk ? cp::GbkToUtf8(text).c_str() : text.c_str());
    if (cJSON_GetObjectItemCaseSensitive(obj, key) != nullptr) {
        cJSON_ReplaceItemInObjectCaseSensitive(obj, key, value);
    } else {
        cJSON_AddItemToObject(obj, key, value);
    }
}

void SetNumber(cJSON* obj, const char* key, int32_t n) {
    cJSON* value = cJSON_CreateNumber(n);
    if (cJSON_GetObjectItemCaseSensitive(obj, key) != nullptr) {
        cJSON_ReplaceItemInObjectCaseSensitive(obj, key, value);
    } else {
        cJSON_AddItemToObject(obj, key, value);
    }
}

// Why an entry cannot be used, or "" when `card` now holds it.
std::string ReadEntry(const cJSON* entry, RememberedCard& card) {
    if (!cJSON_IsObject(entry)) {
        return "not an object";
    }
    std::string end;
    if (!StringMember(entry, kCardNumberKey, card.cardNumber) ||
        !StringMember(entry, kCertSeqNoKey, card.certSeqNo) || !StringMember(entry, kEndDateKey, end) ||
        !StringMember(entry, kSeenKey, card.seen) || !StringMember(entry, kNotifiedKey, card.notified) ||
        !StringMember(entry, kTimeIniKey, card.timeIni, false)) {
        return "a member is not a text";
    }
    if (card.cardNumber.empty() && card.certSeqNo.empty()) {
        return "neither card number nor certificate number";
    }
    if (!IsDateText(end)) {
        return "end date \"" + cp::GbkToUtf8(end) + "\" is not YYYYMMDD";
    }
    card.endDate = end;
    if ((!card.seen.empty() && !IsDateText(card.seen)) ||
        (!card.notified.empty() && !IsDateText(card.notified))) {
        return "a date of the last login or reminder is not YYYYMMDD";
    }
    const cJSON* maxDay = cJSON_GetObjectItemCaseSensitive(entry, kMaxDayKey);
    if (maxDay != nullptr && (!cJSON_IsNumber(maxDay) || maxDay->valuedouble < -2147483648.0 ||
                              maxDay->valuedouble > 2147483647.0)) {
        return "maxDay is not a 32-bit number";
    }
    card.maxDay = maxDay != nullptr ? static_cast<int32_t>(maxDay->valuedouble) : 0;
    return "";
}

bool SameCard(const RememberedCard& a, const RememberedCard& b) {
    // The card number names the card; the certificate number changes with a renewal.
    if (!a.cardNumber.empty() || !b.cardNumber.empty()) {
        return a.cardNumber == b.cardNumber;
    }
    return a.certSeqNo == b.certSeqNo;
}

} // namespace

fs::path UserDataDir() {
    if (const char* v = std::getenv("RENVORA_DATA_DIR"); v && *v) {
        return v;
    }
    return config::DefaultUserFolder();
}

RememberedCards::RememberedCards(fs::path dir) : dir_(std::move(dir)) {}

RememberedCards::~RememberedCards() {
    if (lockFd_ >= 0) {
        ::close(lockFd_); // releases the lock
    }
}

RememberedCards::Load RememberedCards::Open(const std::string& today, std::string& message,
                                            std::chrono::milliseconds lockWait) {
    if (dir_.empty()) {
        message = "no data folder (neither RENVORA_DATA_DIR, XDG_DATA_HOME nor HOME is set)";
        return Load::Failed;
    }
    std::error_code ec;
    if (!fs::is_directory(dir_, ec)) {
        std::string why;
        if (!MakeFolders(dir_, 0700, why)) {
            message = "cannot create " + dir_.string() + ": " + why;
            return Load::Failed;
        }
    }
    // A lock file of its own, opened for writing: on a home folder over NFS an exclusive lock needs that.
    const fs::path lockFile = dir_ / kLockFile;
    lockFd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        message = Errno("cannot open " + lockFile.string());
        return Load::Failed;
    }
    const auto deadline = std::chrono::steady_clock::now() + lockWait;
    while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            message = Errno("cannot lock " + lockFile.string());
            return Load::Failed;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            message = lockFile.string() +
                      " is held by another run of renvora (a reminder check?); gave up after " +
                      std::to_string(lockWait.count()) + " ms";
            return Load::Failed;
        }
        std::this_thread::sleep_for(std::min(kLockPoll, lockWait));
    }

    const fs::path file = File();
    std::string why; // non-empty: the file is unreadable and goes aside
    std::string text;
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            root_.reset(NewRoot());
            return Load::Read;
        }
        message = Errno("cannot read " + file.string());
        return Load::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (st.st_size > kMaxFileSize) {
        why = "too large (" + std::to_string(st.st_size) + " bytes)";
    } else if (!ReadAll(fd, text)) {
        message = Errno("cannot read " + file.string());
        ::close(fd);
        return Load::Failed;
    }
    ::close(fd);

    if (why.empty()) {
        switch (Parse(text, why)) {
        case Load::Read:
            return Load::Read;
        case Load::Newer:
            message = file.string() + " was written by a newer version of renvora; left as it is";
            return Load::Newer;
        default:
            break;
        }
    }

    // Unreadable: kept under a name that says so, and a fresh record begins.
    const std::string base = file.string() + ".damaged-" + today;
    setAside_ = base;
    for (int n = 2; fs::exists(fs::symlink_status(setAside_, ec)) && n < 1000; ++n) {
        setAside_ = base + "-" + std::to_string(n);
    }
    if (::rename(file.c_str(), setAside_.c_str()) != 0) {
        message = Errno("cannot set aside unreadable " + file.string() + " (" + why + ")");
        root_.reset();
        return Load::Failed;
    }
    root_.reset(NewRoot());
    message = file.string() + " was unreadable (" + why + "); set aside as " + setAside_.string();
    return Load::SetAside;
}

RememberedCards::Load RememberedCards::Parse(const std::string& text, std::string& why) {
    newer_ = false;
    root_.reset(cJSON_ParseWithLength(text.data(), text.size()));
    const cJSON* version = cJSON_GetObjectItemCaseSensitive(root_.get(), kVersionKey);
    const cJSON* cards = cJSON_GetObjectItemCaseSensitive(root_.get(), kCardsKey);
    if (!root_ || !cJSON_IsObject(root_.get())) {
        why = "not a JSON object";
    } else if (!cJSON_IsNumber(version)) {
        why = "no version number";
    } else if (version->valuedouble > kRememberedCardsVersion) {
        newer_ = true;
        root_.reset();
        return Load::Newer;
    } else if (version->valuedouble != kRememberedCardsVersion || !cJSON_IsArray(cards)) {
        why = "not a list of cards of version " + std::to_string(kRememberedCardsVersion);
    } else {
        return Load::Read;
    }
    root_.reset(NewRoot());
    return Load::SetAside;
}

std::vector<RememberedCard> RememberedCards::Cards(std::vector<std::string>* problems) const {
    std::vector<RememberedCard> out;
    const cJSON* cards = cJSON_GetObjectItemCaseSensitive(root_.get(), kCardsKey);
    int index = 0;
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, cards) {
        RememberedCard card;
        std::string why = ReadEntry(entry, card);
        if (why.empty()) {
            out.push_back(std::move(card));
        } else if (problems != nullptr) {
            problems->push_back("entry " + std::to_string(index + 1) + " of " + File().string() +
                                " skipped: " + why);
        }
        ++index;
    }
    return out;
}

cJSON* RememberedCards::Find(const RememberedCard& card) const {
    cJSON* cards = cJSON_GetObjectItemCaseSensitive(root_.get(), kCardsKey);
    cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, cards) {
        RememberedCard other;
        if (ReadEntry(entry, other).empty() && SameCard(card, other)) {
            return entry;
        }
    }
    return nullptr;
}

void RememberedCards::Put(const RememberedCard& card) {
    cJSON* cards = cJSON_GetObjectItemCaseSensitive(root_.get(), kCardsKey);
    if (cards == nullptr) {
        return; // nothing was opened
    }
    cJSON* entry = Find(card);
    if (entry == nullptr) {
        entry = cJSON_CreateObject();
        cJSON_AddItemToArray(cards, entry);
    } else {
        RememberedCard old;
        ReadEntry(entry, old);
        if (old.endDate != card.endDate) {
            // A new certificate: reminders about the old one say nothing about it.
            cJSON_DeleteItemFromObjectCaseSensitive(entry, kNotifiedKey);
        }
    }
    SetString(entry, kCardNumberKey, card.cardNumber);
    SetString(entry, kCertSeqNoKey, card.certSeqNo);
    SetString(entry, kEndDateKey, card.endDate);
    SetNumber(entry, kMaxDayKey, card.maxDay);
    if (card.seen.empty()) {
        cJSON_DeleteItemFromObjectCaseSensitive(entry, kSeenKey);
    } else {
        SetString(entry, kSeenKey, card.seen);
    }
    if (!card.timeIni.empty()) {
        SetString(entry, kTimeIniKey, card.timeIni, false);
    }
    if (!card.notified.empty()) {
        SetString(entry, kNotifiedKey, card.notified);
    }
}

void RememberedCards::MarkNotified(const RememberedCard& card, const std::string& date) {
    if (cJSON* entry = Find(card)) {
        SetString(entry, kNotifiedKey, date);
    }
}

void RememberedCards::SetDates(const RememberedCard& card) {
    cJSON* entry = Find(card);
    if (entry == nullptr) {
        return;
    }
    for (const auto& [key, date] :
         {std::pair{kSeenKey, &card.seen}, std::pair{kNotifiedKey, &card.notified}}) {
        if (date->empty()) {
            cJSON_DeleteItemFromObjectCaseSensitive(entry, key);
        } else {
            SetString(entry, key, *date);
        }
    }
}

int RememberedCards::Forget(const std::string& number) {
    cJSON* cards = cJSON_GetObjectItemCaseSensitive(root_.get(), kCardsKey);
    int forgotten = 0;
    for (int i = cJSON_GetArraySize(cards) - 1; i >= 0; --i) {
        RememberedCard card;
        if (!ReadEntry(cJSON_GetArrayItem(cards, i), card).empty()) {
            continue; // unreadable entries stay as they are
        }
        if (card.cardNumber.empty() ? card.certSeqNo == number : card.cardNumber == number) {
            cJSON_DeleteItemFromArray(cards, i);
            ++forgotten;
        }
    }
    return forgotten;
}

bool RememberedCards::Save(std::string& error) {
    if (newer_ || !root_) {
        error = File().string() + " is not ours to replace";
        return false;
    }
    return ReplaceFileAtomically(File(), Text(), 0600, error);
}

std::string RememberedCards::Text() const {
    char* text = root_ ? cJSON_Print(root_.get()) : nullptr;
    if (text == nullptr) {
        return "";
    }
    std::string bytes = std::string(text) + "\n";
    cJSON_free(text);
    return bytes;
}

void RememberCard(const CardData& data, std::chrono::milliseconds lockWait) {
    auto warn = [](const std::string& why) {
        std::fprintf(stderr, "renvora: card not remembered for the renewal reminder: %s\n", why.c_str());
    };
    if (data.cardNumber.empty() && data.certSeqNo.empty()) {
        warn("the card gave neither a card number nor a certificate number");
        return;
    }
    if (!IsDateText(data.validTo)) {
        warn("its end date \"" + cp::GbkToUtf8(data.validTo) + "\" is not YYYYMMDD");
        return;
    }
    // A clock outside the sane years would stamp a date no later check can read: the card is remembered
    // without the day it was seen.
    const UtcDate now = Clock().TodayUtc();
    const bool clockSane = now.year >= kFirstSaneYear && now.year <= kLastSaneYear;
    const std::string today = clockSane ? FormatDateText(now) : std::string();
    if (!clockSane) {
        std::fprintf(stderr,
                     "renvora: the clock reads %d-%02d-%02d; the card is remembered for the renewal reminder "
                     "without the date of this login\n",
                     now.year, now.month, now.day);
    }
    RememberedCards cards(UserDataDir());
    std::string message;
    // A login is not kept waiting: a check that holds the lock (across its calls to the desktop) wins.
    switch (cards.Open(clockSane ? today : "undated", message, lockWait)) {
    case RememberedCards::Load::Read:
        break;
    case RememberedCards::Load::SetAside:
        std::fprintf(stderr, "renvora: %s\n", message.c_str());
        break;
    case RememberedCards::Load::Newer:
    case RememberedCards::Load::Failed:
        warn(message);
        return;
    }
    RememberedCard card;
    card.cardNumber = data.cardNumber;
    card.certSeqNo = data.certSeqNo;
    card.endDate = data.validTo;
    card.maxDay = ReadMaxDay();
    card.seen = today;
    std::error_code ec;
    card.timeIni = fs::absolute(paths::MapPath(paths::kTimeIni), ec).string();
    cards.Put(card);
    std::string error;
    if (!cards.Save(error)) {
        warn(error);
    }
}

} // namespace rv
