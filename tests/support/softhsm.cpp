#include "support/softhsm.h"

#include "support/test_ca.h"
#include "support/test_env.h"

#include <cstdlib>
#include <fstream>
#include <map>

namespace rv::test {
namespace fs = std::filesystem;

SoftHsm::SoftHsm(const fs::path& folder)
    : tokens_(folder / "softhsm-tokens"), config_(folder / "softhsm2.conf"),
      ejected_(folder / "softhsm-ejected") {
    fs::create_directories(tokens_);
    fs::create_directories(ejected_);
    std::ofstream(config_) << "directories.tokendir = " << tokens_.string()
                           << "\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n";
    if (const char* v = std::getenv("SOFTHSM2_CONF")) {
        hadConf_ = true;
        oldConf_ = v;
    }
    ::setenv("SOFTHSM2_CONF", config_.c_str(), 1);
}

SoftHsm::~SoftHsm() {
    if (hadConf_) {
        ::setenv("SOFTHSM2_CONF", oldConf_.c_str(), 1);
    } else {
        ::unsetenv("SOFTHSM2_CONF");
    }
}

std::string SoftHsm::ModulePath() {
    for (const char* p :
         {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"}) {
        if (fs::exists(p)) {
            return p;
        }
    }
    return "/usr/lib/softhsm/libsofthsm2.so";
}

bool SoftHsm::InitToken(const std::string& label, const std::string& pin) {
    CommandRun r =
        RunCommand("SOFTHSM2_CONF='" + config_.string() + "' softhsm2-util --init-token --free --label '" +
                   label + "' --so-pin " + kSoPin + " --pin '" + pin + "' 2>&1");
    return r.exitCode == 0;
}

std::string SoftHsm::Snapshot(bool tokenState) const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(tokens_)) {
        if (e.is_regular_file() && (tokenState || e.path().filename() != "token.object")) {
            files[fs::relative(e.path(), tokens_).string()] = ReadAll(e.path());
        }
    }
    std::string out;
    for (const auto& [name, bytes] : files) {
        out += name + "\n" + std::to_string(bytes.size()) + "\n" + bytes;
    }
    return out;
}

void SoftHsm::Eject() {
    for (const auto& e : fs::directory_iterator(tokens_)) {
        fs::rename(e.path(), ejected_ / e.path().filename());
    }
}

void SoftHsm::Insert() {
    for (const auto& e : fs::directory_iterator(ejected_)) {
        fs::rename(e.path(), tokens_ / e.path().filename());
    }
}

} // namespace rv::test
