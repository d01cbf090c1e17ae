#include "config/user_folder.h"

#include "platform/atomic_file.h"
#include "platform/codepage.h"
#include "platform/fd_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace rv::config {
namespace fs = std::filesystem;

namespace {

constexpr const char* kNoHome = "无法确定用户主目录（HOME未设置），无法创建用户文件夹！";
constexpr const char* kCannotCreateFmt = "无法创建用户文件夹%s（%s），请检查主目录是否可写！";
constexpr const char* kTemplateMissingFmt = "找不到系统配置模板%s，请重新安装本程序！";
constexpr const char* kTemplateUnreadableFmt = "无法读取系统配置模板%s（%s），请联系管理员！";
constexpr const char* kCannotWriteFmt = "无法写入%s（%s），请检查主目录是否可写！";
constexpr const char* kAlreadyRunning = "客户端已在运行，请勿重复启动！";
constexpr const char* kLockFile = "client.lock";

// Paths are UTF-8 on this system; messages are GBK.
std::string Format(const char* fmt, const fs::path& path, const std::string& detail = {}) {
    std::string p = cp::Utf8ToGbk(path.string());
    std::string d = cp::Utf8ToGbk(detail);
    int n = std::snprintf(nullptr, 0, fmt, p.c_str(), d.c_str());
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    std::snprintf(out.data(), out.size() + 1, fmt, p.c_str(), d.c_str());
    return out;
}

// The user's folder and what is in it are the user's alone, whatever the umask.
bool MakeDirs(const fs::path& dir, std::string& why) {
    return MakeFolders(dir, 0700, why);
}

// Reads a regular file whole. Non-blocking: a FIFO in a template's place must not hang the start.
bool ReadRegular(const fs::path& file, std::string& bytes, int& err) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        err = errno;
        return false;
    }
    struct stat st {};
    err = 0;
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else if (!S_ISREG(st.st_mode) || !ReadAll(fd, bytes)) {
        err = errno; // fstat's or read's
    }
    ::close(fd);
    return err == 0;
}

std::string Sha256Hex(const std::string& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < n; ++i) {
        hex += kHex[md[i] >> 4];
        hex += kHex[md[i] & 15];
    }
    return hex;
}

// Writes a complete temporary file beside `target` and links it into place: with `replace` by rename()
// (a reader sees the old or the new file, never half of one), else by link(), which refuses an existing
// name, so a file that appeared meanwhile (another first start, the user) is kept.
bool WriteWhole(const fs::path& target, const std::string& bytes, bool replace, std::string& why) {
    std::string tmp = (target.parent_path() / ".renvora-XXXXXX").string();
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    int err = 0;
    if (::fchmod(fd, 0644) != 0 || !WriteAll(fd, bytes) || ::fsync(fd) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0) {
        int rc = replace ? ::rename(tmp.c_str(), target.c_str()) : ::link(tmp.c_str(), target.c_str());
        if (rc != 0 && (replace || errno != EEXIST)) {
            err = errno;
        }
    }
    if (err != 0 || !replace) {
        ::unlink(tmp.c_str());
    }
    if (err != 0) {
        why = std::strerror(err);
    }
    return err == 0;
}

// The record of what was seeded as `target`: the hashes of the versions that count as unchanged, one a
// line. It holds two only while a refresh replaces the copy, so a cut there leaves a copy that still
// counts as seeded, whichever of the two it is.
fs::path RecordOf(const fs::path& target) {
    return target.parent_path() / ("." + target.filename().string() + ".seeded");
}

std::string RecordedHashes(const fs::path& target) {
    std::string bytes;
    int err = 0;
    return ReadRegular(RecordOf(target), bytes, err) ? bytes : std::string();
}

bool Recorded(const std::string& record, const std::string& hash) {
    return !hash.empty() && record.find(hash + "\n") != std::string::npos;
}

// Copies one template into place when the user has no such file yet, and refreshes a copy that is still
// what was seeded when the template changed since. A copy that differs from every seeded version is the
// user's own and is never touched. Only a missing copy that cannot be made stops the start; a refresh
// that fails leaves the old copy in use and says so in `warning`.
bool Seed(const fs::path& tmpl, const fs::path& target, std::string& messageGbk, std::string& warning) {
    std::error_code ec;
    fs::file_type type = fs::symlink_status(target, ec).type();
    std::string bytes;
    int err = 0;
    bool haveTemplate = ReadRegular(tmpl, bytes, err);
    if (type != fs::file_type::not_found) {
        std::string copy;
        int copyErr = 0;
        if (!haveTemplate || type != fs::file_type::regular || !ReadRegular(target, copy, copyErr)) {
            return true; // the user's own file (or link), whatever it holds
        }
        std::string now = Sha256Hex(bytes), mine = Sha256Hex(copy), record = RecordedHashes(target);
        std::string why;
        if (now.empty() || mine.empty() || (now == mine && record == now + "\n")) {
            return true;
        }
        if (now == mine) {
            // Identical to the template: from now on it counts as seeded (a copy made before records
            // were kept, or one whose record was lost).
            WriteWhole(RecordOf(target), now + "\n", true, why);
            return true;
        }
        if (!Recorded(record, mine)) {
            return true; // changed by the user
        }
        if (!WriteWhole(RecordOf(target), mine + "\n" + now + "\n", true, why) ||
            !WriteWhole(target, bytes, true, why) || !WriteWhole(RecordOf(target), now + "\n", true, why)) {
            warning = "cannot refresh " + target.string() + " from " + tmpl.string() + " (" + why +
                      "); the copy in use stays as it was";
        }
        return true;
    }
    if (!haveTemplate) {
        messageGbk = err == ENOENT ? Format(kTemplateMissingFmt, tmpl)
                                   : Format(kTemplateUnreadableFmt, tmpl, std::strerror(err));
        return false;
    }
    std::string why;
    if (!MakeDirs(target.parent_path(), why)) {
        messageGbk = Format(kCannotCreateFmt, target.parent_path(), why);
        return false;
    }
    // The record first: a start cut off between the two finds no copy and seeds again.
    if (!WriteWhole(RecordOf(target), Sha256Hex(bytes) + "\n", true, why)) {
        messageGbk = Format(kCannotWriteFmt, RecordOf(target), why);
        return false;
    }
    if (!WriteWhole(target, bytes, false, why)) {
        messageGbk = Format(kCannotWriteFmt, target, why);
        return false;
    }
    return true;
}

// The single-instance lock: an open-file-description lock on a lock file of the folder, opened for
// writing (an exclusive lock on NFS needs that; a lock on the folder itself fails there). False only when
// another client holds it; any other failure starts without the lock and says so in `warning`.
bool TakeLock(const fs::path& folder, int& fd, std::string& warning) {
    const fs::path file = folder / kLockFile;
    fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    int err = errno;
    if (fd >= 0) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) {
            return true;
        }
        err = errno;
        ::close(fd);
        fd = -1;
        if (err == EAGAIN || err == EACCES || err == EWOULDBLOCK) {
            return false;
        }
    }
    warning = "cannot lock " + file.string() + " (" + std::strerror(err) +
              "); starting without the check against a second client";
    return true;
}

} // namespace

fs::path DefaultUserFolder() {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') {
        return fs::path(x) / "renvora";
    }
    if (const char* home = std::getenv("HOME"); home && *home) {
        return fs::path(home) / ".local" / "share" / "renvora";
    }
    return {};
}

bool PrepareUserFolder(const fs::path& templates, const fs::path& folder, const fs::path& driveC,
                       UserFolder& out, std::string& messageGbk) {
    if (folder.empty()) {
        messageGbk = kNoHome;
        return false;
    }
    std::string why;
    if (!MakeDirs(folder, why)) {
        messageGbk = Format(kCannotCreateFmt, folder, why);
        return false;
    }
    int fd = -1;
    if (!TakeLock(folder, fd, out.warning)) {
        messageGbk = kAlreadyRunning;
        return false;
    }
    fs::path drive = driveC.empty() ? folder / "drive_c" : driveC;
    std::string confWarning, timeWarning;
    if (!Seed(templates / kConfTemplate, folder / "Config" / "conf.ini", messageGbk, confWarning) ||
        !Seed(templates / kTimeTemplate, drive / "Windows" / "time.ini", messageGbk, timeWarning)) {
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    for (const std::string* w : {&confWarning, &timeWarning}) {
        if (!w->empty()) {
            out.warning += (out.warning.empty() ? "" : "\n") + *w;
        }
    }
    out.folder = folder;
    out.driveC = drive;
    out.lockFd = fd;
    return true;
}

} // namespace rv::config
