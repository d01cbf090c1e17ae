#include "provision.h"

namespace rv::p11card {

bool Provisioner::Open(const TokenTarget& target, const std::string& pinGbk, bool replace,
                       std::string& error) {
    if (!Module::Load(target.module, modules_, error)) {
        return false;
    }
    std::vector<TokenRef> match;
    for (TokenRef& t : ListTokens(modules_)) {
        bool named = !target.label.empty() || !target.serial.empty();
        if (named ? (target.label.empty() || t.label == target.label) &&
                        (target.serial.empty() || t.serial == target.serial)
                  : !(t.flags & CKF_WRITE_PROTECTED)) {
            match.push_back(t);
        }
    }
    if (match.size() != 1) {
        error = match.empty() ? "未找到指定的令牌" : "找到多个令牌，请用标签或序列号指定一个";
        return false;
    }
    CK_RV rv = session_.Open(match.front());
    if (rv == CKR_OK) {
        rv = session_.Login(pinGbk);
    }
    if (rv != CKR_OK) {
        error = "无法打开令牌或口令错误（" + RvText(rv) + "）";
        return false;
    }
    TokenView view;
    if (!ScanToken(session_, view, rv)) {
        error = "无法读取令牌（" + RvText(rv) + "）";
        return false;
    }
    if (view.holderCount > 0 || !view.sets.empty()) {
        if (!replace) {
            error = "令牌中已有IC卡数据（用 --replace 覆盖）";
            return false;
        }
        RemoveCard();
    }
    return true;
}

std::string Provisioner::GenerateKey(KeyKind kind, int rsaBits, std::string& error) {
    tag_ = NewTag(1);
    CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE, priv = CK_INVALID_HANDLE;
    CK_RV rv =
        tag_.empty() ? CKR_FUNCTION_FAILED : GenerateSigningKey(session_, tag_, kind, rsaBits, pub, priv);
    if (rv != CKR_OK) {
        error = "令牌生成密钥对失败（" + RvText(rv) + "）";
        return {};
    }
    std::string pem = SpkiPem(PublicKeySpki(session_, pub));
    session_.Destroy(pub); // a session object; the certificate will carry the public key
    if (pem.empty()) {
        error = "无法读取令牌生成的公钥";
    }
    return pem;
}

bool Provisioner::Finish(const std::string& holderRecordGbk, const std::string& certPem,
                         const std::string& managePasswordGbk, std::string& error,
                         const std::string& serviceKeys) {
    NewSet set;
    set.tag = tag_;
    set.signCertPem = certPem;
    set.serviceKeys = serviceKeys;
    set.managePasswordHash = HashManagePassword(managePasswordGbk);
    std::string step;
    CK_RV rv = set.managePasswordHash.empty() ? CKR_FUNCTION_FAILED : WriteHolder(session_, holderRecordGbk);
    if (rv == CKR_OK) {
        rv = WriteSet(session_, set, step);
    }
    if (rv != CKR_OK) {
        error = "写入令牌失败（" + step + "：" + RvText(rv) + "）";
        RemoveCard();
        return false;
    }
    return true;
}

void Provisioner::RemoveCard() {
    TokenView view;
    CK_RV rv = CKR_OK;
    if (!ScanToken(session_, view, rv)) {
        return;
    }
    for (const TokenSet& s : view.sets) {
        RemoveSet(session_, s);
    }
    std::vector<CK_OBJECT_HANDLE> holders;
    CK_ULONG cls = CKO_DATA;
    std::string app = kApplication, label = kHolderLabel;
    if (session_.Find({Attr(CKA_CLASS, cls), Attr(CKA_APPLICATION, app), Attr(CKA_LABEL, label)}, holders) ==
        CKR_OK) {
        for (CK_OBJECT_HANDLE h : holders) {
            session_.Destroy(h);
        }
    }
}

} // namespace rv::p11card
