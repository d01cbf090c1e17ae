// The main of every test program: it runs in a home of its own. Whatever a test, or a client or tool it
// starts, writes under HOME, XDG_DATA_HOME, XDG_CONFIG_HOME or RENVORA_DATA_DIR (the reminder's
// cards.json, reminder.ini, ~/.renvora) or under TMPDIR stays out of the user's real folders and goes
// with the home, also when the program is run by hand instead of through CTest.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {
namespace fs = std::filesystem;

// Set for the processes a test program starts; a death test's child (the same program started again)
// finds it and stays in its parent's home instead of making and leaking one of its own.
constexpr const char* kMarker = "RENVORA_TEST_PRIVATE_HOME";

class PrivateHome {
public:
    PrivateHome() {
        if (const char* inherited = std::getenv(kMarker);
            inherited && *inherited && fs::is_directory(inherited)) {
            return;
        }
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/renvora-test-home-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr) {
            std::perror("test main: mkdtemp");
            std::exit(2);
        }
        dir_ = templ;
        ::setenv(kMarker, dir_.c_str(), 1);
        ::setenv("HOME", dir_.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir_ / ".local" / "share").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir_ / ".config").c_str(), 1);
        ::setenv("RENVORA_DATA_DIR", (dir_ / ".local" / "share" / "renvora").c_str(), 1);
        // The machine's issuer certificates (/etc/renvora/issuers) are no test's business: none unless a
        // test puts some here.
        ::setenv("RENVORA_ISSUER_DIR", (dir_ / "issuers").c_str(), 1);
        // Temporary folders too: a death test's child makes its fixture's folder and ends without
        // removing it; inside this home it goes when the parent's home goes.
        const fs::path tmpDir = dir_ / "tmp";
        std::error_code ec;
        fs::create_directory(tmpDir, ec);
        if (!ec) {
            ::setenv("TMPDIR", tmpDir.c_str(), 1);
        }
    }
    ~PrivateHome() {
        if (dir_.empty()) {
            return;
        }
        std::error_code ec;
        // Permissions a test took away must not keep the folder.
        for (auto it = fs::recursive_directory_iterator(dir_, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(dir_, ec);
    }
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;

private:
    fs::path dir_;
};

} // namespace

int main(int argc, char** argv) {
    PrivateHome home;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
