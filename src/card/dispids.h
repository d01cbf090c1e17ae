// DISPIDs of the card control's members and its class identifier.
#pragma once

namespace rv::dispid {

inline constexpr int OpenCard = 1;
inline constexpr int Status = 2;
inline constexpr int ErrorMessage = 3;
inline constexpr int CloseCard = 4;
inline constexpr int Password = 6;
inline constexpr int ReadCardInfo = 10;
inline constexpr int CardInfo = 11;
inline constexpr int VerifyPassword = 19;
inline constexpr int SignData = 26;
inline constexpr int Signature = 27;
inline constexpr int SignSource = 28;
inline constexpr int InitUpdate = 30;
inline constexpr int PublicKey = 32;
inline constexpr int WriteCard = 33;
inline constexpr int SignCert = 34;
inline constexpr int EnvCert = 35;
inline constexpr int CssEnvKey = 36;
inline constexpr int CssSignKey = 37;
inline constexpr int KmsKey = 38;
inline constexpr int EnvData = 39;
inline constexpr int WriteManagePassword = 41;
inline constexpr int ReadCryptAlgo = 46;
inline constexpr int CryptAlgo = 47;
inline constexpr int InitManagePassword = 48;

// Not a member of the vendor's control but this client's own, outside the vendor's numbers: the signing
// certificate the card holds (PEM), as of the last ReadCardInfo. The renewal compares the new certificates
// with it; a control without it answers RV_DISP_UNKNOWN_MEMBER and the renewal checks what the card record
// gives instead (docs/renewal.md).
inline constexpr int CardCert = 100;

} // namespace rv::dispid

namespace rv {
// Class identifier of the card control, with its braces.
inline constexpr const char* kCardControlClsid = "{5B3D91E2-7C40-4F1A-8E26-0D9A6C3F1B58}";
// Registry key that start-up checks.
inline constexpr const char* kCardControlKey = "CLSID\\{5B3D91E2-7C40-4F1A-8E26-0D9A6C3F1B58}";
} // namespace rv
