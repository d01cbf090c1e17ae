// The three decodecert functions with random capacities. Input: three capacity bytes, one item byte, one
// mode byte, then the payload (PEM text, or DER). Every buffer is exactly as large as the capacity given,
// so a write or read past it is an AddressSanitizer finding.
#include "decodecert.h"
#include "fuzz_support.h"

#include <cstring>
#include <memory>

using namespace rv;

namespace {

// Capacities: small ones (to hit every "too small" edge) and the client's 5000.
int Capacity(uint8_t b) {
    return b == 0xFF ? 5000 : b < 0x80 ? b : (b - 0x80) * 24;
}

// A heap block of exactly `n` bytes (at least one so the pointer is valid), filled with a marker.
std::unique_ptr<unsigned char[]> Block(int n) {
    auto p = std::make_unique<unsigned char[]>(static_cast<std::size_t>(n > 0 ? n : 1));
    std::memset(p.get(), 0xA5, static_cast<std::size_t>(n > 0 ? n : 1));
    return p;
}

void ItemAndPem(const unsigned char* der, int derLength, int item, int itemCap, int pemCap) {
    int reserved = 0x55;
    int itemLength = itemCap;
    auto itemBuf = Block(itemCap);
    int rc = GetCertInfo(derLength, der, item, &reserved, &itemLength, itemBuf.get());
    if (rc != 0) {
        RV_FUZZ_CHECK(itemLength == itemCap); // unchanged on failure
        return;
    }
    RV_FUZZ_CHECK(itemLength >= 0 && itemLength <= itemCap);
    RV_FUZZ_CHECK(reserved == 0 || reserved == 1);
    if (reserved == 1) {
        // Text items are zero-terminated inside the capacity.
        RV_FUZZ_CHECK(itemLength < itemCap && itemBuf[static_cast<std::size_t>(itemLength)] == 0);
        return;
    }
    int pemLength = pemCap;
    auto pem = Block(pemCap);
    rc = DerToPem(itemBuf.get(), itemLength, reinterpret_cast<char*>(pem.get()), &pemLength);
    if (rc == 0) {
        RV_FUZZ_CHECK(pemLength >= 0 && pemLength < pemCap);
        RV_FUZZ_CHECK(pem[static_cast<std::size_t>(pemLength)] == 0);
        RV_FUZZ_CHECK(std::strlen(reinterpret_cast<char*>(pem.get())) == static_cast<std::size_t>(pemLength));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 5) {
        return 0;
    }
    const int derCap = Capacity(data[0]);
    const int itemCap = Capacity(data[1]);
    const int pemCap = Capacity(data[2]);
    const int item = data[3] % 48;
    const uint8_t mode = data[4];
    const std::size_t n = size - 5;
    // The payload in a block of its own size: no terminating zero to lean on.
    auto payload = Block(static_cast<int>(n));
    std::memcpy(payload.get(), data + 5, n);

    if (mode & 1) {
        // DER straight into the item reader and the PEM writer.
        ItemAndPem(payload.get(), static_cast<int>(n), item, itemCap, pemCap);
        int pemLength = pemCap;
        auto pem = Block(pemCap);
        if (DerToPem(payload.get(), static_cast<int>(n), reinterpret_cast<char*>(pem.get()), &pemLength) ==
            0) {
            RV_FUZZ_CHECK(pemLength >= 0 && pemLength < pemCap &&
                          pem[static_cast<std::size_t>(pemLength)] == 0);
        }
        return 0;
    }

    // PEM text -> DER -> item -> PEM, as the client's certificate field reader calls them.
    int derLength = derCap;
    auto der = Block(derCap);
    int rc =
        PemToDer(reinterpret_cast<const char*>(payload.get()), static_cast<int>(n), der.get(), &derLength);
    if (rc != 0) {
        RV_FUZZ_CHECK(derLength == derCap);
        return 0;
    }
    RV_FUZZ_CHECK(derLength > 0 && derLength <= derCap);
    ItemAndPem(der.get(), derLength, item, itemCap, pemCap);
    if (mode & 2) {
        ItemAndPem(der.get(), derLength, mode & 4 ? 22 : 39, 5000, 5000);
    }
    return 0;
}
