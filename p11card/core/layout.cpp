#include "layout.h"

#include <algorithm>

namespace rv::p11card {
namespace {

const std::string kLabelPrefix = "renvora ";

bool ParseDataLabel(const std::string& label, Bytes& tag, std::string& name) {
    // "renvora TAGHEX NAME"
    if (label.rfind(kLabelPrefix, 0) != 0 || label.size() < kLabelPrefix.size() + 2 * kTagSize + 2 ||
        label[kLabelPrefix.size() + 2 * kTagSize] != ' ') {
        return false;
    }
    if (!FromHex(label.substr(kLabelPrefix.size(), 2 * kTagSize), tag)) {
        return false;
    }
    name = label.substr(kLabelPrefix.size() + 2 * kTagSize + 1);
    return true;
}

std::string KeyLabel(const Bytes& tag, char suffix) {
    return kLabelPrefix + (suffix == kSignSuffix ? "sign " : "enc ") + Hex(tag);
}

TokenSet& SetFor(std::vector<TokenSet>& sets, const Bytes& tag) {
    for (TokenSet& s : sets) {
        if (s.tag == tag) {
            return s;
        }
    }
    TokenSet s;
    s.tag = tag;
    s.generation = GenerationOf(tag);
    sets.push_back(std::move(s));
    return sets.back();
}

bool Complete(const TokenSet& s, bool loggedIn) {
    return s.Committed() && (!loggedIn || s.signPriv != CK_INVALID_HANDLE);
}

} // namespace

uint32_t GenerationOf(const Bytes& tag) {
    uint32_t g = 0;
    for (std::size_t i = 0; i < 4 && i < tag.size(); ++i) {
        g = (g << 8) | static_cast<unsigned char>(tag[i]);
    }
    return g;
}

Bytes NewTag(uint32_t generation) {
    Bytes tag;
    for (int shift = 24; shift >= 0; shift -= 8) {
        tag.push_back(static_cast<char>((generation >> shift) & 0xFF));
    }
    Bytes random = RandomBytes(4);
    return random.size() == 4 ? tag + random : Bytes();
}

std::string DataLabel(const Bytes& tag, const char* name) {
    return kLabelPrefix + Hex(tag) + " " + name;
}

const TokenSet* TokenView::Current(bool loggedIn) const {
    const TokenSet* best = nullptr;
    for (const TokenSet& s : sets) { // sorted: the last complete one wins
        if (Complete(s, loggedIn)) {
            best = &s;
        }
    }
    return best;
}

const TokenSet* TokenView::Pending(bool loggedIn) const {
    const TokenSet* current = Current(loggedIn);
    const TokenSet* best = nullptr;
    for (const TokenSet& s : sets) {
        if (loggedIn && !s.Committed() && (!current || s.generation > current->generation) &&
            s.signPriv != CK_INVALID_HANDLE) {
            best = &s;
        }
    }
    return best;
}

CK_OBJECT_HANDLE TokenView::InForce(const char* name, bool loggedIn) const {
    const TokenSet* current = Current(loggedIn);
    CK_OBJECT_HANDLE best = CK_INVALID_HANDLE;
    for (const TokenSet& s : sets) { // sorted: the last one at or below the current generation wins
        if (current && s.generation <= current->generation && s.Data(name) != CK_INVALID_HANDLE) {
            best = s.Data(name);
        }
    }
    return best;
}

uint32_t TokenView::MaxGeneration() const {
    uint32_t g = 0;
    for (const TokenSet& s : sets) {
        g = std::max(g, s.generation);
    }
    return g;
}

bool ScanToken(const Session& s, TokenView& view, CK_RV& rv) {
    view = TokenView{};
    // Every object, paged through to the end: a token full of other objects cannot crowd ours out (the
    // search's only bound is against a module that never ends it). One search, not one per class: a token
    // may rescan its store for every search.
    std::vector<CK_OBJECT_HANDLE> found;
    rv = s.Find({}, found);
    if (rv != CKR_OK) {
        return false;
    }
    for (CK_OBJECT_HANDLE h : found) {
        // One call per object: class, id, label, application. An attribute an object lacks, or one
        // longer than any of ours, comes back unavailable; such objects are not ours.
        CK_ULONG cls = 0;
        char id[64], label[96], app[32];
        CK_ATTRIBUTE a[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_ID, id, sizeof id},
                            {CKA_LABEL, label, sizeof label},
                            {CKA_APPLICATION, app, sizeof app}};
        s.fn()->C_GetAttributeValue(s.handle(), h, a, 4);
        auto text = [](const CK_ATTRIBUTE& at, const char* p) {
            return at.ulValueLen == CK_UNAVAILABLE_INFORMATION ? Bytes() : Bytes(p, at.ulValueLen);
        };
        if (a[0].ulValueLen != sizeof cls) {
            continue;
        }
        Bytes idBytes = text(a[1], id), labelText = text(a[2], label), appText = text(a[3], app);
        if (cls == CKO_DATA) {
            Bytes tag;
            std::string name;
            if (appText != kApplication) {
                continue;
            }
            if (labelText == kHolderLabel) {
                view.holder = h;
                ++view.holderCount;
            } else if (ParseDataLabel(labelText, tag, name)) {
                TokenSet& set = SetFor(view.sets, tag);
                set.data[name] = h;
                set.all.push_back(h);
            }
            continue;
        }
        if ((cls != CKO_PRIVATE_KEY && cls != CKO_PUBLIC_KEY && cls != CKO_CERTIFICATE) ||
            idBytes.size() != kTagSize + 1) {
            continue;
        }
        Bytes tag = idBytes.substr(0, kTagSize);
        char suffix = idBytes.back();
        if ((suffix != kSignSuffix && suffix != kEncSuffix) || labelText != KeyLabel(tag, suffix)) {
            continue; // not ours
        }
        TokenSet& set = SetFor(view.sets, tag);
        bool sign = suffix == kSignSuffix;
        if (cls == CKO_PRIVATE_KEY) {
            (sign ? set.signPriv : set.encPriv) = h;
        } else if (cls == CKO_CERTIFICATE) {
            (sign ? set.signCert : set.encCert) = h;
        } else if (sign) {
            set.signPub = h;
        }
        set.all.push_back(h);
    }
    std::sort(view.sets.begin(), view.sets.end(), [](const TokenSet& a, const TokenSet& b) {
        return a.generation != b.generation ? a.generation < b.generation : a.tag < b.tag;
    });
    rv = CKR_OK;
    return true;
}

void RemoveSet(const Session& s, const TokenSet& set, const TokenView* view) {
    if (set.signCert != CK_INVALID_HANDLE && s.Destroy(set.signCert) != CKR_OK) {
        return; // still complete: keep it whole
    }
    // An older set may still hold the objects in force (a password or service keys that did not change).
    CK_OBJECT_HANDLE password = view ? view->ManagePassword(true) : CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE serviceKeys = view ? view->InForce(kServiceKeys, true) : CK_INVALID_HANDLE;
    for (CK_OBJECT_HANDLE h : set.all) {
        if (h != set.signCert && h != password && h != serviceKeys) {
            s.Destroy(h);
        }
    }
}

void RemoveLeftovers(const Session& s, const TokenView& view) {
    const TokenSet* current = view.Current(true);
    const TokenSet* pending = view.Pending(true);
    if (!current) {
        return; // nothing to resolve to: leave the token as it is for someone to look at
    }
    for (const TokenSet& set : view.sets) {
        if (&set == current) {
            continue;
        }
        if (&set == pending) {
            // Keep the key; what an interrupted WriteCard wrote beside it goes.
            for (CK_OBJECT_HANDLE h : set.all) {
                if (h != set.signPriv && h != set.signPub) {
                    s.Destroy(h);
                }
            }
            continue;
        }
        RemoveSet(s, set, &view);
    }
}

Bytes PublicKeySpki(const Session& s, CK_OBJECT_HANDLE pub) {
    CK_ULONG keyType = 0;
    Bytes a, b;
    if (pub == CK_INVALID_HANDLE || !s.UlongAttr(pub, CKA_KEY_TYPE, keyType)) {
        return {};
    }
    if (keyType == CKK_EC && s.Attr(pub, CKA_EC_PARAMS, a) && s.Attr(pub, CKA_EC_POINT, b)) {
        return EcSpki(a, b);
    }
    if (keyType == CKK_RSA && s.Attr(pub, CKA_MODULUS, a) && s.Attr(pub, CKA_PUBLIC_EXPONENT, b)) {
        return RsaSpki(a, b);
    }
    return {};
}

namespace {

CK_RV CreateCert(const Session& s, const Bytes& id, const std::string& label, const CertInfo& cert,
                 CK_OBJECT_HANDLE& out) {
    CK_ULONG cls = CKO_CERTIFICATE, type = CKC_X_509;
    return s.CreateOnToken({Attr(CKA_CLASS, cls), Attr(CKA_CERTIFICATE_TYPE, type), Attr(CKA_TOKEN, kTrue),
                            Attr(CKA_PRIVATE, kFalse), Attr(CKA_MODIFIABLE, kFalse), Attr(CKA_ID, id),
                            Attr(CKA_LABEL, label), Attr(CKA_SUBJECT, cert.subject),
                            Attr(CKA_ISSUER, cert.issuer), Attr(CKA_SERIAL_NUMBER, cert.serial),
                            Attr(CKA_VALUE, cert.der)},
                           out);
}

CK_RV CreateData(const Session& s, const std::string& label, const std::string& value, bool isPrivate,
                 CK_OBJECT_HANDLE& out) {
    CK_ULONG cls = CKO_DATA;
    std::string app = kApplication;
    return s.CreateOnToken({Attr(CKA_CLASS, cls), Attr(CKA_TOKEN, kTrue),
                            Attr(CKA_PRIVATE, isPrivate ? kTrue : kFalse), Attr(CKA_MODIFIABLE, kFalse),
                            Attr(CKA_APPLICATION, app), Attr(CKA_LABEL, label), Attr(CKA_VALUE, value)},
                           out);
}

// The encryption private key, sensitive and not extractable, for decryption only (EC: key agreement).
// Its public half is in its certificate.
CK_RV CreateEncKey(const Session& s, const Bytes& id, const std::string& label, const KeyParts& k,
                   const Bytes& subject, CK_OBJECT_HANDLE& out) {
    CK_ULONG privClass = CKO_PRIVATE_KEY;
    CK_ULONG type = k.kind == KeyKind::Rsa ? CKK_RSA : CKK_EC;
    std::vector<CK_ATTRIBUTE> priv = {Attr(CKA_CLASS, privClass),
                                      Attr(CKA_KEY_TYPE, type),
                                      Attr(CKA_TOKEN, kTrue),
                                      Attr(CKA_PRIVATE, kTrue),
                                      Attr(CKA_SENSITIVE, kTrue),
                                      Attr(CKA_EXTRACTABLE, kFalse),
                                      Attr(CKA_ID, id),
                                      Attr(CKA_LABEL, label),
                                      Attr(CKA_SUBJECT, subject),
                                      Attr(CKA_DECRYPT, kTrue),
                                      Attr(CKA_UNWRAP, kTrue),
                                      Attr(CKA_SIGN, kFalse),
                                      Attr(CKA_MODIFIABLE, kFalse)};
    if (k.kind == KeyKind::Rsa) {
        priv.push_back(Attr(CKA_SIGN_RECOVER, kFalse));
        priv.push_back(Attr(CKA_DERIVE, kFalse));
        for (auto [t, v] : {std::pair{CKA_MODULUS, &k.n},
                            {CKA_PUBLIC_EXPONENT, &k.e},
                            {CKA_PRIVATE_EXPONENT, &k.d},
                            {CKA_PRIME_1, &k.p},
                            {CKA_PRIME_2, &k.q},
                            {CKA_EXPONENT_1, &k.dp},
                            {CKA_EXPONENT_2, &k.dq},
                            {CKA_COEFFICIENT, &k.qinv}}) {
            priv.push_back(Attr(t, *v));
        }
    } else {
        priv.push_back(Attr(CKA_EC_PARAMS, k.ecParams));
        priv.push_back(Attr(CKA_VALUE, k.ecPrivate));
        priv.push_back(Attr(CKA_DERIVE, kTrue));
    }
    return s.CreateOnToken(priv, out);
}

} // namespace

std::string ServiceKeysValue(const std::string& kmsKey, const std::string& cssSignKey,
                             const std::string& cssEnvKey) {
    std::string out;
    for (auto [name, value] :
         {std::pair{"kmsKey", &kmsKey}, {"cssSignKey", &cssSignKey}, {"cssEnvKey", &cssEnvKey}}) {
        out += std::string(name) + " " + std::to_string(value->size()) + "\n" + *value;
    }
    return out;
}

CK_RV WriteSet(const Session& s, const NewSet& set, std::string& step) {
    std::vector<CK_OBJECT_HANDLE> made;
    auto undo = [&](CK_RV rv) {
        for (auto it = made.rbegin(); it != made.rend(); ++it) {
            s.Destroy(*it);
        }
        return rv;
    };
    CertInfo sign;
    if (!ReadCertPem(set.signCertPem, sign) || set.tag.size() != kTagSize) {
        step = "signCert";
        return CKR_ARGUMENTS_BAD;
    }
    Bytes signId = set.tag + kSignSuffix, encId = set.tag + kEncSuffix;
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    CK_RV rv = CKR_OK;
    if (!set.encCertPem.empty()) {
        CertInfo enc;
        const KeyParts& parts = set.encKey;
        step = "envCert";
        if (!ReadCertPem(set.encCertPem, enc) ||
            (parts.kind == KeyKind::Rsa ? parts.d.empty() : parts.ecPrivate.empty())) {
            return undo(CKR_ARGUMENTS_BAD);
        }
        step = "envKey";
        rv = CreateEncKey(s, encId, KeyLabel(set.tag, kEncSuffix), parts, enc.subject, h);
        if (rv != CKR_OK) {
            return undo(rv);
        }
        made.push_back(h);
        step = "envCert";
        rv = CreateCert(s, encId, KeyLabel(set.tag, kEncSuffix), enc, h);
        if (rv != CKR_OK) {
            return undo(rv);
        }
        made.push_back(h);
    }
    if (!set.serviceKeys.empty()) {
        step = kServiceKeys;
        rv = CreateData(s, DataLabel(set.tag, kServiceKeys), set.serviceKeys, false, h);
        if (rv != CKR_OK) {
            return undo(rv);
        }
        made.push_back(h);
    }
    if (!set.managePasswordHash.empty()) {
        step = kManagePassword;
        rv = CreateData(s, DataLabel(set.tag, kManagePassword), set.managePasswordHash, true, h);
        if (rv != CKR_OK) {
            return undo(rv);
        }
        made.push_back(h);
    }
    // Last: with its signing certificate the set is complete.
    step = "signCert";
    rv = CreateCert(s, signId, KeyLabel(set.tag, kSignSuffix), sign, h);
    if (rv != CKR_OK) {
        return undo(rv);
    }
    step.clear();
    return CKR_OK;
}

CK_RV WriteHolder(const Session& s, const std::string& recordGbk) {
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    CK_ULONG cls = CKO_DATA;
    std::string app = kApplication, label = kHolderLabel;
    return s.CreateOnToken({Attr(CKA_CLASS, cls), Attr(CKA_TOKEN, kTrue), Attr(CKA_PRIVATE, kFalse),
                            Attr(CKA_MODIFIABLE, kFalse), Attr(CKA_APPLICATION, app), Attr(CKA_LABEL, label),
                            Attr(CKA_VALUE, recordGbk)},
                           h);
}

CK_RV GenerateSigningKey(const Session& s, const Bytes& tag, KeyKind kind, int bits, CK_OBJECT_HANDLE& pub,
                         CK_OBJECT_HANDLE& priv) {
    Bytes id = tag + kSignSuffix;
    std::string label = KeyLabel(tag, kSignSuffix);
    // A signing key signs and does nothing else (a module's defaults may allow more).
    std::vector<CK_ATTRIBUTE> pubT = {
        Attr(CKA_TOKEN, kFalse), Attr(CKA_PRIVATE, kFalse), Attr(CKA_ID, id),       Attr(CKA_LABEL, label),
        Attr(CKA_VERIFY, kTrue), Attr(CKA_ENCRYPT, kFalse), Attr(CKA_WRAP, kFalse), Attr(CKA_DERIVE, kFalse)};
    std::vector<CK_ATTRIBUTE> privT = {Attr(CKA_TOKEN, kTrue),     Attr(CKA_PRIVATE, kTrue),
                                       Attr(CKA_SENSITIVE, kTrue), Attr(CKA_EXTRACTABLE, kFalse),
                                       Attr(CKA_ID, id),           Attr(CKA_LABEL, label),
                                       Attr(CKA_SIGN, kTrue),      Attr(CKA_DECRYPT, kFalse),
                                       Attr(CKA_UNWRAP, kFalse),   Attr(CKA_DERIVE, kFalse)};
    Bytes params;
    CK_ULONG modulusBits = static_cast<CK_ULONG>(bits);
    static const unsigned char kF4[] = {0x01, 0x00, 0x01};
    CK_MECHANISM_TYPE mech = CKM_EC_KEY_PAIR_GEN;
    if (kind == KeyKind::Rsa) {
        mech = CKM_RSA_PKCS_KEY_PAIR_GEN;
        pubT.push_back(Attr(CKA_MODULUS_BITS, modulusBits));
        pubT.push_back(Attr(CKA_PUBLIC_EXPONENT, kF4, sizeof kF4));
    } else if (kind == KeyKind::EcP256 || kind == KeyKind::Sm2) {
        params = kind == KeyKind::Sm2 ? EcParamsSm2() : EcParamsP256();
        pubT.push_back(Attr(CKA_EC_PARAMS, params));
    } else {
        return CKR_ARGUMENTS_BAD;
    }
    // Generated on the token itself: card modules keep no session keys (OpenSC writes the key to the card
    // whatever CKA_TOKEN says) and copy nothing. A module that does not take CKA_MODIFIABLE in the template
    // generates the key without it.
    privT.push_back(Attr(CKA_MODIFIABLE, kFalse));
    CK_RV rv = s.GenerateKeyPair(mech, pubT, privT, pub, priv);
    if (RefusesTemplate(rv)) {
        privT.pop_back();
        rv = s.GenerateKeyPair(mech, pubT, privT, pub, priv);
    }
    return rv;
}

} // namespace rv::p11card
