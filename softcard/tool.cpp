// renvora-softcard: creates, shows and edits software card images, sets their faults and registers
// the software card plugin in the registry stand-in. Arguments and output are UTF-8 (the terminal's).
#include "card/dispids.h"
#include "core/card_control.h"
#include "core/card_image.h"
#include "core/faults.h"
#include "platform/codepage.h"
#include "platform/registry.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace rv::softcard;

namespace {

const char* const kUsage =
    "usage:\n"
    "  renvora-softcard create IMAGE [--pin-file FILE] [--manage-password-file FILE] [--algo SM2]\n"
    "        [--days 365] [--cert-seq-no S] [--name S] [--id-type S] [--id-number S] [--field5 S]\n"
    "        [--card-number S] [--unit-name S] [--unit-code S] [--field9 S] [--ra-code S]\n"
    "        [--card-type 10] [--force]\n"
    "      a new card with a fresh SM2 key pair and a self-signed certificate valid for --days days\n"
    "  renvora-softcard show IMAGE                 holder data, certificate, PIN state (no secrets)\n"
    "  renvora-softcard set-pin IMAGE [--pin-file FILE]   new PIN, unlocks the card\n"
    "      The PIN and the management password come from the first line of their files (- for standard\n"
    "      input, the PIN's line first) or from RENVORA_SOFTCARD_PIN and RENVORA_SOFTCARD_MANAGE_PASSWORD,\n"
    "      never from the command line, which every local user can read.\n"
    "  renvora-softcard fault IMAGE [--fail METHOD --count N [--status S] [--message TEXT]]\n"
    "        [--delay METHOD --ms N] [--swap OTHER_IMAGE] [--unswap] [--save-delay MS]\n"
    "        [--clear-method METHOD] [--clear]\n"
    "      edits IMAGE.faults (count -1 = every call); with no option prints it\n"
    "  renvora-softcard register --image IMAGE [--plugin SO] [--classes-root DIR]\n"
    "      registers the plugin under the card control's CLSID with IMAGE inserted (default: the\n"
    "      user's ~/.renvora/classes, which comes before the system's /etc/renvora/classes)\n"
    "  renvora-softcard --help | --version\n";

// GBK texts of the core, printed on a UTF-8 terminal.
std::string U(const std::string& gbk) {
    return rv::cp::GbkToUtf8(gbk);
}

int Fail(const std::string& utf8) {
    std::fprintf(stderr, "renvora-softcard: %s\n", utf8.c_str());
    return 1;
}

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options; // "--x" -> value ("" for flags)
    std::vector<std::string> order;             // option names in the order given
};

const char* const kFlags[] = {"--force", "--unswap", "--clear"};

bool IsFlag(const std::string& name) {
    for (const char* f : kFlags) {
        if (name == f) {
            return true;
        }
    }
    return false;
}

bool Parse(int argc, char** argv, int from, Args& out, std::string& error) {
    for (int i = from; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) == 0) {
            if (IsFlag(a)) {
                out.options[a] = "";
            } else if (i + 1 < argc) {
                out.options[a] = argv[++i];
            } else {
                error = "option " + a + " needs a value";
                return false;
            }
            out.order.push_back(a);
        } else {
            out.positional.push_back(a);
        }
    }
    return true;
}

bool ToInt(const std::string& s, int& out) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end || errno || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

std::string Opt(const Args& a, const std::string& name, const std::string& def = "") {
    auto it = a.options.find(name);
    return it == a.options.end() ? def : it->second;
}

bool Only(const Args& a, std::initializer_list<const char*> allowed, std::string& error) {
    for (const auto& [name, value] : a.options) {
        bool ok = false;
        for (const char* n : allowed) {
            ok = ok || name == n;
        }
        if (!ok) {
            error = "unknown option " + name;
            return false;
        }
    }
    return true;
}

// Secrets never come from the command line, which every local user can read in /proc: exit status 2
// with the ways that are taken.
bool SecretsOnTheCommandLine(const Args& a) {
    if (!a.options.count("--pin") && !a.options.count("--manage-password")) {
        return false;
    }
    std::fprintf(stderr,
                 "renvora-softcard: the PIN and the management password are not taken from the command "
                 "line, which every local user can read; use --pin-file and --manage-password-file (a "
                 "file, or - for standard input) or RENVORA_SOFTCARD_PIN and "
                 "RENVORA_SOFTCARD_MANAGE_PASSWORD\n");
    return true;
}

// The first line of --NAME-file ("-": standard input), else the environment variable. False with the
// reason in `error` when neither gives one.
bool Secret(const Args& a, const char* option, const char* variable, const char* what, std::string& out,
            std::string& error) {
    if (a.options.count(option)) {
        const std::string file = Opt(a, option);
        FILE* in = file == "-" ? stdin : std::fopen(file.c_str(), "r");
        char line[1024];
        const bool read = in != nullptr && std::fgets(line, sizeof line, in) != nullptr;
        if (in != nullptr && in != stdin) {
            std::fclose(in);
        }
        if (!read) {
            error = std::string("cannot read the ") + what + " from " + file;
            return false;
        }
        out = line;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
            out.pop_back();
        }
    } else if (const char* env = std::getenv(variable); env != nullptr) {
        out = env;
    }
    if (out.empty()) {
        error = std::string("no ") + what + " given (" + option + " or " + variable + ")";
        return false;
    }
    return true;
}

int Create(const Args& a) {
    std::string error;
    if (SecretsOnTheCommandLine(a)) {
        return 2;
    }
    if (!Only(a,
              {"--pin-file", "--manage-password-file", "--algo", "--days", "--cert-seq-no", "--name",
               "--id-type", "--id-number", "--field5", "--card-number", "--unit-name", "--unit-code",
               "--field9", "--ra-code", "--card-type", "--force"},
              error)) {
        return Fail(error);
    }
    if (a.positional.size() != 1) {
        return Fail("create needs exactly one IMAGE path");
    }
    fs::path image = a.positional[0];
    std::string pin, manage;
    if (!Secret(a, "--pin-file", "RENVORA_SOFTCARD_PIN", "PIN", pin, error) ||
        !Secret(a, "--manage-password-file", "RENVORA_SOFTCARD_MANAGE_PASSWORD", "management password",
                manage, error)) {
        return Fail(error);
    }
    int days = 365;
    if (a.options.count("--days") && !ToInt(Opt(a, "--days"), days)) {
        return Fail("--days needs a whole number");
    }
    std::error_code ec;
    if (fs::exists(image, ec) && !a.options.count("--force")) {
        return Fail(image.string() + " exists (use --force to replace it)");
    }
    HolderRecord h;
    h.certSeqNo = Opt(a, "--cert-seq-no");
    h.applicantName = Opt(a, "--name");
    h.idType = Opt(a, "--id-type");
    h.idNumber = Opt(a, "--id-number");
    h.field5 = Opt(a, "--field5");
    h.cardNumber = Opt(a, "--card-number");
    h.unitName = Opt(a, "--unit-name");
    h.unitCode = Opt(a, "--unit-code");
    h.field9 = Opt(a, "--field9");
    h.raCode = Opt(a, "--ra-code");
    h.cardType = Opt(a, "--card-type", kLegalPersonCardType);

    std::string key = GenerateSm2KeyPem(&error);
    if (key.empty()) {
        return Fail(U(error));
    }
    std::string cn = h.applicantName.empty() ? std::string("Renvora card") : h.applicantName;
    std::string cert = MakeSelfSignedCert(key, cn, h.unitName, days, &error);
    if (cert.empty()) {
        return Fail(U(error));
    }
    CardImage card;
    if (!NewCardImage(h, pin, manage, Opt(a, "--algo", kDefaultCryptAlgo), key, cert, card, error) ||
        !SaveCardImage(image, card, error)) {
        return Fail(U(error));
    }
    std::printf("created %s\n", image.string().c_str());
    return 0;
}

int Show(const Args& a) {
    if (a.positional.size() != 1 || !a.options.empty()) {
        return Fail("show needs exactly one IMAGE path");
    }
    CardImage card;
    std::string error;
    if (!LoadCardImage(a.positional[0], card, error)) {
        return Fail(U(error));
    }
    const HolderRecord& h = card.holder;
    const std::pair<const char*, const std::string*> rows[] = {
        {"1  cert seq no", &h.certSeqNo}, {"2  applicant name", &h.applicantName},
        {"3  id type", &h.idType},        {"4  id number", &h.idNumber},
        {"5  field 5", &h.field5},        {"6  card number", &h.cardNumber},
        {"7  unit name", &h.unitName},    {"8  unit code", &h.unitCode},
        {"9  field 9", &h.field9},        {"10 RA code", &h.raCode},
        {"11 card type", &h.cardType},
    };
    for (const auto& [label, value] : rows) {
        std::printf("%-18s %s\n", label, value->c_str());
    }
    std::string from, to;
    if (CertValidity(card.signCertPem, from, to)) {
        std::printf("%-18s %s\n%-18s %s\n", "12 valid from", from.c_str(), "13 valid to", to.c_str());
    } else {
        std::printf("%-18s (unreadable certificate)\n", "12/13 validity");
    }
    std::printf("%-18s %s\n", "crypt algo", card.cryptAlgo.c_str());
    if (card.PinLocked()) {
        std::printf("%-18s locked after %d wrong tries\n", "PIN", card.pin.wrongTries);
    } else {
        std::printf("%-18s %d tries left\n", "PIN", card.PinTriesLeft());
    }
    std::printf("%-18s %s\n", "pending key pair", card.pendingKeyPem.empty() ? "no" : "yes");
    std::printf("%-18s %s\n", "written set", card.written.signCert.empty() ? "none" : "present");
    std::printf("signing public key:\n%s", PublicKeyPemOfCert(card.signCertPem).c_str());
    FaultPlan plan;
    if (LoadFaultPlan(FaultFileFor(a.positional[0]), plan, error) && !plan.Empty()) {
        std::printf("faults:\n%s", FaultPlanToJson(plan).c_str());
    }
    return 0;
}

int SetPinCommand(const Args& a) {
    std::string error;
    if (SecretsOnTheCommandLine(a)) {
        return 2;
    }
    if (!Only(a, {"--pin-file"}, error)) {
        return Fail(error);
    }
    if (a.positional.size() != 1) {
        return Fail("set-pin needs IMAGE");
    }
    std::string pin;
    if (!Secret(a, "--pin-file", "RENVORA_SOFTCARD_PIN", "PIN", pin, error)) {
        return Fail(error);
    }
    CardImage card;
    if (!LoadCardImage(a.positional[0], card, error) || !SetPin(card, pin, error) ||
        !SaveCardImage(a.positional[0], card, error)) {
        return Fail(U(error));
    }
    std::printf("PIN set, card unlocked\n");
    return 0;
}

int Fault(const Args& a) {
    std::string error;
    if (!Only(a,
              {"--fail", "--count", "--status", "--message", "--delay", "--ms", "--swap", "--unswap",
               "--save-delay", "--clear-method", "--clear"},
              error)) {
        return Fail(error);
    }
    if (a.positional.size() != 1) {
        return Fail("fault needs exactly one IMAGE path");
    }
    fs::path file = FaultFileFor(a.positional[0]);
    FaultPlan plan;
    if (!LoadFaultPlan(file, plan, error)) {
        // A broken plan is replaced only when asked to clear it.
        if (!a.options.count("--clear")) {
            return Fail(U(error) + " (use --clear)");
        }
    }
    if (a.options.empty()) {
        std::printf("%s", FaultPlanToJson(plan).c_str());
        return 0;
    }
    if (a.options.count("--clear")) {
        plan = FaultPlan{};
    }
    if (a.options.count("--clear-method")) {
        plan.methods.erase(Opt(a, "--clear-method"));
    }
    if (a.options.count("--fail")) {
        MethodFault& f = plan.methods[Opt(a, "--fail")];
        f.fail = 1;
        f.status = kDefaultFaultStatus;
        if ((a.options.count("--count") && !ToInt(Opt(a, "--count"), f.fail)) || f.fail < -1) {
            return Fail("--count needs a whole number (-1 = every call)");
        }
        if (a.options.count("--status") && !ToInt(Opt(a, "--status"), f.status)) {
            return Fail("--status needs a whole number");
        }
        f.message = Opt(a, "--message");
    }
    if (a.options.count("--delay")) {
        int ms = 0;
        if (!ToInt(Opt(a, "--ms"), ms) || ms < 0 || ms > kMaxFaultDelayMs) {
            return Fail("--ms needs a number of milliseconds up to " + std::to_string(kMaxFaultDelayMs));
        }
        plan.methods[Opt(a, "--delay")].delayMs = ms;
    }
    if (a.options.count("--swap")) {
        plan.swapImage = Opt(a, "--swap");
    }
    if (a.options.count("--unswap")) {
        plan.swapImage.clear();
    }
    if (a.options.count("--save-delay")) {
        int ms = 0;
        if (!ToInt(Opt(a, "--save-delay"), ms) || ms < 0 || ms > kMaxFaultDelayMs) {
            return Fail("--save-delay needs a number of milliseconds up to " +
                        std::to_string(kMaxFaultDelayMs));
        }
        plan.saveDelayMs = ms;
    }
    // Drop entries that no longer do anything.
    for (auto it = plan.methods.begin(); it != plan.methods.end();) {
        it = it->second.fail == 0 && it->second.delayMs == 0 ? plan.methods.erase(it) : std::next(it);
    }
    if (!SaveFaultPlan(file, plan, error)) {
        return Fail(U(error));
    }
    std::printf("%s", FaultPlanToJson(plan).c_str());
    return 0;
}

// Beside the tool in a build tree; the private library folder when installed.
fs::path DefaultPluginPath() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && fs::exists(self.parent_path() / "softcard.so", ec)) {
        return self.parent_path() / "softcard.so";
    }
#ifdef RENVORA_PLUGIN_DIR
    return fs::path(RENVORA_PLUGIN_DIR) / "softcard.so";
#else
    return "softcard.so";
#endif
}

fs::path DefaultClassesRoot() {
    if (const char* r = std::getenv("RENVORA_CLASSES_ROOT"); r && *r) {
        return r;
    }
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : ".") / ".renvora" / "classes";
}

int Register(const Args& a) {
    std::string error;
    if (!Only(a, {"--image", "--plugin", "--classes-root"}, error)) {
        return Fail(error);
    }
    if (!a.positional.empty() || Opt(a, "--image").empty()) {
        return Fail("register needs --image IMAGE");
    }
    std::error_code ec;
    fs::path image = fs::absolute(Opt(a, "--image"), ec);
    fs::path plugin = fs::absolute(Opt(a, "--plugin", DefaultPluginPath().string()), ec);
    fs::path root = Opt(a, "--classes-root", DefaultClassesRoot().string());
    if (!fs::exists(plugin, ec)) {
        return Fail("plugin " + plugin.string() + " not found (use --plugin)");
    }
    try {
        rv::reg::RegisterControl(root, rv::kCardControlClsid, "Renvora software card", plugin.string());
        rv::reg::WriteValue(root, rv::kCardControlKey, "CardImage", image.string());
    } catch (const std::exception& e) {
        return Fail(std::string("cannot write the registration: ") + e.what());
    }
    std::printf("registered %s with card image %s under %s\n", plugin.c_str(), image.c_str(), root.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string cmd = argv[1];
    Args args;
    std::string error;
    if (!Parse(argc, argv, 2, args, error)) {
        return Fail(error);
    }
    if (cmd == "create") {
        return Create(args);
    }
    if (cmd == "show") {
        return Show(args);
    }
    if (cmd == "set-pin") {
        return SetPinCommand(args);
    }
    if (cmd == "fault") {
        return Fault(args);
    }
    if (cmd == "register") {
        return Register(args);
    }
    if (cmd == "--version") {
        std::printf("renvora-softcard %s\n", RENVORA_VERSION);
        return 0;
    }
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
