#include "token_control.h"

#include "card/dispatch_adapter.h"
#include "platform/codepage.h"
#include "platform/registry.h"

#include <cstdio>
#include <cstdlib>

namespace rv::p11card {
namespace {

std::string Setting(const char* env, const char* value) {
    if (const char* v = std::getenv(env); v && *v) {
        return v;
    }
    auto r = reg::ReadValue(kCardControlKey, value);
    return r ? *r : std::string();
}

std::string Format(const char* fmt, const std::string& a) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, a.c_str());
    return buf;
}

// How many holder records the token shows without a login; -1 when it cannot be read.
int HolderCount(const TokenRef& token) {
    Session s;
    if (s.Open(token, false) != CKR_OK) {
        return -1;
    }
    std::vector<CK_OBJECT_HANDLE> found;
    CK_ULONG cls = CKO_DATA;
    std::string app = kApplication, label = kHolderLabel;
    if (s.Find({Attr(CKA_CLASS, cls), Attr(CKA_APPLICATION, app), Attr(CKA_LABEL, label)}, found) != CKR_OK) {
        return -1;
    }
    return static_cast<int>(found.size());
}

} // namespace

P11Config ReadP11Config() {
    P11Config c;
    c.module = Setting("RENVORA_PKCS11_MODULE", "Pkcs11Module");
    c.tokenLabel = Setting("RENVORA_PKCS11_TOKEN_LABEL", "TokenLabel");
    c.tokenSerial = Setting("RENVORA_PKCS11_TOKEN_SERIAL", "TokenSerial");
    std::string mech = Setting("RENVORA_PKCS11_SM2_MECHANISM", "Sm2SignMechanism");
    if (!mech.empty()) {
        char* end = nullptr;
        unsigned long v = std::strtoul(mech.c_str(), &end, 16);
        if (end && *end == '\0') {
            c.sm2Sign = v;
            c.sm2Configured = true;
        }
    }
    return c;
}

bool SelectToken(const std::vector<std::shared_ptr<Module>>& modules, const P11Config& config, TokenRef& out,
                 std::string& error) {
    std::vector<TokenRef> named, writable, holding;
    bool byName = !config.tokenLabel.empty() || !config.tokenSerial.empty();
    for (TokenRef& t : ListTokens(modules)) {
        if (byName) {
            if ((config.tokenLabel.empty() || t.label == config.tokenLabel) &&
                (config.tokenSerial.empty() || t.serial == config.tokenSerial)) {
                named.push_back(t);
            }
            continue;
        }
        if (t.flags & CKF_WRITE_PROTECTED) {
            continue; // trust stores and read-only tokens cannot be renewed
        }
        writable.push_back(t);
        if (HolderCount(t) > 0) {
            holding.push_back(t);
        }
    }
    const std::vector<TokenRef>& pick = byName ? named : holding;
    if (pick.size() == 1) {
        out = pick.front();
        return true;
    }
    if (pick.size() > 1) {
        error = text::kTwoCards;
    } else if (!byName && !writable.empty()) {
        error = text::kNoHolder;
    } else {
        error = text::kNoCard;
    }
    return false;
}

P11CardControl::~P11CardControl() {
    session_.Close();
    Wipe(pin_);
    Wipe(in_.password);
    Wipe(in_.initManagePassword);
    Wipe(in_.writeManagePassword);
    Wipe(acceptedManagePassword_);
}

void P11CardControl::Succeed() {
    status_ = 0;
    error_.clear();
}

void P11CardControl::Fail(int32_t status, const std::string& gbkText) {
    status_ = status;
    error_ = gbkText;
}

void P11CardControl::FailRv(const char* fmt, CK_RV rv, const char* call) {
    ReportRefusal(call, rv, session_.token().module ? session_.token().module->name() : "");
    if (IsTokenGone(rv) || !Present()) {
        Fail(-1, text::kRemoved);
        return;
    }
    Fail(-1, Format(fmt, RvText(rv)));
}

bool P11CardControl::CanTakeNewSet(KeyKind kind, int bits) {
    TokenRef token = session_.token();
    if (!RefreshTokenInfo(token)) {
        Fail(-1, text::kRemoved);
        return false;
    }
    if (token.flags & CKF_WRITE_PROTECTED) {
        Fail(-1, text::kWriteProtected);
        return false;
    }
    char what[64];
    std::snprintf(what, sizeof what,
                  kind == KeyKind::Rsa   ? "RSA %d位"
                  : kind == KeyKind::Sm2 ? "SM2"
                                         : "P-256椭圆曲线",
                  bits);
    // Key sizes are bits (EC sizes in bytes on older modules, which the range check allows for).
    CK_MECHANISM_INFO info{};
    CK_ULONG size = kind == KeyKind::Rsa ? static_cast<CK_ULONG>(bits) : 256;
    bool generates = session_.MechanismInfo(
                         kind == KeyKind::Rsa ? CKM_RSA_PKCS_KEY_PAIR_GEN : CKM_EC_KEY_PAIR_GEN, info) &&
                     (info.flags & CKF_GENERATE_KEY_PAIR) &&
                     (info.ulMaxKeySize == 0 || (info.ulMaxKeySize < 64 && kind != KeyKind::Rsa) ||
                      (size >= info.ulMinKeySize && size <= info.ulMaxKeySize));
    if (!generates) {
        std::fprintf(stderr, "p11card: the token offers no key pair generation for %s keys\n",
                     kind == KeyKind::Rsa ? "RSA" : "EC");
        Fail(-1, Format(text::kCannotGenerateFmt, what));
        return false;
    }
    auto signs = [&](CK_MECHANISM_TYPE m) {
        return session_.MechanismInfo(m, info) && (info.flags & CKF_SIGN);
    };
    bool canSign = kind == KeyKind::Rsa   ? signs(CKM_SHA256_RSA_PKCS) || signs(CKM_RSA_PKCS)
                   : kind == KeyKind::Sm2 ? config_.sm2Configured
                                          : signs(CKM_ECDSA_SHA256) || signs(CKM_ECDSA);
    if (!canSign) {
        Fail(-1, Format(text::kCannotSignFmt, what));
        return false;
    }
    // Where the token tells its free memory: room for the new set beside the old one (two certificates,
    // two private keys, the service keys and a password hash).
    auto tooLittle = [](CK_ULONG free, CK_ULONG need) {
        return free != CK_UNAVAILABLE_INFORMATION && free != CK_EFFECTIVELY_INFINITE && free < need;
    };
    if (tooLittle(token.freePublic, 4096) || tooLittle(token.freePrivate, 2048)) {
        std::fprintf(
            stderr, "p11card: the token reports %lu bytes of public and %lu of private memory free\n",
            static_cast<unsigned long>(token.freePublic), static_cast<unsigned long>(token.freePrivate));
        Fail(-1, text::kNoRoom);
        return false;
    }
    return true;
}

bool P11CardControl::Present() const {
    if (!session_.IsOpen() || IsTokenGone(session_.Check())) {
        return false;
    }
    // Some modules keep a session while the token is gone from the slot (SoftHSM2 when its token
    // folder goes): the slot must still hold the same token.
    TokenRef t = session_.token();
    return RefreshTokenInfo(t) && (t.flags & CKF_TOKEN_INITIALIZED) && t.serial == opened_.serial &&
           t.label == opened_.label;
}

bool P11CardControl::Reconnect() {
    // The modules are loaded afresh, as at OpenCard: a module may show a token put back only then.
    session_.Close();
    modules_.clear();
    std::string error;
    if (!Module::Load(config_.module, modules_, error)) {
        return false;
    }
    for (TokenRef& t : ListTokens(modules_)) {
        if (t.serial != opened_.serial || t.label != opened_.label || session_.Open(t) != CKR_OK) {
            continue;
        }
        // The same card, put back: the same login as before (a card that no longer takes the PIN is
        // back, but not logged in, and asks for a new verification).
        if (loggedIn_) {
            loggedIn_ = !pin_.empty() && pinSerial_ == t.serial && session_.Login(pin_) == CKR_OK;
        }
        verified_ = verified_ && loggedIn_;
        return true;
    }
    session_.Close();
    modules_.clear();
    return false;
}

bool P11CardControl::Ready(Need need) {
    if (!open_) {
        Fail(-1, text::kNotOpen);
        return false;
    }
    // A card pulled out stays this control's card until CloseCard or the next OpenCard: when it is put
    // back, the client's "re-seat the card and try again" finds it without opening it again.
    if (!Present() && !Reconnect()) {
        Fail(-1, text::kRemoved);
        return false;
    }
    if ((need == Need::Login && !loggedIn_) || (need == Need::Pin && !verified_)) {
        Fail(-1, text::kNotVerified);
        return false;
    }
    return true;
}

bool P11CardControl::Scan(TokenView& view) {
    CK_RV rv = CKR_OK;
    if (!ScanToken(session_, view, rv)) {
        FailRv(text::kOpenFailedFmt, rv, "C_FindObjects");
        return false;
    }
    return true;
}

const TokenSet* P11CardControl::CurrentSet(const TokenView& view) {
    const TokenSet* set = view.Current(loggedIn_);
    if (!set) {
        // A token that went away mid-call shows no objects on some modules: that is no damaged card.
        Fail(-1, Present() ? text::kNoSet : text::kRemoved);
    }
    return set;
}

bool P11CardControl::SigningCert(const TokenSet& set, CertInfo& cert) {
    Bytes der;
    if (!session_.Attr(set.signCert, CKA_VALUE, der) || !ReadCertDer(der, cert)) {
        Fail(-1, text::kCertDamaged);
        return false;
    }
    return true;
}

CK_RV P11CardControl::Sign(CK_OBJECT_HANDLE key, KeyKind kind, const Bytes& data, Bytes& der) {
    Bytes raw;
    CK_RV rv = CKR_MECHANISM_INVALID;
    der.clear();
    switch (kind) {
    case KeyKind::EcP256:
        // Many cards hash outside: sign the digest with plain ECDSA when the combined mechanism is missing.
        rv = session_.HasMechanism(CKM_ECDSA_SHA256) ? session_.Sign(key, CKM_ECDSA_SHA256, data, raw)
                                                     : session_.Sign(key, CKM_ECDSA, Sha256(data), raw);
        der = rv == CKR_OK ? EcdsaRawToDer(raw) : Bytes();
        break;
    case KeyKind::Sm2:
        if (config_.sm2Configured) {
            rv = session_.Sign(key, config_.sm2Sign, data, raw);
            der = rv == CKR_OK ? EcdsaRawToDer(raw) : Bytes();
        }
        break;
    case KeyKind::Rsa:
        rv = session_.HasMechanism(CKM_SHA256_RSA_PKCS)
                 ? session_.Sign(key, CKM_SHA256_RSA_PKCS, data, der)
                 : session_.Sign(key, CKM_RSA_PKCS, Sha256DigestInfo(data), der);
        break;
    case KeyKind::None:
        break;
    }
    return rv == CKR_OK && der.empty() ? CKR_FUNCTION_FAILED : rv;
}

// ---- Methods ----

void P11CardControl::DoOpenCard() {
    session_.Close();
    open_ = loggedIn_ = verified_ = false;
    opened_ = TokenRef{};
    // The modules are loaded afresh for every opening, so a token inserted (or created) since the last
    // one is found, and a closed card holds nothing open.
    modules_.clear();
    config_ = ReadP11Config();
    std::string error;
    if (!Module::Load(config_.module, modules_, error)) {
        Fail(-1, error);
        return;
    }
    TokenRef token;
    if (!SelectToken(modules_, config_, token, error)) {
        Fail(-1, error);
        return;
    }
    if (token.flags & CKF_WRITE_PROTECTED) {
        Fail(-1, text::kWriteProtected);
        return;
    }
    if (CK_RV rv = session_.Open(token); rv != CKR_OK) {
        if (!IsTokenGone(rv)) {
            ReportRefusal("C_OpenSession", rv, token.module->name());
        }
        Fail(-1, IsTokenGone(rv) ? text::kNoCard : Format(text::kOpenFailedFmt, RvText(rv)));
        return;
    }
    opened_.serial = token.serial;
    opened_.label = token.label;
    if (!pin_.empty() && pinSerial_ == token.serial) {
        loggedIn_ = session_.Login(pin_) == CKR_OK;
        if (!loggedIn_) {
            Wipe(pin_);
        }
    }
    TokenView view;
    CK_RV rv = CKR_OK;
    bool scanned = ScanToken(session_, view, rv);
    if (!scanned || (view.holderCount != 1 && !Present())) {
        // Gone while being opened: as if it had not been there.
        Fail(-1, scanned || IsTokenGone(rv) || !Present() ? text::kNoCard
                                                          : Format(text::kOpenFailedFmt, RvText(rv)));
        session_.Close();
        return;
    }
    if (view.holderCount != 1) {
        Fail(-1, text::kNoHolder);
        return;
    }
    if (!CurrentSet(view)) {
        return;
    }
    // Leftovers go only with the private objects in view: logged out, a stray certificate above the
    // current set would look complete, and the real set's certificate would go.
    if (loggedIn_) {
        RemoveLeftovers(session_, view);
    }
    open_ = true;
    Succeed();
}

void P11CardControl::DoCloseCard() {
    // Closing is always possible; a pending key pair stays on the token for a later WriteCard.
    session_.Close();
    modules_.clear();
    open_ = loggedIn_ = verified_ = false;
    opened_ = TokenRef{};
    Succeed();
}

void P11CardControl::DoVerifyPassword() {
    VerifyPin();
    // The typed PIN is not kept beyond its use (a verified one lives on in pin_ for the repeat path).
    Wipe(in_.password);
}

void P11CardControl::VerifyPin() {
    if (!Ready(Need::Open)) {
        return;
    }
    loggedIn_ = verified_ = false;
    // Whatever this attempt brings, the PIN remembered before is not offered again.
    Wipe(pin_);
    if (in_.password.empty()) {
        Fail(-1, text::kPinEmpty);
        return;
    }
    TokenRef token = session_.token();
    RefreshTokenInfo(token);
    if (token.flags & CKF_USER_PIN_LOCKED) {
        Fail(-1, text::kPinLocked);
        return;
    }
    // A PIN the token cannot take never reaches it, so it costs no try. The token counts the bytes of
    // the UTF-8 form it receives.
    std::string utf8 = cp::GbkToUtf8(in_.password);
    std::size_t length = utf8.size();
    Wipe(utf8);
    char lengthText[128];
    std::snprintf(lengthText, sizeof lengthText, text::kPinLengthFmt,
                  static_cast<unsigned long>(token.minPin), static_cast<unsigned long>(token.maxPin));
    if (token.maxPin > 0 && token.maxPin < 1024 && (length > token.maxPin || length < token.minPin)) {
        Fail(-1, lengthText);
        return;
    }
    // The typed PIN is checked even when the token is still logged in from before.
    session_.Logout();
    CK_RV rv = session_.Login(in_.password, false);
    if (rv == CKR_OK) {
        loggedIn_ = true;
        // Logged in, the private leftovers of an interrupted write are visible too.
        TokenView view;
        if (!Scan(view) || !CurrentSet(view)) {
            // A card that cannot sign is not logged in to, and its PIN is not remembered.
            session_.Logout();
            loggedIn_ = false;
            return;
        }
        RemoveLeftovers(session_, view);
        verified_ = true;
        pin_ = in_.password;
        pinSerial_ = token.serial;
        Succeed();
        return;
    }
    if (rv == CKR_PIN_INCORRECT) {
        RefreshTokenInfo(token);
        Fail(-1, token.flags & CKF_USER_PIN_LOCKED      ? text::kPinNowLocked
                 : token.flags & CKF_USER_PIN_FINAL_TRY ? text::kPinWrongFinal
                 : token.flags & CKF_USER_PIN_COUNT_LOW ? text::kPinWrongLow
                                                        : text::kPinWrong);
        return;
    }
    if (rv == CKR_PIN_LOCKED) {
        // Locked by this very try (a card module may answer the last wrong PIN so, as OpenSC does): the
        // holder learns that this PIN locked it.
        Fail(-1, text::kPinNowLocked);
        return;
    }
    if (rv == CKR_PIN_LEN_RANGE) {
        Fail(-1, lengthText);
        return;
    }
    FailRv(text::kPinFailedFmt, rv, "C_Login");
}

void P11CardControl::DoReadCardInfo() {
    cardInfo_.clear(); // never a stale answer after a failure
    cardCert_.clear();
    TokenView view;
    if (!Ready(Need::Open) || !Scan(view)) {
        return;
    }
    const TokenSet* set = CurrentSet(view);
    Bytes holder;
    CertInfo cert;
    if (!set || !SigningCert(*set, cert)) {
        return;
    }
    if (view.holderCount != 1 || !session_.Attr(view.holder, CKA_VALUE, holder)) {
        Fail(-1, Present() ? text::kNoHolder : text::kRemoved);
        return;
    }
    cardInfo_ = holder + "|" + cert.notBefore + "|" + cert.notAfter;
    cardCert_ = CertDerToPem(cert.der);
    Succeed();
}

void P11CardControl::DoReadCryptAlgo() {
    cryptAlgo_.clear(); // never a stale answer after a failure
    TokenView view;
    if (!Ready(Need::Open) || !Scan(view)) {
        return;
    }
    const TokenSet* set = CurrentSet(view);
    CertInfo cert;
    if (!set || !SigningCert(*set, cert)) {
        return;
    }
    switch (cert.kind) {
    case KeyKind::EcP256:
        cryptAlgo_ = "ECC";
        break;
    case KeyKind::Sm2:
        // Only a card that can sign says SM2: without the vendor's mechanism the login would lead to a
        // renewal that fails at its first signature.
        if (!config_.sm2Configured) {
            Fail(-1, text::kNoSm2Mechanism);
            return;
        }
        cryptAlgo_ = "SM2";
        break;
    case KeyKind::Rsa:
        if (cert.bits < 2048) {
            char buf[128];
            std::snprintf(buf, sizeof buf, text::kRsaTooShortFmt, cert.bits);
            Fail(-1, buf);
            return;
        }
        cryptAlgo_ = "RSA";
        break;
    case KeyKind::None:
        Fail(-1, text::kAlgoUnknown);
        return;
    }
    Succeed();
}

void P11CardControl::DoSignData() {
    signature_.clear(); // never a stale answer after a failure
    TokenView view;
    if (!Ready(Need::Pin)) {
        return;
    }
    if (in_.signSource.empty()) {
        Fail(-1, text::kSignSourceEmpty);
        return;
    }
    if (!Scan(view)) {
        return;
    }
    const TokenSet* set = CurrentSet(view);
    CertInfo cert;
    if (!set || !SigningCert(*set, cert)) {
        return;
    }
    if (cert.kind == KeyKind::None) {
        Fail(-1, text::kAlgoUnknown);
        return;
    }
    if (cert.kind == KeyKind::Sm2 && !config_.sm2Configured) {
        Fail(-1, text::kNoSm2Mechanism);
        return;
    }
    Bytes der;
    if (CK_RV rv = Sign(set->signPriv, cert.kind, in_.signSource, der); rv != CKR_OK) {
        FailRv(text::kSignFailedFmt, rv, "C_Sign");
        return;
    }
    signature_ = Base64(der);
    Succeed();
}

void P11CardControl::DoInitUpdate() {
    publicKey_.clear(); // never a stale answer after a failure
    TokenView view;
    if (!Ready(Need::Login) || !Scan(view)) {
        return;
    }
    const TokenSet* set = CurrentSet(view);
    CertInfo cert;
    if (!set || !SigningCert(*set, cert)) {
        return;
    }
    Bytes stored;
    if (!session_.Attr(view.ManagePassword(true), CKA_VALUE, stored) ||
        !ManagePasswordMatches(stored, in_.initManagePassword)) {
        Fail(-1, text::kManagePasswordWrong);
        return;
    }
    if (cert.kind == KeyKind::None) {
        Fail(-1, text::kAlgoUnknown);
        return;
    }
    int bits = cert.kind == KeyKind::Rsa ? std::max(cert.bits, 2048) : 256;
    if (!CanTakeNewSet(cert.kind, bits)) {
        return;
    }
    Bytes tag = NewTag(view.MaxGeneration() + 1);
    CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE, priv = CK_INVALID_HANDLE;
    CK_RV rv =
        tag.empty() ? CKR_FUNCTION_FAILED : GenerateSigningKey(session_, tag, cert.kind, bits, pub, priv);
    if (rv != CKR_OK) {
        FailRv(text::kKeyGenFailedFmt, rv, "C_GenerateKeyPair");
        return;
    }
    std::string pem = SpkiPem(PublicKeySpki(session_, pub));
    // The public key stays with the pending key until its set goes: a module that keeps it on the token
    // (OpenSC) needs it, until the certificate is there, to sign with an EC key in a later session (the
    // key's size and curve come from it); a session object (SoftHSM2) ends with the session anyway.
    if (pem.empty()) {
        session_.Destroy(pub);
        session_.Destroy(priv);
        FailRv(text::kKeyGenFailedFmt, CKR_FUNCTION_FAILED, "C_GetAttributeValue");
        return;
    }
    // Earlier keys that never got a certificate are of no use any more.
    for (const TokenSet& s : view.sets) {
        if (!s.Committed()) {
            RemoveSet(session_, s, &view);
        }
    }
    acceptedManagePassword_ = in_.initManagePassword;
    publicKey_ = std::move(pem);
    Succeed();
}

void P11CardControl::DoWriteCard() {
    TokenView view;
    if (!Ready(Need::Login) || !Scan(view)) {
        return;
    }
    const TokenSet* current = CurrentSet(view);
    if (!current) {
        return;
    }
    const TokenSet* pending = view.Pending(true);
    if (!pending) {
        Fail(1, text::kNoPendingKey);
        return;
    }
    // The certificate must carry the pending key: the key signs a challenge that the certificate's
    // public key has to verify (the token keeps no public key object to compare with).
    CertInfo signCert;
    Bytes challenge = RandomBytes(32), proof;
    if (!ReadCertPem(in_.signCert, signCert) || signCert.kind == KeyKind::None ||
        Sign(pending->signPriv, signCert.kind, challenge, proof) != CKR_OK ||
        !SignatureVerifies(signCert, challenge, proof)) {
        Fail(1, text::kCertKeyMismatch);
        return;
    }
    if (in_.writeManagePassword.empty()) {
        Fail(-1, text::kNewManagePasswordEmpty);
        return;
    }
    CertInfo encCert;
    if (!ReadCertPem(in_.envCert, encCert)) {
        Fail(-1, text::kEnvCertBad);
        return;
    }
    // The encryption key comes sealed under the management password (the service's, UTF-8).
    NewSet set;
    bool matches = false;
    bool opened =
        OpenEncryptedKey(in_.envData, cp::GbkToUtf8(in_.writeManagePassword), encCert, set.encKey, matches) ||
        (!acceptedManagePassword_.empty() &&
         OpenEncryptedKey(in_.envData, cp::GbkToUtf8(acceptedManagePassword_), encCert, set.encKey, matches));
    if (!opened || !matches) {
        set.encKey.Wipe();
        Fail(-1, opened ? text::kEnvCertKeyMismatch : text::kEnvKeyUnreadable);
        return;
    }
    set.tag = pending->tag;
    set.signCertPem = in_.signCert;
    set.encCertPem = in_.envCert;
    // Unchanged service keys and password stay in force without new objects (each object costs a
    // token a slow write).
    Bytes inForce;
    set.serviceKeys = ServiceKeysValue(in_.kmsKey, in_.cssSignKey, in_.cssEnvKey);
    if (session_.Attr(view.InForce(kServiceKeys, true), CKA_VALUE, inForce) && inForce == set.serviceKeys) {
        set.serviceKeys.clear();
    }
    if (in_.writeManagePassword != acceptedManagePassword_) {
        set.managePasswordHash = HashManagePassword(in_.writeManagePassword);
    }
    // What an interrupted earlier write left beside the key goes first.
    for (CK_OBJECT_HANDLE h : pending->all) {
        if (h != pending->signPriv && h != pending->signPub) {
            session_.Destroy(h);
        }
    }
    std::string step;
    CK_RV rv = WriteSet(session_, set, step);
    set.encKey.Wipe();
    if (rv != CKR_OK) {
        // Pulled out: what the write left is resolved when the card is back (the next WriteCard finds
        // the pending key and writes beside it again).
        if (IsTokenGone(rv) || !Present()) {
            Fail(-1, text::kRemovedNotWritten);
            return;
        }
        ReportRefusal(("C_CreateObject (" + step + ")").c_str(), rv, session_.token().module->name());
        char buf[384];
        std::snprintf(buf, sizeof buf, text::kWriteFailedFmt, step.c_str(), RvText(rv).c_str());
        Fail(-1, buf);
        return;
    }
    // Complete: the old set is retired (its certificate first). Whatever a cut-off leaves here is
    // removed at the next opening.
    TokenView after;
    CK_RV scanned = CKR_OK;
    if (ScanToken(session_, after, scanned)) {
        RemoveLeftovers(session_, after);
    }
    acceptedManagePassword_ = in_.writeManagePassword;
    Succeed();
}

// ---- Dispatch ----

int P11CardControl::Invoke(int id) {
    if (card::KindOf(id) != card::MemberKind::Method) {
        return card::WrongKind(id);
    }
    switch (id) {
    case dispid::OpenCard:
        DoOpenCard();
        break;
    case dispid::CloseCard:
        DoCloseCard();
        break;
    case dispid::ReadCardInfo:
        DoReadCardInfo();
        break;
    case dispid::VerifyPassword:
        DoVerifyPassword();
        break;
    case dispid::SignData:
        DoSignData();
        break;
    case dispid::InitUpdate:
        DoInitUpdate();
        break;
    case dispid::WriteCard:
        DoWriteCard();
        break;
    case dispid::ReadCryptAlgo:
        DoReadCryptAlgo();
        break;
    }
    return RV_DISP_OK;
}

int P11CardControl::GetInt(int id, int32_t& value) {
    if (id != dispid::Status) {
        return card::WrongKind(id);
    }
    value = status_;
    return RV_DISP_OK;
}

int P11CardControl::GetString(int id, const std::string*& value) {
    switch (id) {
    case dispid::ErrorMessage:
        scratch_ = error_;
        break;
    case dispid::CardInfo:
        scratch_ = cardInfo_;
        break;
    case dispid::Signature:
        scratch_ = signature_;
        break;
    case dispid::PublicKey:
        scratch_ = publicKey_;
        break;
    case dispid::CryptAlgo:
        scratch_ = cryptAlgo_;
        break;
    case dispid::CardCert:
        scratch_ = cardCert_;
        break;
    default:
        return card::WrongKind(id);
    }
    value = &scratch_;
    return RV_DISP_OK;
}

int P11CardControl::SetString(int id, const std::string& value) {
    std::string* target = in_.Target(id);
    if (!target) {
        return card::WrongKind(id);
    }
    if (in_.IsSecret(target)) {
        Wipe(*target);
    }
    *target = value;
    return RV_DISP_OK;
}

} // namespace rv::p11card
