// Certificate field reader: one item of a PEM certificate as text, through the decodecert library.
#pragma once

#include <cstdint>
#include <string>

namespace rv {

// Item numbers the renewal uses (the library's numbering, docs/decodecert.md).
inline constexpr int32_t kCertItemNotAfter = 22;  // end of validity; the reader returns YYYYMMDD
inline constexpr int32_t kCertItemPublicKey = 39; // public key; the reader returns its PEM text

// Size of each of the reader's three work buffers; also the capacity it hands to the library.
inline constexpr int kCertWorkBufferSize = 5000;

// Returns item `item` of the certificate `pem` (GBK/ASCII PEM text): for item 22 at most the first
// eight characters of the item's text, for any other item the item converted to PEM text. On any
// failure it shows its message ("PEM转DER失败！", "读取证书信息失败！" or "DER转PEM失败！") and
// returns the empty text.
std::string ReadCertificateField(const std::string& pem, int32_t item);

} // namespace rv
