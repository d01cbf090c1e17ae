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
    if (!Module::Load(config.module, modules, error)) {
        std::fprintf(stderr, "renvora-p11card: %s\n", rv::cp::GbkToUtf8(error).c_str());
        std::fprintf(
            stderr,
            "hint: the module could not be loaded or started: check that the file exists and is readable "
            "and is a PKCS#11 library; a module that loads but fails to start most often cannot read its "
            "configuration (SoftHSM2: SOFTHSM2_CONF or /etc/softhsm/softhsm2.conf and its token folder; "
            "OpenSC: OPENSC_CONF or /etc/opensc/opensc.conf)\n");
        return 1;
    }
    // What was searched, so that a card that is not found can be looked for.
    for (const auto& m : modules) {
        CK_SLOT_ID slots[64];
        CK_ULONG n = 64;
        if (m->fn()->C_GetSlotList(CK_FALSE, slots, &n) != CKR_OK) {
            n = 0;
        }
        std::fprintf(stderr, "searched module %s: %lu slot(s)\n", m->name().c_str(),
                     static_cast<unsigned long>(n));
        for (CK_ULONG i = 0; i < n && i < 64; ++i) {
            CK_SLOT_INFO si{};
            TokenRef t;
            t.module = m;
            t.slot = slots[i];
            m->fn()->C_GetSlotInfo(slots[i], &si);
            std::string desc(reinterpret_cast<const char*>(si.slotDescription), sizeof si.slotDescription);
            desc.erase(desc.find_last_not_of(' ') + 1);
            bool present = (si.flags & CKF_TOKEN_PRESENT) && RefreshTokenInfo(t);
            std::fprintf(stderr, "  slot %lu \"%s\": %s\n", static_cast<unsigned long>(slots[i]),
                         desc.c_str(),
                         present ? ("token \"" + t.label + "\" serial " + t.serial).c_str() : "no token");
        }
    }
    if (!SelectToken(modules, config, token, error)) {
        std::fprintf(stderr, "renvora-p11card: %s\n", rv::cp::GbkToUtf8(error).c_str());
        std::fprintf(stderr,
                     "hint: no token holds a card: insert the card; for a card in a reader check that pcscd "
                     "runs (systemctl status pcscd.socket) and that 'pkcs11-tool --module MODULE -L' lists "
                     "it; name the token with --token-label or --token-serial when there are several\n");
        return 1;
    }
    Session s;
    CK_RV rv = s.Open(token, false);
    bool loggedIn = false;
    if (rv == CKR_OK && havePin) {
        rv = s.Login(rv::cp::Utf8ToGbk(pin));
        Wipe(pin);
        loggedIn = rv == CKR_OK;
        if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) {
            RefreshTokenInfo(token);
            std::fprintf(stderr,
                         "renvora-p11card: %s\nhint: the PIN was wrong%s; the card locks after too many "
                         "wrong PINs\n",
                         RvName(rv).c_str(),
                         rv == CKR_PIN_LOCKED || (token.flags & CKF_USER_PIN_LOCKED)
                             ? " and the card is now locked"
                         : token.flags & CKF_USER_PIN_FINAL_TRY ? ", one try is left"
                         : token.flags & CKF_USER_PIN_COUNT_LOW ? ", few tries are left"
                                                                : "");
            return 1;
        }
    }
    TokenView view;
    if (rv != CKR_OK || !ScanToken(s, view, rv)) {
        std::fprintf(stderr, "renvora-p11card: %s\n", RvName(rv).c_str());
        return 1;
    }
    std::printf("token %s (serial %s) of module %s\n", token.label.c_str(), token.serial.c_str(),
                token.module->name().c_str());
    Bytes holder;
    if (view.holder != CK_INVALID_HANDLE && s.Attr(view.holder, CKA_VALUE, holder)) {
        std::printf("holder %s\n", rv::cp::GbkToUtf8(holder).c_str());
    }
    const TokenSet* current = view.Current(loggedIn);
    const TokenSet* pending = view.Pending(loggedIn);
    CK_OBJECT_HANDLE password = view.ManagePassword(loggedIn), service = view.InForce(kServiceKeys, loggedIn);
    for (const TokenSet& set : view.sets) {
        Bytes der;
        CertInfo cert;
        std::string validity;
        if (set.signCert != CK_INVALID_HANDLE && s.Attr(set.signCert, CKA_VALUE, der) &&
            ReadCertDer(der, cert)) {
            validity = " " + cert.notBefore + "-" + cert.notAfter;
        }
        // Each object by what it is; an earlier set's objects that the current set still uses are in force.
        std::vector<std::pair<std::string, bool>> objects; // name, in force
        auto add = [&](CK_OBJECT_HANDLE h, const std::string& name) {
            if (h != CK_INVALID_HANDLE) {
                objects.emplace_back(name, &set == current || h == password || h == service);
            }
        };
        add(set.signCert, "signing certificate" + validity);
        add(set.signPriv, "signing key");
        add(set.signPub, "signing public key");
        add(set.encCert, "encryption certificate");
        add(set.encPriv, "encryption key");
        add(set.Data(kServiceKeys), "service keys");
        add(set.Data(kManagePassword), "management-password hash");
        bool anyInForce = false;
        for (const auto& o : objects) {
            anyInForce = anyInForce || o.second;
        }
        std::printf("set %s generation %u: %s\n", Hex(set.tag).c_str(), set.generation,
                    &set == current   ? "current"
                    : &set == pending ? "pending (a new key waiting for its certificate)"
                    : anyInForce      ? "earlier set, partly still in force"
                                      : "leftover (removed at the next login)");
        for (const auto& [name, inForce] : objects) {
            std::printf("  %s%s\n", name.c_str(),
                        &set != current && &set != pending ? (inForce ? ": in force" : ": leftover") : "");
        }
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
