#include "platform/registry.h"

#include "platform/paths.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace rv::reg {
namespace fs = std::filesystem;

namespace {

fs::path KeyDir(const fs::path& root, const std::string& subKey) {
    std::string rel = subKey;
    for (char& c : rel) {
        if (c == '\\') {
            c = '/';
        }
    }
    return root / rel;
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
        fs::path dir = KeyDir(root, subKey);
        std::error_code ec;
        if (fs::is_directory(dir, ec)) {
            return ReadFile(dir / ValueFile(name));
        }
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

void WriteValue(const fs::path& root, const std::string& subKey, const std::string& name,
                const std::string& value) {
    fs::path dir = KeyDir(root, subKey);
    fs::create_directories(dir);
    std::ofstream out(dir / ValueFile(name), std::ios::binary | std::ios::trunc);
    out << value;
    if (!out) {
        throw std::runtime_error("cannot write registry value " + (dir / ValueFile(name)).string());
    }
}

void RegisterControl(const fs::path& root, const std::string& clsid, const std::string& description,
                     const std::string& libraryPath) {
    std::string key = "CLSID\\" + clsid;
    WriteValue(root, key, "", description);
    WriteValue(root, key + "\\InprocServer32", "", libraryPath);
}

} // namespace rv::reg
