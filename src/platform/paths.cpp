#include "platform/paths.h"

#include <cctype>
#include <cstdlib>

namespace rv::paths {

std::filesystem::path DriveRoot(char letter) {
    char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    std::string var = std::string("RENVORA_DRIVE_") + upper;
    if (const char* v = std::getenv(var.c_str()); v && *v) {
        return v;
    }
    const char* home = std::getenv("HOME");
    std::filesystem::path base = (home && *home) ? home : "/tmp";
    return base / ".renvora" / (std::string("drive_") + lower);
}

std::string MapPath(const char* windowsPath) {
    std::string p = windowsPath ? windowsPath : "";
    for (char& c : p) {
        if (c == '\\') {
            c = '/';
        }
    }
    if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
        std::string rest = p.substr(2);
        std::string root = DriveRoot(p[0]).string();
        if (rest.empty() || rest.front() != '/') {
            rest.insert(rest.begin(), '/');
        }
        return root + rest;
    }
    return p;
}

} // namespace rv::paths
