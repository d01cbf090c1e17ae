#include "core/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace rv::server {
namespace {

std::string Errno(const char* what, const std::filesystem::path& p) {
    return std::string(what) + " " + p.string() + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Makes one folder (its parent exists) with exactly `mode`; an existing one is left as it is.
bool MakeFolder(const std::filesystem::path& folder, mode_t mode, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec)) {
        return true;
    }
    std::filesystem::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !std::filesystem::is_directory(parent, ec) &&
        !MakeFolder(parent, 0755, error)) {
        return false;
    }
    if (::mkdir(folder.c_str(), mode) != 0) {
        if (errno == EEXIST && std::filesystem::is_directory(folder, ec)) {
            return true; // made by somebody else meanwhile: theirs to set
        }
        error = Errno("cannot create folder", folder);
        return false;
    }
    ::chmod(folder.c_str(), mode); // the umask may have taken bits away
    return true;
}

} // namespace

bool SyncFolder(const std::filesystem::path& folder) {
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool WriteFileAtomically(const std::filesystem::path& file, const std::string& bytes, std::string& error,
                         unsigned mode) {
    // Unique temp name per writer: threads and processes may replace different files in one folder.
    static std::atomic<unsigned long> counter{0};
    std::filesystem::path temp = file;
    temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) {
        error = Errno("cannot create", temp);
        return false;
    }
    ::fchmod(fd, static_cast<mode_t>(mode)); // the umask may have taken bits away
    if (!WriteAll(fd, bytes.data(), bytes.size()) || ::fsync(fd) != 0) {
        error = Errno("cannot write", temp);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    ::close(fd);
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        error = Errno("cannot replace", file);
        ::unlink(temp.c_str());
        return false;
    }
    if (!SyncFolder(file.parent_path())) {
        error = Errno("cannot sync folder of", file);
        return false;
    }
    return true;
}

bool CreatePrivateFolder(const std::filesystem::path& folder, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec)) {
        return true;
    }
    // Parents are ordinary folders (0755); only the folder itself is private.
    std::filesystem::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !std::filesystem::is_directory(parent, ec) &&
        !MakeFolder(parent, 0755, error)) {
        return false;
    }
    return MakeFolder(folder, 0700, error);
}

bool ReadSecretFile(const std::filesystem::path& file, std::string& out, std::string& error) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = Errno("cannot open", file);
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    ::close(fd);
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = file.string() + " has mode " + mode +
                ": its group or other users can read it or put their own in its place, and it holds a "
                "secret; make it its owner's alone (chmod 600 " +
                file.string() + ")";
        return false;
    }
    return ReadWholeFile(file, out, error, 1u << 20);
}

bool ReadWholeFile(const std::filesystem::path& file, std::string& out, std::string& error,
                   std::size_t limit) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = Errno("cannot open", file);
        return false;
    }
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = Errno("cannot read", file);
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        data.append(buf, static_cast<std::size_t>(n));
        if (data.size() > limit) {
            error = "file too large: " + file.string();
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    out = std::move(data);
    return true;
}

} // namespace rv::server
