// Configuration reader over any file content and any key. Input: one byte with the key length (mod 32),
// the key, then the file's bytes, written as conf.ini and as time.ini.
#include "config/config_file.h"
#include "fuzz_support.h"
#include "platform/paths.h"

#include <cstring>

using namespace rv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const auto& dir = fuzz::WorkDir();
    fuzz::Boxes().shown = 0;
    if (size == 0) {
        return 0;
    }
    std::size_t keyLen = data[0] % 32;
    if (1 + keyLen > size) {
        return 0;
    }
    std::string key = fuzz::Bytes(data + 1, keyLen);
    // A key is a C string: what follows an embedded zero is not part of it.
    key.resize(std::strlen(key.c_str()));
    const std::string content = fuzz::Bytes(data + 1 + keyLen, size - 1 - keyLen);
    fuzz::WriteFile(dir / "Config" / "conf.ini", content);
    fuzz::WriteFile(dir / "drive_c" / "Windows" / "time.ini", content);

    const std::string value = ReadConfigValue(paths::kConfIniForLookup, key.c_str());
    // A value is the rest of one line read into a 1000-byte buffer after "key=".
    RV_FUZZ_CHECK(value.find('\n') == std::string::npos);
    RV_FUZZ_CHECK(value.size() + key.size() + 1 <= 999);
    if (!value.empty()) {
        RV_FUZZ_CHECK(content.find(key + "=" + value) != std::string::npos);
        // A CR right before the line end belongs to the line end, never to the value.
        std::size_t at = content.find(key + "=" + value);
        std::size_t end = at + key.size() + 1 + value.size();
        RV_FUZZ_CHECK(!(value.back() == '\r' && end < content.size() && content[end] == '\n'));
    }
    // The settings reader is the same reader (the file exists, so it never ends the process).
    RV_FUZZ_CHECK(ReadSettingsValue(paths::kConfIni, key.c_str()) == value);

    std::string address = "unchanged";
    int32_t rc = GetServerAddress(address);
    RV_FUZZ_CHECK(rc == 0 || rc == -1);
    RV_FUZZ_CHECK(rc == 0 ? address == ReadConfigValue(paths::kConfIniForLookup, "realmName")
                          : address == "unchanged");
    (void)ReadMaxDay();
    RV_FUZZ_CHECK(fuzz::Boxes().shown == 0);
    return 0;
}
