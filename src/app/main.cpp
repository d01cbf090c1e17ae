// Entry point: --help and --version need no display, everything else does; then the application
// object's InitInstance runs the client (in the user's own folder for a menu launch).
#include "app/CRenvoraApp.h"
#include "app/launch.h"
#include "app/unattended.h"
#include "desktop/desktop_notifier.h"
#include "platform/message_box.h"
#include "platform/qt/message_box_qt.h"

#include <QApplication>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

// Messages of Qt's that say nothing to a user of this client: the offscreen platform's remarks on what
// it does not support, and the runtime folder remark (main gives the client a private one instead).
bool Harmless(const QString& msg) {
    static const char* const kHarmless[] = {
        "This plugin does not support",
        "QStandardPaths: XDG_RUNTIME_DIR not set",
        "QStandardPaths: runtime directory",
    };
    for (const char* h : kHarmless) {
        if (msg.startsWith(QLatin1String(h))) {
            return true;
        }
    }
    return false;
}

void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    if (type == QtDebugMsg || type == QtInfoMsg || (type == QtWarningMsg && Harmless(msg))) {
        return;
    }

    const char* category =
        context.category && std::strcmp(context.category, "default") != 0 ? context.category : nullptr;
    std::fprintf(stderr, "renvora: %s%s%s\n", category ? category : "", category ? ": " : "",
                 msg.toLocal8Bit().constData());
    if (type == QtFatalMsg) {
        std::abort();
    }
}

// Qt wants a private runtime folder ($XDG_RUNTIME_DIR); a session without one (a plain su, ssh, CI) gets
// one per user, $TMPDIR/renvora-runtime-UID (mode 0700), made once and used by every later run, so that
// nothing is left behind per run, also when a run ends abnormally. A folder of that name that is not the
// user's own private folder (another owner, a link, not a folder) is not used.
void UsePrivateRuntimeFolder() {
    if (Set("XDG_RUNTIME_DIR")) {
        return;
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string path =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/renvora-runtime-" + std::to_string(::getuid());
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return; // Qt falls back to a folder of its own
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        std::fprintf(stderr, "renvora: %s is not a folder of this user's; not used\n", path.c_str());
        return;
    }
    if ((st.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
        return;
    }
    ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
}

// Platforms that are kept when asked for: the offscreen one of the tests and the unattended demo, and
// Qt's minimal one.
bool KeptAsAsked(const char* platform) {
    const std::string first = std::string(platform).substr(0, std::string(platform).find(';'));
    return first == "offscreen" || first == "minimal";
}

// The client places its windows itself (the notice centred, the success box over the client area), and
// only X11 lets a program do that: on a Wayland desktop it runs through XWayland, whatever
// QT_QPA_PLATFORM or -platform asks for ("wayland" is often set for every program on sway or KDE). False
// when there is no X11 display; the person has been told.
bool ChoosePlatform(int argc, char** argv) {
    static char kXcb[] = "xcb";
    bool kept = Set("QT_QPA_PLATFORM") && KeptAsAsked(std::getenv("QT_QPA_PLATFORM"));
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            kept = KeptAsAsked(argv[i + 1]);
            if (!kept) {
                argv[i + 1] = kXcb;
            }
        }
    }
    if (kept) {
        return true;
    }
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (Set("DISPLAY")) {
        return true;
    }
    if (Set("WAYLAND_DISPLAY")) {
        // Started from a Wayland desktop's menu nobody reads stderr: a notification says it too.
        std::fprintf(stderr,
                     "renvora: this Wayland session offers no X11 display (XWayland); the client needs "
                     "one: install the package xwayland (and allow X11 programs in the desktop's "
                     "settings), then log in again\n");
        rv::desktop::NotifyWithoutWindow(
            argc, argv, "Renvora 无法启动",
            "本客户端需要 X11 显示（XWayland）。请安装软件包 xwayland（并在桌面设置中"
            "允许 X11 程序），然后重新登录。");
        return false;
    }
    std::fprintf(stderr,
                 "renvora: no display available (set DISPLAY, or run with QT_QPA_PLATFORM=offscreen)\n");
    return false;
}

// Static initialisation creates the application object, as the framework does.
rv::CRenvoraApp theApp;

} // namespace

int main(int argc, char** argv) {
    // The renewal reminder's daily check: no window, so no display needed (desktop/desktop_notifier.h).
    if (argc >= 2 && std::strcmp(argv[1], "--check-expiry") == 0) {
        return rv::desktop::RunCheckExpiry(argc, argv);
    }
    rv::LaunchOptions launch = rv::ParseLaunchOptions(argc, argv);
    if (launch.help || launch.version) {
        launch.help ? rv::PrintUsage() : rv::PrintVersion();
        return 0;
    }
    if (!launch.error.empty()) {
        std::fprintf(stderr, "renvora: %s (see --help)\n", launch.error.c_str());
        return 2;
    }
    if (!ChoosePlatform(argc, argv)) {
        return 2;
    }
    UsePrivateRuntimeFolder();
    qInstallMessageHandler(QuietMessages);
    QApplication app(argc, argv);
    // Qt has taken its own options out; anything else is a mistake, not a silent start.
    if (const std::string unknown = rv::UnknownArgument(argc, argv); !unknown.empty()) {
        std::fprintf(stderr, "renvora: unknown option %s (see --help)\n", unknown.c_str());
        return 2;
    }
    QGuiApplication::setDesktopFileName(QString::fromLatin1(rv::kDesktopFileName));
    // --unattended DIR: the demo's renewal without a person (app/unattended.h); exit 0 only when the
    // client announced a successful renewal.
    if (!launch.unattendedDir.empty()) {
        rv::UnattendedOptions options;
        // Taken before a desktop launch changes the working directory.
        options.shotsDir = std::filesystem::absolute(launch.unattendedDir);
        if (launch.desktop && !rv::EnterUserFolder()) {
            return 1;
        }
        if (const char* pin = std::getenv("RENVORA_UNATTENDED_PIN"); pin && *pin) {
            options.pin = pin;
        }
        if (const char* shots = std::getenv("RENVORA_UNATTENDED_SHOTS");
            shots && std::strcmp(shots, "0") == 0) {
            options.screenshots = false;
        }
        rv::UnattendedResult result = rv::RunUnattended(theApp, options);
        if (result.exitCode != 0) {
            std::fprintf(stderr, "unattended: %s\n", result.failure.c_str());
        }
        return result.exitCode;
    }
    rv::qt::QtMessageBox boxes;
    rv::MessageBoxGuard guard(boxes);
    if (launch.desktop && !rv::EnterUserFolder()) {
        return 1;
    }
    theApp.InitInstance();
    return 0;
}
