#include "renewal/cert_field_reader.h"

#include "decodecert.h"
#include "platform/message_box.h"

#include <climits>
#include <cstring>
#include <memory>

namespace rv {

namespace {

// Length of the zero-terminated text at the start of a buffer, never reading past its end.
std::size_t BoundedLength(const unsigned char* buf, std::size_t size) {
    const void* zero = std::memchr(buf, 0, size);
    return zero ? static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - buf) : size;
}

bool LengthInBuffer(int length) {
    return length >= 0 && length <= kCertWorkBufferSize;
}

} // namespace

std::string ReadCertificateField(const std::string& pem, int32_t item) {
    auto der = std::make_unique_for_overwrite<unsigned char[]>(kCertWorkBufferSize);
    auto itemBuf = std::make_unique_for_overwrite<unsigned char[]>(kCertWorkBufferSize);
    auto pemBuf = std::make_unique_for_overwrite<unsigned char[]>(kCertWorkBufferSize);

    std::memset(der.get(), 0, kCertWorkBufferSize);
    int derLength = kCertWorkBufferSize;
    // A text longer than an int can say is no certificate the library could take.
    if (pem.size() > static_cast<std::size_t>(INT_MAX) ||
        PemToDer(pem.c_str(), static_cast<int>(pem.size()), der.get(), &derLength) != 0 ||
        !LengthInBuffer(derLength)) {
        ShowNotice("PEM转DER失败！");
        return std::string();
    }

    std::memset(itemBuf.get(), 0, kCertWorkBufferSize);
    int reserved = 0;
    int itemLength = kCertWorkBufferSize;
    if (GetCertInfo(derLength, der.get(), item, &reserved, &itemLength, itemBuf.get()) != 0 ||
        !LengthInBuffer(itemLength)) {
        ShowNotice("读取证书信息失败！");
        return std::string();
    }

    if (item == kCertItemNotAfter) {
        std::size_t n = BoundedLength(itemBuf.get(), kCertWorkBufferSize);
        return std::string(reinterpret_cast<const char*>(itemBuf.get()), n < 8 ? n : 8);
    }

    std::memset(pemBuf.get(), 0, 500);
    int pemLength = kCertWorkBufferSize;
    if (DerToPem(itemBuf.get(), itemLength, reinterpret_cast<char*>(pemBuf.get()), &pemLength) != 0) {
        ShowNotice("DER转PEM失败！");
        return std::string();
    }
    // Only the first 500 bytes were cleared; the text ends at its zero or at the buffer's end.
    return std::string(reinterpret_cast<const char*>(pemBuf.get()),
                       BoundedLength(pemBuf.get(), kCertWorkBufferSize));
}

} // namespace rv
