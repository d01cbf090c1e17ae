#include "myeid_card.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace cardsim {
namespace {

// Status words.
const Bytes kOk{0x90, 0x00};
const Bytes kWrongLength{0x67, 0x00};
const Bytes kSecurity{0x69, 0x82};
const Bytes kBlocked{0x69, 0x83};
const Bytes kConditions{0x69, 0x85};
const Bytes kNoCurrentEf{0x69, 0x86};
const Bytes kWrongData{0x6A, 0x80};
const Bytes kFunctionNotSupported{0x6A, 0x81};
const Bytes kNotFound{0x6A, 0x82};
const Bytes kNoMemory{0x6A, 0x84};
const Bytes kWrongP1P2{0x6A, 0x86};
const Bytes kExists{0x6A, 0x89};
const Bytes kWrongOffset{0x6B, 0x00};
const Bytes kUnknownIns{0x6D, 0x00};
const Bytes kUnknownCla{0x6E, 0x00};
const Bytes kMemoryFailure{0x65, 0x81};

const Bytes kAppletAid{0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
// Each file costs its header besides its contents.
constexpr std::size_t kHeader = 32;

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Hex(const Bytes& b) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s.empty() ? "-" : s;
}

Bytes FromHex(const std::string& s) {
    Bytes out;
    if (s == "-") {
        return out;
    }
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// The TLVs of a flat BER list (one- and two-byte tags, lengths up to 0xFFFF).
std::map<unsigned, Bytes> Tlvs(const Bytes& d, std::size_t from = 0, std::size_t to = std::string::npos) {
    std::map<unsigned, Bytes> out;
    std::size_t i = from, end = std::min(to, d.size());
    while (i < end) {
        unsigned tag = d[i++];
        if ((tag & 0x1F) == 0x1F && i < end) {
            tag = (tag << 8) | d[i++];
        }
        if (i >= end) {
            break;
        }
        std::size_t len = d[i++];
        if (len == 0x81 && i < end) {
            len = d[i++];
        } else if (len == 0x82 && i + 1 < end) {
            len = (static_cast<std::size_t>(d[i]) << 8) | d[i + 1];
            i += 2;
        }
        if (i + len > end) {
            break;
        }
        out[tag] = Bytes(d.begin() + static_cast<long>(i), d.begin() + static_cast<long>(i + len));
        i += len;
    }
    return out;
}

Bytes Tlv(uint8_t tag, const Bytes& value) {
    Bytes out{tag};
    if (value.size() >= 0x80) {
        out.push_back(0x81);
    }
    out.push_back(static_cast<uint8_t>(value.size()));
    return Cat(out, value);
}

// The PIN as the card compares it: without the padding bytes a host adds.
Bytes Unpadded(Bytes pin) {
    while (!pin.empty() && (pin.back() == 0xFF || pin.back() == 0x00)) {
        pin.pop_back();
    }
    return pin;
}

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key KeyOf(const Bytes& der) {
    const unsigned char* p = der.data();
    return Key(der.empty() ? nullptr : d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
}

Bytes DerOf(EVP_PKEY* key) {
    int n = key ? i2d_PrivateKey(key, nullptr) : 0;
    Bytes out(n > 0 ? static_cast<std::size_t>(n) : 0);
    unsigned char* p = out.data();
    if (n > 0) {
        i2d_PrivateKey(key, &p);
    }
    return out;
}

const char* CurveOfBits(std::size_t bits) {
    switch (bits) {
    case 192:
        return "prime192v1";
    case 256:
        return "prime256v1";
    case 384:
        return "secp384r1";
    case 521:
        return "secp521r1";
    default:
        return nullptr;
    }
}

Bytes BnBytes(const EVP_PKEY* key, const char* name, int width = 0) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) {
        return {};
    }
    int n = std::max(BN_num_bytes(bn), width);
    Bytes out(static_cast<std::size_t>(n));
    BN_bn2binpad(bn, out.data(), n);
    BN_clear_free(bn);
    return out;
}

Bytes EcPoint(const EVP_PKEY* key) {
    std::size_t n = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &n) != 1) {
        return {};
    }
    Bytes out(n);
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, out.data(), n, &n);
    return out;
}

Key FromParams(const char* type, OSSL_PARAM_BLD* bld) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* key = nullptr;
    if (params && ctx && EVP_PKEY_fromdata_init(ctx) == 1) {
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params);
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    return Key(key);
}

BIGNUM* Bn(const Bytes& b) {
    return BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr);
}

// An RSA key from the parts the host loads (CRT form; d is worked out here).
Key RsaFromParts(std::map<uint8_t, Bytes>& parts, const Bytes& modulus) {
    BN_CTX* bnctx = BN_CTX_new();
    BIGNUM *n = Bn(modulus), *e = Bn(parts[0x81]), *p = Bn(parts[0x83]), *q = Bn(parts[0x84]),
           *dp = Bn(parts[0x85]), *dq = Bn(parts[0x86]), *qinv = Bn(parts[0x87]);
    BIGNUM *p1 = BN_new(), *q1 = BN_new(), *phi = BN_new(), *d = BN_new();
    Key key;
    if (bnctx && n && e && p && q && dp && dq && qinv && p1 && q1 && phi && d &&
        BN_sub(p1, p, BN_value_one()) && BN_sub(q1, q, BN_value_one()) && BN_mul(phi, p1, q1, bnctx) &&
        BN_mod_inverse(d, e, phi, bnctx)) {
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, d);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, p);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, q);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv);
        key = FromParams("RSA", bld);
        OSSL_PARAM_BLD_free(bld);
    }
    for (BIGNUM* b : {n, e, p, q, dp, dq, qinv, p1, q1, phi, d}) {
        BN_clear_free(b);
    }
    BN_CTX_free(bnctx);
    return key;
}

Key EcFromParts(std::size_t bits, const Bytes& d, const Bytes& point) {
    const char* curve = CurveOfBits(bits);
    BIGNUM* priv = Bn(d);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    Key key;
    if (curve && priv && bld &&
        OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, curve, 0) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, priv) == 1 &&
        OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) == 1) {
        key = FromParams("EC", bld);
    }
    OSSL_PARAM_BLD_free(bld);
    BN_clear_free(priv);
    return key;
}

// Raw RSA with the private key (input as long as the modulus).
bool RsaRaw(EVP_PKEY* key, const Bytes& in, Bytes& out, bool decrypt) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    std::size_t n = static_cast<std::size_t>(EVP_PKEY_get_size(key));
    bool ok = ctx && (decrypt ? EVP_PKEY_decrypt_init(ctx) : EVP_PKEY_sign_init(ctx)) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 && in.size() == n;
    out.assign(n, 0);
    if (ok) {
        ok = decrypt ? EVP_PKEY_decrypt(ctx, out.data(), &n, in.data(), in.size()) == 1
                     : EVP_PKEY_sign(ctx, out.data(), &n, in.data(), in.size()) == 1;
        out.resize(n);
    }
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

} // namespace

MyEidCard::MyEidCard(Options options) : options_(std::move(options)) {
    Wipe();
}

MyEidCard::~MyEidCard() = default;

void MyEidCard::Wipe() {
    mf_ = std::make_unique<File>();
    mf_->fid = 0x3F00;
    mf_->descriptor = 0x38;
    mf_->sec = {0x00, 0x0F, 0xFF};
    current_ = mf_.get();
    pins_.clear();
    lifeCycle_ = 0x01;
    Reset();
}

void MyEidCard::Reset() {
    verified_.clear();
    seOperation_ = seAlgorithm_ = 0;
    seKeyFid_ = 0;
    chain_.clear();
    splitHalf_.clear();
    pendingModulus_.clear();
    importParts_.clear();
    current_ = mf_.get();
}

Bytes MyEidCard::Atr() const {
    // T=1, historical bytes "MyEID" (what OpenSC's driver matches on).
    Bytes atr{0x3B, 0xF5, 0x18, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 'M', 'y', 'E', 'I', 'D'};
    uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) {
        tck ^= atr[i];
    }
    atr.push_back(tck);
    return atr;
}

bool MyEidCard::IsWrite(const Bytes& apdu) {
    if (apdu.size() < 4) {
        return false;
    }
    switch (apdu[1]) {
    case 0xE0: // CREATE FILE
    case 0xE4: // DELETE FILE
    case 0xD6: // UPDATE BINARY
    case 0x46: // GENERATE KEY
    case 0xDA: // PUT DATA
    case 0x44: // ACTIVATE
    case 0x24: // CHANGE REFERENCE DATA
    case 0x2C: // RESET RETRY COUNTER
        return true;
    default:
        return false;
    }
}

bool MyEidCard::ContinuesDirectory(const Bytes& apdu) const {
    if (apdu.size() < 4 || apdu[1] != 0xD6 || (apdu[2] == 0 && apdu[3] == 0)) {
        return false;
    }
    uint16_t fid = current_->fid;
    return (fid >= 0x4400 && fid <= 0x44FF) || (fid >= 0x5031 && fid <= 0x5033);
}

// ---- State file ----

namespace {

void SaveFile(std::ostream& out, const File& f, const std::string& path) {
    out << "file " << path << " " << int(f.descriptor) << " " << f.size << " " << Hex(f.sec) << " "
        << Hex(f.prop) << " " << Hex(f.name) << " " << Hex(f.data) << " " << Hex(f.key) << "\n";
    for (const auto& c : f.children) {
        char fid[8];
        std::snprintf(fid, sizeof fid, "%04x", c->fid);
        SaveFile(out, *c, path + fid);
    }
}

} // namespace

bool MyEidCard::Save() {
    std::ostringstream out;
    out << "cardsim-myeid 1\nlifecycle " << int(lifeCycle_) << "\n";
    for (const auto& [ref, p] : pins_) {
        out << "pin " << ref << " " << Hex(p.pin) << " " << Hex(p.puk) << " " << p.maxTries << " " << p.tries
            << " " << p.pukMaxTries << " " << p.pukTries << "\n";
    }
    SaveFile(out, *mf_, "3f00");
    // The card commits each command as a whole: written aside, then renamed over the old state.
    std::string tmp = options_.stateFile + ".tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << out.str();
        if (!f) {
            return false;
        }
    }
    return std::rename(tmp.c_str(), options_.stateFile.c_str()) == 0;
}

bool MyEidCard::Load(std::string& error) {
    std::ifstream in(options_.stateFile);
    if (!in) {
        return true; // a new card, in its creation state
    }
    Wipe();
    std::string line;
    std::getline(in, line);
    if (line != "cardsim-myeid 1") {
        error = "not a card state file: " + options_.stateFile;
        return false;
    }
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::string kind;
        l >> kind;
        if (kind == "lifecycle") {
            int v = 1;
            l >> v;
            lifeCycle_ = static_cast<uint8_t>(v);
        } else if (kind == "pin") {
            int ref = 0;
            std::string pin, puk;
            Pin p;
            l >> ref >> pin >> puk >> p.maxTries >> p.tries >> p.pukMaxTries >> p.pukTries;
            p.pin = FromHex(pin);
            p.puk = FromHex(puk);
            pins_[ref] = p;
        } else if (kind == "file") {
            std::string path, sec, prop, name, data, key;
            int descriptor = 0;
            std::size_t size = 0;
            l >> path >> descriptor >> size >> sec >> prop >> name >> data >> key;
            Bytes p = FromHex(path);
            if (p.size() < 2 || p.size() % 2 != 0) {
                error = "bad file line";
                return false;
            }
            File* dir = mf_.get();
            for (std::size_t i = 2; i + 2 < p.size(); i += 2) {
                dir = dir ? FindChild(dir, static_cast<uint16_t>(p[i] << 8 | p[i + 1])) : nullptr;
            }
            File* f = mf_.get();
            if (p.size() > 2) {
                if (!dir) {
                    error = "file without its folder";
                    return false;
                }
                auto nf = std::make_unique<File>();
                nf->fid = static_cast<uint16_t>(p[p.size() - 2] << 8 | p[p.size() - 1]);
                nf->parent = dir;
                f = nf.get();
                dir->children.push_back(std::move(nf));
            }
            f->descriptor = static_cast<uint8_t>(descriptor);
            f->size = size;
            f->sec = FromHex(sec);
            f->prop = FromHex(prop);
            f->name = FromHex(name);
            f->data = FromHex(data);
            f->key = FromHex(key);
        }
    }
    current_ = mf_.get();
    return true;
}

// ---- Helpers ----

File* MyEidCard::FindChild(File* dir, uint16_t fid) const {
    for (auto& c : dir->children) {
        if (c->fid == fid) {
            return c.get();
        }
    }
    return nullptr;
}

File* MyEidCard::FindByName(File* dir, const Bytes& name) const {
    if (dir->IsDf() && !dir->name.empty() && dir->name == name) {
        return dir;
    }
    for (auto& c : dir->children) {
        if (File* f = FindByName(c.get(), name)) {
            return f;
        }
    }
    return nullptr;
}

std::size_t MyEidCard::Cost(const File& f) const {
    if (f.IsKey()) {
        // A private key with the parts the card keeps (RSA: CRT form).
        return kHeader + (f.descriptor == 0x11 ? f.size / 8 * 5 / 2 + 16 : f.size / 8 * 3 + 16);
    }
    return kHeader + (f.IsDf() ? 0 : f.size);
}

std::size_t MyEidCard::Used(const File& f) const {
    std::size_t n = Cost(f);
    for (const auto& c : f.children) {
        n += Used(*c);
    }
    return n;
}

bool MyEidCard::Allowed(uint8_t nibble) const {
    if (lifeCycle_ != 0x05 || nibble == 0x00) {
        return true; // no access rules before the card is made operational
    }
    if (nibble == 0x0F) {
        return false;
    }
    auto it = verified_.find(nibble);
    return it != verified_.end() && it->second;
}

Bytes MyEidCard::Fcp(const File& f) const {
    Bytes body;
    uint8_t sizeTag = f.IsKey() ? 0x81 : 0x80;
    std::size_t size = f.IsDf() ? 0 : f.size;
    if (f.IsDf()) {
        std::size_t used = Used(*mf_);
        size = used < options_.capacity ? options_.capacity - used : 0;
        sizeTag = 0x81;
    }
    body = Cat(body, Tlv(sizeTag, {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)}));
    body = Cat(body, Tlv(0x82, {f.descriptor}));
    body = Cat(body, Tlv(0x83, {static_cast<uint8_t>(f.fid >> 8), static_cast<uint8_t>(f.fid)}));
    if (!f.name.empty()) {
        body = Cat(body, Tlv(0x84, f.name));
    }
    body = Cat(body, Tlv(0x86, f.sec));
    body = Cat(body, Tlv(0x85, f.prop));
    body = Cat(body, Tlv(0x8A, {lifeCycle_}));
    return Cat(Tlv(0x62, body), kOk);
}

// ---- Commands ----

Bytes MyEidCard::Process(const Bytes& apdu) {
    if (apdu.size() < 4) {
        return kWrongLength;
    }
    uint8_t cla = apdu[0], ins = apdu[1], p1 = apdu[2], p2 = apdu[3];
    Bytes data;
    std::size_t le = 0;
    if (apdu.size() == 5) {
        le = apdu[4] == 0 ? 256 : apdu[4];
    } else if (apdu.size() > 5) {
        std::size_t lc = apdu[4];
        if (lc == 0 || apdu.size() < 5 + lc || apdu.size() > 6 + lc) {
            return kWrongLength;
        }
        data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<long>(lc));
        if (apdu.size() == 6 + lc) {
            le = apdu[5 + lc] == 0 ? 256 : apdu[5 + lc];
        }
    }
    if ((cla & ~0x10) != 0x00 && cla != 0xA0) {
        return kUnknownCla;
    }
    // Command chaining: the parts are gathered and the last one runs the command.
    if (cla & 0x10) {
        if (!chain_.empty() && chainIns_ != ins) {
            chain_.clear();
        }
        chainIns_ = ins;
        chain_ = Cat(chain_, data);
        return kOk;
    }
    if (!chain_.empty()) {
        data = chainIns_ == ins ? Cat(chain_, data) : data;
        chain_.clear();
    }
    return Dispatch(cla, ins, p1, p2, data, le);
}

Bytes MyEidCard::Dispatch(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
                          std::size_t le) {
    if (cla == 0xA0 && ins != 0xE4) {
        return kUnknownCla;
    }
    switch (ins) {
    case 0xA4:
        return Select(p1, p2, data);
    case 0xB0:
        return ReadBinary(p1, p2, le);
    case 0xD6:
        return UpdateBinary(p1, p2, data);
    case 0xE0:
        return CreateFile(data);
    case 0xE4:
        return DeleteFile();
    case 0x20:
        return Verify(p2, data);
    case 0x24:
        return ChangeReference(p2, data);
    case 0x2C: {
        // RESET RETRY COUNTER: PUK then the new PIN, 8 bytes each.
        auto it = pins_.find(p2);
        if (it == pins_.end() || data.size() != 16) {
            return it == pins_.end() ? kNotFound : kWrongLength;
        }
        Pin& pin = it->second;
        if (pin.pukTries <= 0) {
            return kBlocked;
        }
        if (Unpadded(Bytes(data.begin(), data.begin() + 8)) != Unpadded(pin.puk)) {
            --pin.pukTries;
            Save();
            return pin.pukTries > 0 ? Bytes{0x63, static_cast<uint8_t>(0xC0 | pin.pukTries)} : kBlocked;
        }
        pin.pukTries = pin.pukMaxTries;
        pin.pin.assign(data.begin() + 8, data.end());
        pin.tries = pin.maxTries;
        return Save() ? kOk : kMemoryFailure;
    }
    case 0x2E:
        verified_.clear();
        return kOk;
    case 0x84: {
        Bytes r(le ? le : 8);
        RAND_bytes(r.data(), static_cast<int>(r.size()));
        return Cat(r, kOk);
    }
    case 0xCA:
        return GetData(p1, p2, le);
    case 0xDA:
        return PutData(p1, p2, data);
    case 0x46:
        return GenerateKey(data);
    case 0x22:
        return ManageSecurityEnvironment(p1, p2, data);
    case 0x2A:
        return PerformSecurityOperation(p1, p2, data);
    case 0x86:
        return GeneralAuthenticate(data);
    case 0x44:
        return Activate();
    default:
        return kUnknownIns;
    }
}

Bytes MyEidCard::Select(uint8_t p1, uint8_t p2, const Bytes& data) {
    File* dir = current_->IsDf() ? current_ : current_->parent;
    File* found = nullptr;
    auto walk = [&](File* from, const Bytes& path) -> File* {
        File* f = from;
        for (std::size_t i = 0; f && i + 1 < path.size(); i += 2) {
            uint16_t fid = static_cast<uint16_t>(path[i] << 8 | path[i + 1]);
            f = f->IsDf() ? FindChild(f, fid) : nullptr;
        }
        return path.size() % 2 == 0 ? f : nullptr;
    };
    switch (p1) {
    case 0x00: {
        if (data.empty() || (data.size() == 2 && data[0] == 0x3F && data[1] == 0x00)) {
            found = mf_.get();
            break;
        }
        if (data.size() != 2) {
            return kWrongLength;
        }
        uint16_t fid = static_cast<uint16_t>(data[0] << 8 | data[1]);
        found = FindChild(dir, fid);
        if (!found && dir->fid == fid) {
            found = dir;
        }
        if (!found && dir->parent) {
            found = FindChild(dir->parent, fid);
        }
        break;
    }
    case 0x01:
    case 0x02:
        if (data.size() == 2) {
            found = FindChild(dir, static_cast<uint16_t>(data[0] << 8 | data[1]));
        }
        break;
    case 0x03:
        found = dir->parent ? dir->parent : nullptr;
        break;
    case 0x04:
        found = FindByName(mf_.get(), data);
        if (!found && data == kAppletAid) {
            found = mf_.get(); // the applet itself
        }
        break;
    case 0x08:
        found = walk(mf_.get(), data);
        break;
    case 0x09:
        found = walk(dir, data);
        break;
    default:
        return kWrongP1P2;
    }
    if (!found) {
        return kNotFound;
    }
    current_ = found;
    splitHalf_.clear();
    if ((p2 & 0x0C) == 0x0C) {
        return kOk;
    }
    return Fcp(*found);
}

Bytes MyEidCard::ReadBinary(uint8_t p1, uint8_t p2, std::size_t le) {
    if (p1 & 0x80) {
        return kWrongP1P2;
    }
    if (current_->IsDf() || current_->IsKey()) {
        return kNoCurrentEf;
    }
    if (!Allowed(current_->sec[0] >> 4)) {
        return kSecurity;
    }
    std::size_t offset = static_cast<std::size_t>((p1 << 8) | p2);
    if (offset > current_->data.size()) {
        return kWrongOffset;
    }
    std::size_t n = std::min(le ? le : 256, current_->data.size() - offset);
    Bytes out(current_->data.begin() + static_cast<long>(offset),
              current_->data.begin() + static_cast<long>(offset + n));
    return Cat(out, kOk);
}

Bytes MyEidCard::UpdateBinary(uint8_t p1, uint8_t p2, const Bytes& data) {
    if (p1 & 0x80) {
        return kWrongP1P2;
    }
    if (current_->IsDf() || current_->IsKey()) {
        return kNoCurrentEf;
    }
    if (!Allowed(current_->sec[0] & 0x0F)) {
        return kSecurity;
    }
    std::size_t offset = static_cast<std::size_t>((p1 << 8) | p2);
    if (offset > current_->size) {
        return kWrongOffset;
    }
    if (offset + data.size() > current_->size) {
        return kWrongLength;
    }
    std::copy(data.begin(), data.end(), current_->data.begin() + static_cast<long>(offset));
    return Save() ? kOk : kMemoryFailure;
}

Bytes MyEidCard::CreateFile(const Bytes& data) {
    if (data.size() < 2 || data[0] != 0x62) {
        return kWrongData;
    }
    File* dir = current_->IsDf() ? current_ : current_->parent;
    if (!Allowed(dir->sec[0] >> 4)) {
        return kSecurity;
    }
    auto t = Tlvs(data, 2);
    auto f = std::make_unique<File>();
    if (t[0x83].size() != 2 || t[0x82].empty()) {
        return kWrongData;
    }
    f->fid = static_cast<uint16_t>(t[0x83][0] << 8 | t[0x83][1]);
    f->descriptor = t[0x82][0];
    const Bytes& size = t.count(0x80) ? t[0x80] : t[0x81];
    for (uint8_t b : size) {
        f->size = (f->size << 8) | b;
    }
    if (t[0x86].size() == 3) {
        f->sec = t[0x86];
    }
    if (t[0x85].size() == 2) {
        f->prop = t[0x85];
    }
    f->name = t[0x84];
    if (f->IsDf()) {
        f->size = 0;
    } else if (!f->IsKey()) {
        f->data.assign(f->size, 0x00);
    }
    if (FindChild(dir, f->fid) || f->fid == 0x3F00) {
        return kExists;
    }
    if (Used(*mf_) + Cost(*f) > options_.capacity) {
        return kNoMemory;
    }
    f->parent = dir;
    current_ = f.get();
    dir->children.push_back(std::move(f));
    return Save() ? kOk : kMemoryFailure;
}

Bytes MyEidCard::DeleteFile() {
    if (current_ == mf_.get()) {
        return kConditions;
    }
    if (options_.refuseDeletes) {
        return kConditions;
    }
    if (!Allowed(current_->sec[1] >> 4)) {
        return kSecurity;
    }
    File* parent = current_->parent;
    auto& siblings = parent->children;
    siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                  [&](const std::unique_ptr<File>& c) { return c.get() == current_; }),
                   siblings.end());
    current_ = parent;
    return Save() ? kOk : kMemoryFailure;
}

Bytes MyEidCard::Verify(uint8_t ref, const Bytes& data) {
    auto it = pins_.find(ref);
    if (it == pins_.end()) {
        return kNotFound;
    }
    Pin& pin = it->second;
    if (pin.tries <= 0) {
        return kBlocked;
    }
    if (data.empty()) {
        // How things stand: verified, or how many tries are left.
        return verified_[ref] ? kOk : Bytes{0x63, static_cast<uint8_t>(0xC0 | pin.tries)};
    }
    if (Unpadded(data) != Unpadded(pin.pin)) {
        verified_[ref] = false;
        --pin.tries;
        if (!Save()) {
            return kMemoryFailure;
        }
        return pin.tries > 0 ? Bytes{0x63, static_cast<uint8_t>(0xC0 | pin.tries)} : kBlocked;
    }
    verified_[ref] = true;
    if (pin.tries != pin.maxTries) {
        pin.tries = pin.maxTries;
        if (!Save()) {
            return kMemoryFailure;
        }
    }
    return kOk;
}

Bytes MyEidCard::ChangeReference(uint8_t ref, const Bytes& data) {
    auto it = pins_.find(ref);
    if (it == pins_.end() || data.size() != 16) {
        return it == pins_.end() ? kNotFound : kWrongLength;
    }
    Bytes check = Verify(ref, Bytes(data.begin(), data.begin() + 8));
    if (check != kOk) {
        return check;
    }
    it->second.pin.assign(data.begin() + 8, data.end());
    return Save() ? kOk : kMemoryFailure;
}

Bytes MyEidCard::GetData(uint8_t p1, uint8_t p2, std::size_t le) {
    if (p1 != 0x01) {
        return kWrongP1P2;
    }
    switch (p2) {
    case 0xA0: {
        // Applet information: version 4.0.1, the serial number, a change counter.
        Bytes info(20, 0);
        info[5] = 4;
        info[6] = 0;
        info[7] = 1;
        for (std::size_t i = 0; i < 10 && i < options_.serial.size(); ++i) {
            info[8 + i] = static_cast<uint8_t>(options_.serial[i]);
        }
        return Cat(info, kOk);
    }
    case 0xAA: {
        // Capabilities: RSA and ECC; RSA up to 2048 bits, ECC up to 256.
        Bytes caps{0x01, 0x00, 0x09, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
        return Cat(caps, kOk);
    }
    case 0xA1: {
        File* dir = current_->IsDf() ? current_ : current_->parent;
        Bytes list;
        for (const auto& c : dir->children) {
            list.push_back(static_cast<uint8_t>(c->fid >> 8));
            list.push_back(static_cast<uint8_t>(c->fid));
        }
        if (list.size() > le && le) {
            list.resize(le);
        }
        return Cat(list, kOk);
    }
    case 0x01:
    case 0x86: {
        Key key = current_->IsKey() ? KeyOf(current_->key) : nullptr;
        if (!key) {
            return kConditions;
        }
        if (p2 == 0x01) {
            Bytes n = BnBytes(key.get(), OSSL_PKEY_PARAM_RSA_N);
            return n.empty() ? kConditions : Cat(n, kOk);
        }
        Bytes point = EcPoint(key.get());
        return point.empty() ? kConditions : Cat(Tlv(0x86, point), kOk);
    }
    default:
        return kNotFound;
    }
}

Bytes MyEidCard::PutData(uint8_t p1, uint8_t p2, const Bytes& data) {
    if (p1 != 0x01) {
        return kWrongP1P2;
    }
    if (p2 >= 1 && p2 <= 14) {
        // A PIN record: PIN, PUK (8 bytes each), their tries, and a reserved byte.
        if (data.size() < 18) {
            return kWrongLength;
        }
        if (pins_.count(p2) && !Allowed(mf_->sec[0] >> 4)) {
            return kSecurity;
        }
        Pin pin;
        pin.pin.assign(data.begin(), data.begin() + 8);
        pin.puk.assign(data.begin() + 8, data.begin() + 16);
        pin.maxTries = pin.tries = data[16] ? data[16] : 3;
        pin.pukMaxTries = pin.pukTries = data[17] ? data[17] : 5;
        pins_[p2] = pin;
        return Save() ? kOk : kMemoryFailure;
    }
    if (p2 == 0xE0) {
        // Initialise the applet: everything goes, the card starts over in its creation state.
        if (!Allowed(mf_->sec[1] >> 4)) {
            return kSecurity;
        }
        Wipe();
        if (data.size() >= 4) {
            mf_->sec = {data[2], static_cast<uint8_t>((data[3] & 0xF0) | 0x0F), 0xFF};
        }
        return Save() ? kOk : kMemoryFailure;
    }
    if (!current_->IsKey()) {
        return kConditions;
    }
    if (!Allowed(current_->sec[0] & 0x0F)) {
        return kSecurity;
    }
    // Key parts, loaded one by one; the key is complete with the last one (RSA: the public exponent,
    // EC: the public point).
    Bytes value = data;
    if (p2 == 0x88) {
        pendingModulus_ = value;
        return kOk;
    }
    if (p2 == 0x89) {
        if (value.size() == current_->size / 16 + 1 && value[0] == 0x00) {
            value.erase(value.begin());
        }
        importParts_[0x80] = Cat(pendingModulus_, value);
        pendingModulus_.clear();
        return kOk;
    }
    importParts_[p2] = value;
    Key key;
    if (current_->descriptor == 0x11 && p2 == 0x81) {
        key = RsaFromParts(importParts_, importParts_[0x80]);
    } else if (current_->descriptor == 0x22 && p2 == 0x86) {
        key = EcFromParts(current_->size, importParts_[0x87], importParts_[0x86]);
    } else {
        return kOk;
    }
    for (auto& [tag, part] : importParts_) {
        std::fill(part.begin(), part.end(), 0);
    }
    importParts_.clear();
    if (!key) {
        return kWrongData;
    }
    current_->key = DerOf(key.get());
    return Save() ? kOk : kMemoryFailure;
}

Bytes MyEidCard::GenerateKey(const Bytes& data) {
    if (!current_->IsKey()) {
        return kConditions;
    }
    if (!Allowed(current_->sec[1] & 0x0F)) {
        return kSecurity;
    }
    EVP_PKEY* key = nullptr;
    if (current_->descriptor == 0x11) {
        auto t = Tlvs(data, 0);
        Bytes e = t.count(0x30) ? Tlvs(t[0x30])[0x81] : Bytes{0x01, 0x00, 0x01};
        if (current_->size < 1024 || current_->size > 2048 || e != Bytes{0x01, 0x00, 0x01}) {
            return kFunctionNotSupported;
        }
        key = EVP_RSA_gen(static_cast<unsigned>(current_->size));
    } else {
        const char* curve = CurveOfBits(current_->size);
        if (!curve) {
            return kFunctionNotSupported;
        }
        key = EVP_EC_gen(curve);
    }
    if (!key) {
        return kMemoryFailure;
    }
    current_->key = DerOf(key);
    EVP_PKEY_free(key);
    return Save() ? kOk : kMemoryFailure;
}

Bytes MyEidCard::ManageSecurityEnvironment(uint8_t p1, uint8_t p2, const Bytes& data) {
    if (p1 != 0x41 || (p2 != 0xB6 && p2 != 0xB8 && p2 != 0xA4)) {
        return kWrongP1P2;
    }
    auto t = Tlvs(data);
    seOperation_ = p2;
    seAlgorithm_ = t[0x80].empty() ? 0 : t[0x80][0];
    seKeyFid_ = t[0x81].size() == 2 ? static_cast<uint16_t>(t[0x81][0] << 8 | t[0x81][1]) : 0;
    splitHalf_.clear();
    return kOk;
}

Bytes MyEidCard::PerformSecurityOperation(uint8_t p1, uint8_t p2, const Bytes& data) {
    File* dir = current_->IsDf() ? current_ : current_->parent;
    File* keyFile = FindChild(dir, seKeyFid_);
    if (!keyFile || !keyFile->IsKey()) {
        return kConditions;
    }
    if (!Allowed(keyFile->sec[0] >> 4)) {
        return kSecurity;
    }
    Key key = KeyOf(keyFile->key);
    if (!key) {
        return kConditions;
    }
    bool rsa = EVP_PKEY_is_a(key.get(), "RSA");
    if (p1 == 0x9E && p2 == 0x9A && seOperation_ == 0xB6) {
        Bytes sig;
        if (rsa) {
            std::size_t n = static_cast<std::size_t>(EVP_PKEY_get_size(key.get()));
            Bytes block = data;
            if ((seAlgorithm_ & 0x0F) == 0x02) {
                // PKCS#1 v1.5 block type 1 around what the host sent (a DigestInfo).
                if (data.size() + 11 > n) {
                    return kWrongLength;
                }
                block.assign(n, 0xFF);
                block[0] = 0x00;
                block[1] = 0x01;
                block[n - data.size() - 1] = 0x00;
                std::copy(data.begin(), data.end(), block.end() - static_cast<long>(data.size()));
            }
            if (!RsaRaw(key.get(), block, sig, false)) {
                return kWrongData;
            }
        } else {
            EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
            std::size_t len = 0;
            bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 &&
                      EVP_PKEY_sign(ctx, nullptr, &len, data.data(), data.size()) == 1;
            sig.assign(len, 0);
            ok = ok && EVP_PKEY_sign(ctx, sig.data(), &len, data.data(), data.size()) == 1;
            sig.resize(len);
            EVP_PKEY_CTX_free(ctx);
            if (!ok) {
                return kWrongData;
            }
        }
        return Cat(sig, kOk);
    }
    if (p1 == 0x80 && p2 == 0x86 && seOperation_ == 0xB8 && rsa && !data.empty()) {
        // Padding indicator 0x81 / 0x82: a cryptogram sent in two halves.
        Bytes cryptogram(data.begin() + 1, data.end());
        if (data[0] == 0x81) {
            splitHalf_ = cryptogram;
            return kOk;
        }
        if (data[0] == 0x82) {
            cryptogram = Cat(splitHalf_, cryptogram);
            splitHalf_.clear();
        }
        Bytes plain;
        if (!RsaRaw(key.get(), cryptogram, plain, true)) {
            return kWrongData;
        }
        if ((seAlgorithm_ & 0x0F) == 0x02) {
            // PKCS#1 v1.5 block type 2 taken off.
            if (plain.size() < 11 || plain[0] != 0x00 || plain[1] != 0x02) {
                return kWrongData;
            }
            auto zero = std::find(plain.begin() + 2, plain.end(), 0x00);
            if (zero == plain.end()) {
                return kWrongData;
            }
            plain.erase(plain.begin(), zero + 1);
        }
        return Cat(plain, kOk);
    }
    return kFunctionNotSupported;
}

Bytes MyEidCard::GeneralAuthenticate(const Bytes& data) {
    // ECDH: 7C { 85 peer point } with the key the environment names.
    File* dir = current_->IsDf() ? current_ : current_->parent;
    File* keyFile = FindChild(dir, seKeyFid_);
    if (seOperation_ != 0xA4 || !keyFile || !keyFile->IsKey()) {
        return kConditions;
    }
    if (!Allowed(keyFile->sec[0] >> 4)) {
        return kSecurity;
    }
    auto outer = Tlvs(data);
    Bytes point = Tlvs(outer[0x7C])[0x85];
    Key key = KeyOf(keyFile->key);
    char group[64] = {0};
    if (!key || EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                               nullptr) != 1) {
        return kConditions;
    }
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, group, 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* peer = nullptr;
    bool ok = params && pctx && EVP_PKEY_fromdata_init(pctx) == 1 &&
              EVP_PKEY_fromdata(pctx, &peer, EVP_PKEY_PUBLIC_KEY, params) == 1;
    EVP_PKEY_CTX_free(pctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    Bytes secret;
    EVP_PKEY_CTX* dctx = ok ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr;
    std::size_t len = 0;
    ok = dctx && EVP_PKEY_derive_init(dctx) == 1 && EVP_PKEY_derive_set_peer(dctx, peer) == 1 &&
         EVP_PKEY_derive(dctx, nullptr, &len) == 1;
    secret.assign(len, 0);
    ok = ok && EVP_PKEY_derive(dctx, secret.data(), &len) == 1;
    EVP_PKEY_CTX_free(dctx);
    EVP_PKEY_free(peer);
    return ok ? Cat(secret, kOk) : kWrongData;
}

Bytes MyEidCard::Activate() {
    lifeCycle_ = 0x05;
    return Save() ? kOk : kMemoryFailure;
}

} // namespace cardsim
