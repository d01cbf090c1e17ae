#include "config/settings_store.h"

#include "config/config_file.h"
#include "platform/crt.h"
#include "platform/fd_io.h"
#include "platform/message_box.h"
#include "platform/paths.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace rv {
namespace {

constexpr const char* kIpKey = "ip";
constexpr const char* kPortKey = "port";

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The key of one line as the lookup sees it: the bytes before the first "=", with the line end and a NUL
// (which ended the line for the lookup) taken off. No "=" gives no key.
bool LineKey(std::string_view line, std::string_view& key) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
    }
    line = line.substr(0, line.find('\0'));
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        return false;
    }
    key = line.substr(0, eq);
    return true;
}

bool IsBlankLine(std::string_view line) {
    return line == "\n" || line == "\r\n";
}

// conf.ini without its ip and port entries. Every other line stays in place byte for byte. Blank lines
// at the end go (a blank line ends every lookup, so the entries appended after it could never be read),
// and a last line without a line end gets one, so the next entry does not run into it.
std::string WithoutAddressEntries(const std::string& content) {
    std::string kept;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t nl = content.find('\n', pos);
        std::size_t end = nl == std::string::npos ? content.size() : nl + 1;
        std::string_view line(content.data() + pos, end - pos);
        std::string_view key;
        if (!(LineKey(line, key) && (key == kIpKey || key == kPortKey))) {
            kept.append(line);
        }
        pos = end;
    }
    while (!kept.empty() && kept.back() == '\n') {
        std::size_t prev = kept.size() >= 2 ? kept.rfind('\n', kept.size() - 2) : std::string::npos;
        std::size_t start = prev == std::string::npos ? 0 : prev + 1;
        if (!IsBlankLine(std::string_view(kept).substr(start))) {
            break;
        }
        kept.resize(start);
    }
    if (!kept.empty() && kept.back() != '\n') {
        kept += "\r\n";
    }
    return kept;
}

enum class RewriteError { None, ReadOnly, Failed };

// Replaces conf.ini by a copy without its ip and port entries: temporary file beside it, fsync, rename.
// Whatever fails, conf.ini stays as it was.
RewriteError DropAddressEntries() {
    std::string target = paths::MapPath(paths::kConfIni);
    // Through a symbolic link the file it names is rewritten, not the link.
    if (char* real = ::realpath(target.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }

    std::string content;
    mode_t mode = 0644;
    int fd = ::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadAll(fd, content);
        ::close(fd);
        if (!ok) {
            return RewriteError::Failed;
        }
        mode = st.st_mode & 07777;
        // A file its owner made read-only is left alone, whoever runs the client.
        if ((mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) {
            return RewriteError::ReadOnly;
        }
    } else if (errno == ENOENT) {
        return RewriteError::None; // nothing to drop; the writer creates the file
    } else {
        return RewriteError::Failed;
    }

    std::string updated = WithoutAddressEntries(content);
    if (updated == content) {
        return RewriteError::None;
    }

    std::string temp = target + "." + std::to_string(::getpid()) + ".tmp";
    int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        return RewriteError::Failed;
    }
    bool ok = ::fchmod(out, mode) == 0 && WriteAll(out, updated) && ::fsync(out) == 0;
    ok = (::close(out) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return RewriteError::Failed;
    }
    // Make the rename itself durable.
    std::size_t slash = target.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return RewriteError::None;
}

bool AllDigits(const std::string& text) {
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

} // namespace

StoredSettings PrepareSettingsFiles() {
    const std::string dir = paths::MapPath(paths::kConfigDir);
    if (!IsDirectory(dir) && ::mkdir(dir.c_str(), 0755) != 0) {
        ShowNotice("创建配置文件目录失败！");
    }
    // Opened for appending only so that the file exists; nothing is written through it.
    const std::string file = paths::MapPath(paths::kConfIni);
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        ShowNotice("配置文件不存在！");
    }
    StoredSettings s;
    s.ip = ReadSettingsValue(paths::kConfIni, kIpKey);
    s.port = ReadSettingsValue(paths::kConfIni, kPortKey);
    if (fd >= 0) {
        ::close(fd);
    }
    return s;
}

std::string FormatIpAddress(const std::array<int, 4>& f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", f[0], f[1], f[2], f[3]);
    return buf;
}

StoreResult StoreSettings(const std::array<int, 4>& ipFields, const std::string& portText) {
    // The port field takes digits only; a text that still holds anything else (pasted, or from a caller
    // other than the field) is refused like an out-of-range number, so no line break can reach the file.
    const int32_t port = Atoi(portText);
    if (port < 0 || port > 0xFFFF || !AllDigits(portText)) {
        ShowNotice("请输入0-65535之间的数字,请重新输入！");
        return StoreResult::PortRefused;
    }
    const std::string ip = FormatIpAddress(ipFields);

    switch (DropAddressEntries()) {
    case RewriteError::None:
        break;
    case RewriteError::ReadOnly:
        ShowNotice("配置文件为只读，IP地址、端口号未保存！");
        return StoreResult::Failed;
    case RewriteError::Failed:
        ShowNotice("配置文件写入失败，IP地址、端口号未保存！");
        return StoreResult::Failed;
    }
    WriteConfigEntry(kIpKey, ip);
    WriteConfigEntry(kPortKey, portText);

    // Success only when both entries can be read back as stored; an append that failed must not be
    // reported as a stored configuration.
    bool stored = !ip.empty() && !portText.empty() && ReadConfigValue(paths::kConfIni, kIpKey) == ip &&
                  ReadConfigValue(paths::kConfIni, kPortKey) == portText;
    if (stored) {
        ShowNotice("配置IP地址、端口号成功！");
        return StoreResult::Stored;
    }
    ShowNotice("配置IP地址、端口号失败，请重新配置！");
    return StoreResult::Failed;
}

} // namespace rv
