#include "enrol/enrol.h"

#include "enrol/token_enrol.h"

#include "core/ca.h"
#include "core/crypto.h"
#include "core/files.h"
#include "core/store_open.h"
#include "platform/codepage.h"

#include <algorithm>
#include <ctime>
#include <functional>

namespace rv::server {
namespace {

namespace fs = std::filesystem;

std::string U(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// A text the card can carry: not empty, no record separator, and every character inside GBK.
bool CheckCardText(const char* what, const std::string& text, std::string& error) {
    if (text.empty()) {
        error = std::string(what) + " must not be empty";
        return false;
    }
    if (text.find('|') != std::string::npos) {
        error = std::string(what) + " must not contain '|'";
        return false;
    }
    if (cp::GbkToUtf8(cp::Utf8ToGbk(text)) != text) {
        error = std::string(what) + " has characters outside GBK";
        return false;
    }
    return true;
}

} // namespace

softcard::HolderRecord DemoHolder() {
    softcard::HolderRecord h;
    h.certSeqNo = "5101202400001234";
    h.applicantName = U(u8"张建国");
    h.idType = U(u8"居民身份证");
    h.idNumber = "110101198001010017";
    h.field5 = "01";
    h.cardNumber = "8800012345";
    h.unitName = U(u8"北京云杉科技有限公司");
    h.unitCode = "91110108MA01ABCD2X";
    h.field9 = "0";
    h.raCode = "RA0001";
    h.cardType = softcard::kLegalPersonCardType;
    return h;
}

bool Enrol(const EnrolRequest& r, EnrolResult& result, std::string& error) {
    const softcard::HolderRecord& h = r.holder;
    if (!CheckCardText("certSeqNo", h.certSeqNo, error) || !CheckCardText("name", h.applicantName, error) ||
        !CheckCardText("idType", h.idType, error) || !CheckCardText("idNumber", h.idNumber, error) ||
        !CheckCardText("field5", h.field5, error) || !CheckCardText("cardNumber", h.cardNumber, error) ||
        !CheckCardText("unitName", h.unitName, error) || !CheckCardText("unitCode", h.unitCode, error) ||
        !CheckCardText("field9", h.field9, error) || !CheckCardText("raCode", h.raCode, error) ||
        !CheckCardText("cardType", h.cardType, error) || !CheckCardText("cryptAlgo", r.cryptAlgo, error)) {
        return false;
    }
    if (!Store::ValidCertSeqNo(h.certSeqNo)) {
        error = "certSeqNo must have 1 to 64 bytes";
        return false;
    }
    if (r.pin.empty() || r.managePassword.empty()) {
        error = "the PIN and the management password must not be empty";
        return false;
    }
    if (r.days < -3650 || r.days > 3650) {
        error = "days must lie between -3650 and 3650";
        return false;
    }
    std::error_code ec;
    if (!r.token && (r.cardImage.empty() || (fs::exists(r.cardImage, ec) && !r.replace))) {
        error = r.cardImage.empty() ? "no card image path given"
                                    : "card image " + r.cardImage.string() + " exists (use --replace)";
        return false;
    }
    // The store first: a folder with a CA must have its store, and one whose store has cards its CA.
    StoreLocation location;
    if (!ParseStoreLocation(r.store, r.dataDir.string(), location, error)) {
        return false;
    }
    std::unique_ptr<Store> opened = OpenStore(location, false, error, 1);
    if (!opened) {
        return false;
    }
    Store& store = *opened;
    std::unique_ptr<CertificateAuthority> ca =
        CertificateAuthority::Open(r.dataDir, error, store.CardCount() == 0 && store.IssueCount() == 0);
    if (!ca) {
        return false;
    }
    if (!r.replace && store.FindCard(h.certSeqNo)) {
        error = "a card with certSeqNo " + h.certSeqNo + " is already enrolled (use --replace)";
        return false;
    }

    Name subject = MakeSubject(h.applicantName, h.unitName);
    if (!subject) {
        error = "cannot make the card's subject";
        return false;
    }
    // A card in its last days looks like one issued two years before; a longer one starts now.
    std::time_t now = std::time(nullptr);
    std::time_t notAfter = now + static_cast<std::time_t>(r.days) * 86400;
    std::time_t notBefore = std::min(now - 3600, notAfter - static_cast<std::time_t>(730) * 86400);
    auto issue = [&](EVP_PKEY* key, std::string& why) {
        return ca->Issue(subject.get(), key, CertUse::Signing, notBefore, notAfter, why);
    };
    std::string certPem;
    std::function<void()> undo; // removes the card again when the server cannot record it
    if (r.token) {
        if (!EnrolOnToken(r, *ca, issue, certPem, undo, error)) {
            return false;
        }
    } else {
        std::string keyPem = softcard::GenerateSm2KeyPem(&error);
        Pkey key = PrivateKeyFromPem(keyPem);
        if (keyPem.empty() || !key) {
            error = "cannot make the card's key";
            return false;
        }
        certPem = issue(key.get(), error);
        if (certPem.empty()) {
            return false;
        }
        softcard::CardImage image;
        if (!softcard::NewCardImage(h, r.pin, r.managePassword, r.cryptAlgo, keyPem, certPem, image, error)) {
            return false;
        }
        // The image holds the card's private key: a folder made for it is its owner's alone, whatever
        // the umask (an existing one is the operator's to set).
        fs::path folder = r.cardImage.parent_path();
        if (!folder.empty() && !CreatePrivateFolder(folder, error)) {
            return false;
        }
        if (!softcard::SaveCardImage(r.cardImage, image, error)) {
            return false;
        }
        // Its owner's alone whatever the umask took from the mode it was made with.
        fs::permissions(r.cardImage, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace, ec);
        undo = [&] { fs::remove(r.cardImage, ec); };
    }
    CardRecord card;
    card.certSeqNo = h.certSeqNo;
    card.legalPerson = h.applicantName;
    card.idType = h.idType;
    card.idNumber = h.idNumber;
    card.icCode = h.cardNumber;
    card.entName = h.unitName;
    card.unitType = h.unitCode;
    card.raCode = h.raCode;
    card.cryptAlgo = r.cryptAlgo;
    card.managePassword = r.managePassword;
    card.certPem = certPem;
    card.enrolledAt = TimeDigits(now);
    if (!store.PutCard(card, r.replace, error)) {
        if (!r.replace || r.token) {
            undo(); // a card the server does not know could never be renewed
        }
        return false;
    }
    result.certPem = certPem;
    CertValidity(certPem, result.notBefore, result.notAfter);
    return true;
}

} // namespace rv::server
