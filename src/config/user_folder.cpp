#include "config/user_folder.h"

#include "platform/codepage.h"
#include "platform/fd_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
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

// Paths are UTF-8 on this system; messages are GBK.
std::string Format(const char* fmt, const fs::path& path, const std::string& detail = {}) {
    std::string p = cp::Utf8ToGbk(path.string());
    std::string d = cp::Utf8ToGbk(detail);
    int n = std::snprintf(nullptr, 0, fmt, p.c_str(), d.c_str());
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    std::snprintf(out.data(), out.size() + 1, fmt, p.c_str(), d.c_str());
    return out;
}

bool MakeDirs(const fs::path& dir, std::string& why) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        why = ec.message();
        return false;
    }
    if (!fs::is_directory(dir, ec)) {
        why = std::strerror(ENOTDIR);
        return false;
    }
    return true;
}

bool ReadTemplate(const fs::path& file, std::string& bytes, int& err) {
    // Non-blocking: a FIFO in a template's place must not hang the start.
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

// Writes `bytes` as `target` unless `target` exists: a complete temporary file is linked into place,
// and link() refuses an existing name, so a file that appeared meanwhile (another first start, the
// user) is kept and nothing half-written is ever visible.
bool CreateOnce(const fs::path& target, const std::string& bytes, std::string& why) {
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
    if (err == 0 && ::link(tmp.c_str(), target.c_str()) != 0 && errno != EEXIST) {
        err = errno;
    }
    ::unlink(tmp.c_str());
    if (err != 0) {
        why = std::strerror(err);
    }
    return err == 0;
}

// Copies one template into place when the user has no such file yet.
bool Seed(const fs::path& tmpl, const fs::path& target, std::string& messageGbk) {
    std::error_code ec;
    if (fs::symlink_status(target, ec).type() != fs::file_type::not_found) {
        return true; // the user's own file, whatever it holds
    }
    std::string bytes;
    int err = 0;
    if (!ReadTemplate(tmpl, bytes, err)) {
        messageGbk = err == ENOENT ? Format(kTemplateMissingFmt, tmpl)
                                   : Format(kTemplateUnreadableFmt, tmpl, std::strerror(err));
        return false;
    }
    std::string why;
    if (!MakeDirs(target.parent_path(), why)) {
        messageGbk = Format(kCannotCreateFmt, target.parent_path(), why);
        return false;
    }
    if (!CreateOnce(target, bytes, why)) {
        messageGbk = Format(kCannotWriteFmt, target, why);
        return false;
    }
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
    // The folder's own lock: a directory opens read-only, so even a read-only folder can be locked.
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        messageGbk = Format(kCannotCreateFmt, folder, std::strerror(errno));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        messageGbk = err == EWOULDBLOCK ? std::string(kAlreadyRunning)
                                        : Format(kCannotCreateFmt, folder, std::strerror(err));
        return false;
    }
    fs::path drive = driveC.empty() ? folder / "drive_c" : driveC;
    if (!Seed(templates / kConfTemplate, folder / "Config" / "conf.ini", messageGbk) ||
        !Seed(templates / kTimeTemplate, drive / "Windows" / "time.ini", messageGbk)) {
        ::close(fd);
        return false;
    }
    out.folder = folder;
    out.driveC = drive;
    out.lockFd = fd;
    return true;
}

} // namespace rv::config
