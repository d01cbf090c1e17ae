// Configuration reader over any file content and any key. Input: one byte with the key length (mod 32),
// the key, then the file's bytes, written as conf.ini and as time.ini.
#include "config/config_file.h"
#include "fuzz_support.h"
#include "platform/paths.h"

#include <cstring>

using namespace rv;

namespace {

// The value a lookup must find, worked out over the whole buffer instead of a stream: lines are the
// spans between LFs, a CR right before a LF belongs to the line end, a line keeps at most 999 bytes and
// ends at a NUL. The first line whose text before "=" is the key gives the value; a line without "="
// ends the search, and so does an over-long line (every later read of the stream fails).
std::string ValueOfLine(const std::string& content, const std::string& key) {
    constexpr std::size_t kMaxLine = 999;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t lf = content.find('\n', pos);
        const std::size_t stop = lf == std::string::npos ? content.size() : lf;
        std::string line = content.substr(pos, stop - pos);
        if (lf != std::string::npos && !line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        pos = lf == std::string::npos ? content.size() : lf + 1;
        const bool overLong = line.size() > kMaxLine;
        if (overLong) {
            line.resize(kMaxLine);
        }
        line.resize(std::strlen(line.c_str()));
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            return "";
        }
        if (line.compare(0, eq, key) == 0) {
            return line.substr(eq + 1);
        }
        if (overLong) {
            return "";
        }
    }
    return "";
}

} // namespace

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
    // The value is that of the line the lookup stops at, located by position: the same bytes can stand
    // inside an earlier line, where a CR before LF belongs to the line end.
    RV_FUZZ_CHECK(value == ValueOfLine(content, key));
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
