#include "card_stack.h"

#include "test_ca.h"
#include "test_env.h"

#include <p11-kit/p11-kit.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace rv::test {
namespace {

namespace fs = std::filesystem;

pid_t Spawn(const std::vector<std::string>& args, const fs::path& log) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

void Stop(pid_t& pid) {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    pid = -1;
}

// Polls `ready` every 50 ms for at most `seconds`.
template <typename F> bool WaitUntil(int seconds, F ready) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

} // namespace

std::string CardStack::OpenScModule() {
    return "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
}

std::string CardStack::SkipReason() {
    if (::geteuid() != 0) {
        return "the card stack needs root: pcscd runs in a network and mount namespace of the test's own";
    }
    for (const char* p : {"/usr/sbin/pcscd", "/usr/lib/pcsc/drivers/serial/libifdvpcd.so", "/usr/bin/unshare",
                          "/usr/bin/nsenter", "/usr/bin/pkcs15-init", "/usr/bin/pkcs11-tool"}) {
        if (!fs::exists(p)) {
            return std::string("the card stack needs ") + p + " (scripts/setup installs it)";
        }
    }
    if (!fs::exists(OpenScModule())) {
        return "the card stack needs OpenSC's " + OpenScModule();
    }
    return "";
}

CardStack::CardStack(const fs::path& folder) : folder_(folder) {
    fs::create_directories(folder_ / "run");
    fs::create_directories(folder_ / "conf");
    std::ofstream(folder_ / "conf" / "vpcd") << "FRIENDLYNAME \"Virtual PCD\"\n"
                                                "DEVICENAME   /dev/null:0x8C7B\n"
                                                "LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n"
                                                "CHANNELID    0x8C7B\n";
    // OpenSC and every PC/SC client of this process and its children reach this pcscd, never the system's.
    ::setenv("PCSCLITE_CSOCK_NAME", (folder_ / "run" / "pcscd.comm").c_str(), 1);
}

CardStack::~CardStack() {
    Stop(card_);
    Stop(reader_);
    ::unsetenv("PCSCLITE_CSOCK_NAME");
}

bool CardStack::StartReader() {
    Stop(reader_);
    fs::remove(folder_ / "run" / "pcscd.comm");
    std::error_code ec;
    fs::create_directories("/run/pcscd", ec); // the mount point of the private folder
    std::string script = "ip link set lo up && mount --bind '" + (folder_ / "run").string() +
                         "' /run/pcscd && exec pcscd -f -c '" + (folder_ / "conf").string() + "'";
    reader_ = Spawn({"unshare", "--net", "--mount", "--propagation", "private", "sh", "-c", script},
                    folder_ / "pcscd.log");
    return reader_ > 0 && WaitUntil(60, [&] { return fs::exists(folder_ / "run" / "pcscd.comm"); });
}

void CardStack::StopReader() {
    Stop(reader_);
}

bool CardStack::InsertCard(const std::vector<std::string>& extra) {
    Stop(card_);
    if (reader_ <= 0) {
        return false;
    }
    fs::remove(statusFile());
    std::vector<std::string> args = {"nsenter",
                                     "-t",
                                     std::to_string(reader_),
                                     "-n",
                                     RENVORA_BUILD_DIR "/tests/renvora-cardsim",
                                     "--state",
                                     stateFile().string(),
                                     "--status-file",
                                     statusFile().string(),
                                     "--count-file",
                                     countFile().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    card_ = Spawn(args, folder_ / "card.log");
    return card_ > 0 && WaitUntil(60, [&] { return TokenVisible(); });
}

void CardStack::PullCard() {
    Stop(card_);
}

bool CardStack::TokenVisible() const {
    CK_FUNCTION_LIST* fn = p11_kit_module_load(OpenScModule().c_str(), 0);
    bool seen = false;
    if (fn && p11_kit_module_initialize(fn) == CKR_OK) {
        // A card in a reader, whether or not it holds a PKCS#15 structure yet.
        CK_SLOT_ID slots[8];
        CK_ULONG n = 8;
        if (fn->C_GetSlotList(CK_FALSE, slots, &n) == CKR_OK) {
            for (CK_ULONG i = 0; i < n && i < 8 && !seen; ++i) {
                CK_SLOT_INFO info{};
                seen = fn->C_GetSlotInfo(slots[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT);
            }
        }
        p11_kit_module_finalize(fn);
    }
    if (fn) {
        p11_kit_module_release(fn);
    }
    return seen;
}

bool CardStack::WaitFrozen(int seconds) {
    return WaitUntil(seconds, [&] { return ReadAll(statusFile()).rfind("frozen", 0) == 0; });
}

bool CardStack::Personalise(std::string& log) {
    const std::string so = std::string(" --so-pin ") + kSoPin;
    for (const std::string& step : {"pkcs15-init --create-pkcs15 --so-puk " + std::string(kSoPin) + so +
                                        " --pin " + kPin + " --puk 12345678 --label 'renvora card'",
                                    "pkcs15-init --store-pin --auth-id 01 --label 'User PIN' --pin " +
                                        std::string(kPin) + " --puk 12345678" + so,
                                    std::string("pkcs15-init --finalize")}) {
        CommandRun r = RunCommand(step + " 2>&1");
        log += "$ " + step + "\n" + r.output;
        if (r.exitCode != 0) {
            return false;
        }
    }
    return true;
}

} // namespace rv::test
