#include "platform/atomic_file.h"

#include "platform/fd_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rv {
namespace {

std::string Failure(const char* step, const std::filesystem::path& path) {
    return std::string(step) + " " + path.string() + ": " + std::strerror(errno);
}

} // namespace

bool ReplaceFileAtomically(const std::filesystem::path& file, const std::string& bytes, mode_t mode,
                           std::string& error) {
    const std::filesystem::path temp = file.string() + "." + std::to_string(::getpid()) + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        error = Failure("cannot create", temp);
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    if (!ok) {
        error = Failure("cannot write", temp);
    }
    if (::close(fd) != 0 && ok) {
        error = Failure("cannot write", temp);
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), file.c_str()) != 0) {
        error = Failure("cannot replace", file);
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself survives a power cut only once the folder is synced.
    const std::filesystem::path dir = file.has_parent_path() ? file.parent_path() : ".";
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool WriteFileWithMode(const std::filesystem::path& file, const std::string& bytes, mode_t mode,
                       std::string& error) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        error = Failure("cannot create", file);
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes);
    if (!ok) {
        error = Failure("cannot write", file);
    }
    if (::close(fd) != 0 && ok) {
        error = Failure("cannot write", file);
        ok = false;
    }
    return ok;
}

bool MakeFolders(const std::filesystem::path& dir, mode_t mode, std::string& error) {
    std::filesystem::path at;
    for (const auto& part : dir) {
        at /= part;
        if (::mkdir(at.c_str(), mode) == 0) {
            // The umask may have taken bits the folder is meant to have.
            if (::chmod(at.c_str(), mode) != 0) {
                error = std::strerror(errno);
                return false;
            }
            continue;
        }
        if (errno != EEXIST) {
            error = std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = std::strerror(ENOTDIR);
        return false;
    }
    return true;
}

} // namespace rv
