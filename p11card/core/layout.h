// How a card lives on a PKCS#11 token.
//
// Holder record: a public data object, application "renvora", label "renvora holder", value the GBK
// bytes of record fields 1 to 11 joined by '|'.
//
// Everything a renewal replaces is one *set*, named by an 8-byte tag: a 4-byte big-endian generation
// followed by 4 random bytes. The set's signing key pair and certificate carry CKA_ID = tag + 'S' and
// the label "renvora sign TAGHEX"; its encryption key and certificate CKA_ID = tag + 'E' and "renvora
// enc TAGHEX"; its data objects (application "renvora") are labelled "renvora TAGHEX NAME": the
// service's public keys (serviceKeys, public) and the management-password hash (managePassword,
// private), each only when the set changed it.
//
// Objects are written one at a time, so a write can be cut off anywhere; a token writes each object
// slowly (SoftHSM2 rewrites an object's file once per attribute), so a set has as few as it can. The
// rules that make a cut harmless: a new set is written under a new tag with its signing certificate
// last, so the certificate is the set's commit mark; the old set is retired after that, its
// certificate first. Whoever opens the card resolves it deterministically: the current set is the one
// with the highest generation (then the highest tag) whose signing certificate and public key (and,
// once logged in, private key) are there; its management password is the newest hash at or below its
// generation, and so are its service keys. Everything else of ours is a leftover and is removed (once logged
// in: a logged-out view cannot tell a complete set from a stray certificate), except the
// newest set above the current generation that holds nothing but a signing key pair: that is the key pair
// InitUpdate generated, waiting for WriteCard. Objects that are not ours are never touched.
#pragma once

#include "keys.h"
#include "pkcs11.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rv::p11card {

inline constexpr const char* kApplication = "renvora";
inline constexpr const char* kHolderLabel = "renvora holder";
inline constexpr std::size_t kTagSize = 8;
inline constexpr char kSignSuffix = 'S';
inline constexpr char kEncSuffix = 'E';

// Data objects of a set, by the name in their label.
inline constexpr const char* kServiceKeys = "serviceKeys";
inline constexpr const char* kManagePassword = "managePassword";

uint32_t GenerationOf(const Bytes& tag);
Bytes NewTag(uint32_t generation);
std::string DataLabel(const Bytes& tag, const char* name);

// The objects of one tag that a session can see.
struct TokenSet {
    Bytes tag;
    uint32_t generation = 0;
    CK_OBJECT_HANDLE signPriv = CK_INVALID_HANDLE, signPub = CK_INVALID_HANDLE, signCert = CK_INVALID_HANDLE;
    // signPub: only on tokens whose card was written by other software; this card keeps none.
    CK_OBJECT_HANDLE encPriv = CK_INVALID_HANDLE, encCert = CK_INVALID_HANDLE;
    std::map<std::string, CK_OBJECT_HANDLE> data; // by name
    std::vector<CK_OBJECT_HANDLE> all;

    // The signing certificate is written last: a set that has it is complete.
    bool Committed() const { return signCert != CK_INVALID_HANDLE; }
    CK_OBJECT_HANDLE Data(const char* name) const {
        auto it = data.find(name);
        return it == data.end() ? CK_INVALID_HANDLE : it->second;
    }
};

struct TokenView {
    CK_OBJECT_HANDLE holder = CK_INVALID_HANDLE;
    int holderCount = 0;
    std::vector<TokenSet> sets; // ordered by generation, then tag

    const TokenSet* Current(bool loggedIn) const;
    // The key pair waiting for WriteCard: the newest uncommitted tag above the current generation
    // with a signing private key (seen logged in only).
    const TokenSet* Pending(bool loggedIn) const;
    // The data object `name` in force for the current set: the newest at or below its generation (a
    // renewal writes one only when the value changes). The password hash is visible logged in only.
    CK_OBJECT_HANDLE InForce(const char* name, bool loggedIn) const;
    CK_OBJECT_HANDLE ManagePassword(bool loggedIn) const { return InForce(kManagePassword, loggedIn); }
    uint32_t MaxGeneration() const;
};

// Reads every object of ours that the session can see. False when the token cannot be read.
bool ScanToken(const Session& s, TokenView& view, CK_RV& rv);

// Removes the leftovers (see above) of a view taken logged in: only that view sees the private keys that
// decide which set is complete, so a logged-out view never destroys anything. Failures are left for the
// next time.
void RemoveLeftovers(const Session& s, const TokenView& view);
// Removes every object of a set, its signing certificate first, except those in force (`view`).
void RemoveSet(const Session& s, const TokenSet& set, const TokenView* view = nullptr);

// The SubjectPublicKeyInfo (DER) of a public key object; empty when unknown.
Bytes PublicKeySpki(const Session& s, CK_OBJECT_HANDLE pub);

// What a new set holds besides the signing key pair already on the token.
struct NewSet {
    Bytes tag;
    std::string signCertPem;
    std::string encCertPem; // with `encKey`; both empty in a first set made at enrolment
    KeyParts encKey;
    std::string serviceKeys;        // ServiceKeysValue(); "" keeps the one in force
    std::string managePasswordHash; // "" keeps the one in force
};

// Writes the set's objects one by one, the signing certificate last. On failure removes what it wrote
// and returns the failing result (`step` names the object).
CK_RV WriteSet(const Session& s, const NewSet& set, std::string& step);

// The service keys object's value: for each of kmsKey, cssSignKey, cssEnvKey a line "NAME LENGTH"
// and then exactly LENGTH bytes of the PEM text as the service sent it.
std::string ServiceKeysValue(const std::string& kmsKey, const std::string& cssSignKey,
                             const std::string& cssEnvKey);

// The holder record object: value as GBK bytes.
CK_RV WriteHolder(const Session& s, const std::string& recordGbk);

// Generates a signing key pair of `kind` (RSA: `bits`) under `tag`: the private key a token object,
// sensitive, not extractable, for signing only; the public half only a session object (its certificate
// carries it later), which saves the token a slow object write (SM2: CKM_EC_KEY_PAIR_GEN over the SM2 curve).
CK_RV GenerateSigningKey(const Session& s, const Bytes& tag, KeyKind kind, int bits, CK_OBJECT_HANDLE& pub,
                         CK_OBJECT_HANDLE& priv);

} // namespace rv::p11card
