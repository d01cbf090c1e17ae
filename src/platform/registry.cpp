#include "platform/registry.h"

#include "platform/atomic_file.h"
#include "platform/paths.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace rv::reg {
namespace fs = std::filesystem;

namespace {

std::vector<std::string> KeyComponents(const std::string& subKey) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : subKey) {
        if (c == '\\' || c == '/') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    return parts;
}

fs::path KeyDir(const fs::path& root, const std::string& subKey) {
    fs::path dir = root;
    for (const auto& part : KeyComponents(subKey)) {
        dir /= part;
    }
    return dir;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The entry of `dir` named `name` when compared without case (registry names are case-insensitive):
// the exact name first, else the first entry that matches in another case.
std::optional<fs::path> FindIgnoringCase(const fs::path& dir, const std::string& name) {
    std::error_code ec;
    if (fs::exists(dir / name, ec)) {
        return dir / name;
    }
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (SameNameIgnoringCase(it->path().filename().string(), name)) {
            return it->path();
        }
    }
    return std::nullopt;
}

// The key's directory under `root`, each path component matched without case.
std::optional<fs::path> FindKeyDir(const fs::path& root, const std::string& subKey) {
    fs::path dir = root;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        return std::nullopt;
    }
    for (const auto& part : KeyComponents(subKey)) {
        auto next = FindIgnoringCase(dir, part);
        if (!next || !fs::is_directory(*next, ec)) {
            return std::nullopt;
        }
        dir = *next;
    }
    return dir;
}

std::string ValueFile(const std::string& name) {
    return "@" + name;
}

std::optional<std::string> ReadFile(const fs::path& p) {
    std::error_code ec;
    if (!fs::is_regular_file(p, ec)) {
        return std::nullopt;
    }
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string v = ss.str();
    // A value written by hand usually ends with a newline that is not part of it.
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) {
        v.pop_back();
    }
    return v;
}

} // namespace

std::vector<fs::path> Roots() {
    if (const char* r = std::getenv("RENVORA_CLASSES_ROOT"); r && *r) {
        return {fs::path(r)};
    }
    std::vector<fs::path> roots;
    if (const char* home = std::getenv("HOME"); home && *home) {
        roots.push_back(fs::path(home) / ".renvora" / "classes");
    }
    roots.push_back(fs::path(paths::kSystemDir) / "classes");
    return roots;
}

std::optional<std::string> ReadValue(const std::string& subKey, const std::string& name) {
    for (const auto& root : Roots()) {
        auto dir = FindKeyDir(root, subKey);
        if (!dir) {
            continue;
        }
        auto file = FindIgnoringCase(*dir, ValueFile(name));
        auto value = file ? ReadFile(*file) : std::nullopt;
        // A key whose default value was never set still answers, with an empty value, as the registry
        // does; a named value that is not there is missing.
        if (!value && name.empty()) {
            return std::string();
        }
        return value;
    }
    return std::nullopt;
}

long RegQueryValueA(const char* subKey, char* buffer, long* size) {
    if (!subKey || !size) {
        return kErrorFileNotFound;
    }
    auto v = ReadValue(subKey);
    if (!v) {
        return kErrorFileNotFound;
    }
    long needed = static_cast<long>(v->size()) + 1;
    if (!buffer || *size < needed) {
        *size = needed;
        return kErrorMoreData;
    }
    std::memcpy(buffer, v->c_str(), v->size() + 1);
    *size = needed;
    return kErrorSuccess;
}

// Registrations are read by every user of a machine (/etc/renvora/classes) and written by one: readable
// by all, writable by the owner only, whatever the umask (a registration another user could write would
// let them choose the library the client loads).
void WriteValue(const fs::path& root, const std::string& subKey, const std::string& name,
                const std::string& value) {
    fs::path dir = KeyDir(root, subKey);
    std::string why;
    if (!MakeFolders(dir, 0755, why)) {
        throw std::runtime_error("cannot create registry key " + dir.string() + ": " + why);
    }
    if (!WriteFileWithMode(dir / ValueFile(name), value, 0644, why)) {
        throw std::runtime_error("cannot write registry value: " + why);
    }
}

void RegisterControl(const fs::path& root, const std::string& clsid, const std::string& description,
                     const std::string& libraryPath) {
    std::string key = "CLSID\\" + clsid;
    WriteValue(root, key, "", description);
    WriteValue(root, key + "\\InprocServer32", "", libraryPath);
}

} // namespace rv::reg
