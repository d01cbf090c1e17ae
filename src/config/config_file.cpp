// Reader and writer of the key/value files. Every lookup opens, scans and closes the file, so an edit
// takes effect at the next lookup.
//
// The files were written on Windows in text mode: a CR that stands right before LF is part of the line
// end, not of the value. The writer therefore writes CR LF. Any other CR is an ordinary byte.
#include "config/config_file.h"

#include "platform/crt.h"
#include "platform/message_box.h"
#include "platform/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rv {
namespace {

// The line buffer of the lookup: 1000 bytes, so at most 999 characters of a line take part.
constexpr std::size_t kLineBuffer = 1000;
constexpr std::size_t kMaxLine = kLineBuffer - 1;

// Opens a regular file for reading. Directories, FIFOs and devices count as "cannot be opened": the
// Windows client could not open them either, and a FIFO would block the lookup forever.
std::FILE* OpenForReading(const char* windowsPath) {
    std::string path = paths::MapPath(windowsPath);
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    std::FILE* f = ::fdopen(fd, "rb");
    if (!f) {
        ::close(fd);
    }
    return f;
}

// Reads lines the way the Windows client's text-mode stream did: up to LF (consumed, not stored),
// at most 999 characters; after an over-long line every further read fails and yields an empty line.
class LineReader {
public:
    explicit LineReader(std::FILE* f) : f_(f) {}

    // False once the stream has reached its end (the loop condition of the lookup).
    bool AtEnd() const { return atEnd_; }

    // Fills `line` with the next line (possibly empty).
    void Next(std::string& line) {
        line.clear();
        if (failed_ || atEnd_) {
            return;
        }
        for (;;) {
            int c = Get();
            if (c == EOF) {
                atEnd_ = true;
                return;
            }
            if (c == '\n') {
                return;
            }
            if (line.size() == kMaxLine) {
                // An over-long line: what is left of it is never read; every later read fails.
                failed_ = true;
                return;
            }
            line.push_back(static_cast<char>(c));
        }
    }

private:
    // One byte with CR LF folded into LF.
    int Get() {
        int c = std::getc(f_);
        if (c == '\r') {
            int d = std::getc(f_);
            if (d == '\n') {
                return '\n';
            }
            if (d != EOF) {
                std::ungetc(d, f_);
            }
        }
        return c;
    }

    std::FILE* f_;
    bool atEnd_ = false;
    bool failed_ = false;
};

// The lookup proper. `opened` is false when the file cannot be opened.
std::string Lookup(const char* path, const char* key, bool& opened) {
    std::string result;
    std::FILE* f = OpenForReading(path);
    opened = f != nullptr;
    if (!f) {
        return result;
    }
    const std::string wanted = key ? key : "";
    LineReader reader(f);
    std::string line;
    while (!reader.AtEnd()) {
        reader.Next(line);
        // The line was a C string in the buffer: a NUL byte ends it.
        if (std::size_t nul = line.find('\0'); nul != std::string::npos) {
            line.resize(nul);
        }
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            break; // a line without "=" ends the search
        }
        if (line.compare(0, eq, wanted) != 0) {
            continue;
        }
        result = line.substr(eq + 1);
        break;
    }
    std::fclose(f);
    return result;
}

} // namespace

std::string ReadConfigValue(const char* path, const char* key) {
    bool opened = false;
    return Lookup(path, key, opened);
}

std::string ReadSettingsValue(const char* path, const char* key) {
    bool opened = false;
    std::string value = Lookup(path, key, opened);
    if (!opened) {
        ShowNotice("打开文件失败！");
        // An orderly end: the runtime's exit handlers run.
        std::exit(1);
    }
    return value;
}

int32_t WriteConfigEntry(const std::string& key, const std::string& value) {
    std::string path = paths::MapPath(paths::kConfIni);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        ShowNotice("配置文件不存在！");
        return 0;
    }
    // One write for the whole entry, so an entry is never split by another appender.
    std::string entry = key + "=" + value + "\r\n";
    const char* p = entry.data();
    std::size_t left = entry.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        ok = false;
    }
    if (!ok) {
        // A full disk must not pass for a stored entry.
        ShowNotice("写入配置文件失败！");
    }
    return 0;
}

int32_t GetServerAddress(std::string& address) {
    std::string value = ReadConfigValue(paths::kConfIniForLookup, "realmName");
    if (value.empty()) {
        return -1;
    }
    address = value;
    return 0;
}

int32_t ReadMaxDay() {
    return Atoi(ReadConfigValue(paths::kTimeIni, "MaxDay"));
}

} // namespace rv
