// renvora-p11card: registers the token card as the card control, and shows what a token holds.
//
//   renvora-p11card register [--module M] [--token-label L] [--token-serial S] [--plugin SO]
//                            [--classes-root DIR]
//   renvora-p11card show [--module M] [--token-label L] [--token-serial S] [--pin-file FILE|-]
#include "card/dispids.h"
#include "core/layout.h"
#include "core/token_control.h"
#include "platform/codepage.h"
#include "platform/registry.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace rv::p11card;

const char* kUsage =
    "usage:\n"
    "  renvora-p11card register [--module M] [--token-label L] [--token-serial S] [--plugin SO]\n"
    "                           [--classes-root DIR]\n"
    "      Registers p11card.so as the card control (module: library path or p11-kit module\n"
    "      name; none: every module the system registers with p11-kit).\n"
    "  renvora-p11card show [--module M] [--token-label L] [--token-serial S] [--pin-file FILE|-]\n"
    "      Shows the card on the token: holder record and sets; with the PIN (the first line of\n"
    "      FILE, - for standard input, or RENVORA_P11CARD_PIN) also the private objects.\n"
    "  renvora-p11card --help | --version\n";

bool Parse(int argc, char** argv, std::map<std::string, std::string>& out) {
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::fprintf(stderr, "renvora-p11card: bad argument '%s'\n%s", a.c_str(), kUsage);
            return false;
        }
        out[a.substr(2)] = argv[++i];
    }
    return true;
}

std::string Get(const std::map<std::string, std::string>& o, const char* k) {
    auto it = o.find(k);
    return it == o.end() ? std::string() : it->second;
}

// Beside the tool in a build tree; the private library folder when installed.
std::string DefaultPluginPath() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && fs::exists(self.parent_path() / "p11card.so", ec)) {
        return (self.parent_path() / "p11card.so").string();
    }
#ifdef RENVORA_PLUGIN_DIR
    return (fs::path(RENVORA_PLUGIN_DIR) / "p11card.so").string();
#else
    return "p11card.so";
#endif
}

int Register(const std::map<std::string, std::string>& o) {
    std::string plugin = Get(o, "plugin");
    if (plugin.empty()) {
        plugin = DefaultPluginPath();
    }
    std::error_code ec;
    if (!fs::exists(plugin, ec)) {
        std::fprintf(stderr, "renvora-p11card: plugin %s not found (use --plugin)\n", plugin.c_str());
        return 1;
    }
    std::string root = Get(o, "classes-root");
    if (root.empty()) {
        const char* env = std::getenv("RENVORA_CLASSES_ROOT");
        const char* home = std::getenv("HOME");
        root = env && *env ? env : std::string(home ? home : ".") + "/.renvora/classes";
    }
    rv::reg::RegisterControl(root, rv::kCardControlClsid, "token card (PKCS#11)", plugin);
    for (auto [opt, value] : {std::pair{"module", "Pkcs11Module"},
                              {"token-label", "TokenLabel"},
                              {"token-serial", "TokenSerial"}}) {
        rv::reg::WriteValue(root, rv::kCardControlKey, value, Get(o, opt));
    }
    std::printf("registered %s under %s\n", plugin.c_str(), root.c_str());
    return 0;
}

// The PIN for `show` (UTF-8): the first line of --pin-file ("-": standard input), else
// RENVORA_P11CARD_PIN. Never from the command line, which every local user can read.
bool ShowPin(const std::map<std::string, std::string>& o, std::string& pin, bool& have) {
    have = false;
    if (o.count("pin")) {
        std::fprintf(stderr,
                     "renvora-p11card: the PIN is not taken from the command line, which every local "
                     "user can read; use --pin-file FILE (- for standard input) or RENVORA_P11CARD_PIN\n");
        return false;
    }
    if (o.count("pin-file")) {
        std::string file = Get(o, "pin-file");
        std::ifstream in;
        if (file != "-") {
            in.open(file);
        }
        if ((file != "-" && !in) || !std::getline(file == "-" ? std::cin : in, pin)) {
            std::fprintf(stderr, "renvora-p11card: cannot read the PIN from %s\n", file.c_str());
            return false;
        }
        if (!pin.empty() && pin.back() == '\r') {
            pin.pop_back();
        }
        have = true;
    } else if (const char* env = std::getenv("RENVORA_P11CARD_PIN"); env && *env) {
        pin = env;
        have = true;
    }
    return true;
}

int Show(const std::map<std::string, std::string>& o) {
    std::string pin;
    bool havePin = false;
    if (!ShowPin(o, pin, havePin)) {
        return 2;
    }
    P11Config config = ReadP11Config();
    if (o.count("module")) {
        config.module = Get(o, "module");
    }
    if (o.count("token-label")) {
        config.tokenLabel = Get(o, "token-label");
    }
    if (o.count("token-serial")) {
        config.tokenSerial = Get(o, "token-serial");
    }
    std::vector<std::shared_ptr<Module>> modules;
    std::string error;
    TokenRef token;
    if (!Module::Load(config.module, modules, error) || !SelectToken(modules, config, token, error)) {
        std::fprintf(stderr, "renvora-p11card: %s\n", rv::cp::GbkToUtf8(error).c_str());
        return 1;
    }
    Session s;
    CK_RV rv = s.Open(token, false);
    bool loggedIn = false;
    if (rv == CKR_OK && havePin) {
        rv = s.Login(rv::cp::Utf8ToGbk(pin));
        Wipe(pin);
        loggedIn = rv == CKR_OK;
    }
    TokenView view;
    if (rv != CKR_OK || !ScanToken(s, view, rv)) {
        std::fprintf(stderr, "renvora-p11card: %s\n", RvName(rv).c_str());
        return 1;
    }
    std::printf("token %s (serial %s)\n", token.label.c_str(), token.serial.c_str());
    Bytes holder;
    if (view.holder != CK_INVALID_HANDLE && s.Attr(view.holder, CKA_VALUE, holder)) {
        std::printf("holder %s\n", rv::cp::GbkToUtf8(holder).c_str());
    }
    const TokenSet* current = view.Current(loggedIn);
    const TokenSet* pending = view.Pending(loggedIn);
    for (const TokenSet& set : view.sets) {
        Bytes der;
        CertInfo cert;
        std::string validity;
        if (set.signCert != CK_INVALID_HANDLE && s.Attr(set.signCert, CKA_VALUE, der) &&
            ReadCertDer(der, cert)) {
            validity = " certificate " + cert.notBefore + "-" + cert.notAfter;
        }
        std::printf("set %s generation %u %s objects %zu%s\n", Hex(set.tag).c_str(), set.generation,
                    &set == current   ? "current"
                    : &set == pending ? "pending"
                                      : "leftover",
                    set.all.size(), validity.c_str());
    }
    return current ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "--version") {
        std::printf("renvora-p11card %s\n", RENVORA_VERSION);
        return 0;
    }
    std::map<std::string, std::string> o;
    if ((cmd != "register" && cmd != "show") || !Parse(argc, argv, o)) {
        std::fputs(kUsage, cmd == "--help" || cmd == "-h" ? stdout : stderr);
        return cmd == "--help" || cmd == "-h" ? 0 : 2;
    }
    return cmd == "register" ? Register(o) : Show(o);
}
