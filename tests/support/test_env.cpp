#include "support/test_env.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace rv::test {
namespace fs = std::filesystem;

TempWorkDir::TempWorkDir() {
    std::random_device rd;
    std::ostringstream name;
    name << "renvora-test-" << ::getpid() << "-" << std::hex << rd() << rd();
    dir_ = fs::temp_directory_path() / name.str();
    fs::create_directories(dir_);
    oldCwd_ = fs::current_path();
    fs::current_path(dir_);
    fs::create_directories(driveC());
    fs::create_directories(classesRoot());
    for (const auto& [name, value] :
         {std::pair{"RENVORA_DRIVE_C", driveC()}, std::pair{"RENVORA_CLASSES_ROOT", classesRoot()},
          std::pair{"RENVORA_DATA_DIR", dataDir()}}) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name, value.c_str(), 1);
    }
}

TempWorkDir::~TempWorkDir() {
    std::error_code ec;
    fs::current_path(oldCwd_, ec);
    for (const auto& [name, old] : saved_) {
        if (old) {
            ::setenv(name.c_str(), old->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
    // Permissions changed by a test must not keep the folder from being removed.
    for (auto it = fs::recursive_directory_iterator(dir_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
}

fs::path TempWorkDir::Write(const std::string& relative, const std::string& bytes) const {
    fs::path p = dir_ / relative;
    if (p.has_parent_path()) {
        fs::create_directories(p.parent_path());
    }
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) {
        throw std::runtime_error("cannot write " + p.string());
    }
    return p;
}

std::string TempWorkDir::Read(const std::string& relative) const {
    std::ifstream in(dir_ / relative, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int FakeView::RunLoginDialog() {
    ++loginRuns;
    if (loginDialog) {
        return loginDialog();
    }
    if (loginRuns <= loginResults.size()) {
        return loginResults[loginRuns - 1];
    }
    return 130;
}

CoreFixture::CoreFixture() : guard_(boxes) {
    ResetClientStrings();
}

CoreFixture::~CoreFixture() {
    ResetClientStrings();
}

CommandRun RunCommand(const std::string& command) {
    CommandRun r;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        return r;
    }
    std::array<char, 4096> buf{};
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) {
        r.output.append(buf.data(), n);
    }
    int status = ::pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Shell(const std::string& command) {
    CommandRun r = RunCommand(command + " 2>/dev/null");
    EXPECT_EQ(r.exitCode, 0) << command;
    return r.output;
}

} // namespace rv::test
