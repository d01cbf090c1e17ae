#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace rv::fuzz {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

const std::filesystem::path& WorkDir() {
    static const std::filesystem::path dir = [] {
        // Every run writes files: a memory file system keeps that from dominating the run time.
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (const char* env = std::getenv("RENVORA_FUZZ_TMPDIR"); env && *env) {
            base = env;
        } else if (::access("/dev/shm", W_OK) == 0) {
            base = "/dev/shm";
        }
        std::string templ = (base / "renvora-fuzz-XXXXXX").string();
        if (!::mkdtemp(templ.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::filesystem::path p = templ;
        std::filesystem::create_directories(p / "drive_c" / "Windows");
        std::filesystem::create_directories(p / "classes");
        std::filesystem::create_directories(p / "Config");
        std::filesystem::current_path(p);
        ::setenv("RENVORA_DRIVE_C", (p / "drive_c").c_str(), 1);
        ::setenv("RENVORA_CLASSES_ROOT", (p / "classes").c_str(), 1);
        // The folder goes when the process ends normally; a crash leaves it for inspection.
        std::atexit([] {
            std::error_code ec;
            std::filesystem::current_path("/", ec);
            std::filesystem::remove_all(WorkDir(), ec);
        });
        return p;
    }();
    return dir;
}

void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Check(static_cast<bool>(out), "write of a fuzz input file");
}

int CountingMessageBox::Show(const std::string& text, MbKind kind) {
    ++shown;
    if (text.empty()) {
        ++emptyTexts;
    }
    return kind == MbKind::YesNo ? IDYES : IDOK;
}

CountingMessageBox& Boxes() {
    static CountingMessageBox box;
    static bool installed = [] {
        InstallMessageBox(&box);
        return true;
    }();
    (void)installed;
    return box;
}

} // namespace rv::fuzz
