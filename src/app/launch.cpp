#include "app/launch.h"

#include "config/user_folder.h"
#include "platform/codepage.h"
#include "platform/message_box.h"
#include "platform/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#ifndef RENVORA_VERSION
#define RENVORA_VERSION "unknown"
#endif

namespace rv {
namespace {

// GBK, like every text of the client; printed as UTF-8.
constexpr const char* kUsage =
    "用法：renvora [--desktop] [Qt选项]\n"
    "      renvora --unattended 截图文件夹\n"
    "      renvora --check-expiry [--forget IC卡号]\n"
    "      renvora --help | --version\n"
    "\n"
    "法人卡证书延期客户端。插入IC卡后启动，输入口令，按“法人卡延期”。\n"
    "\n"
    "  --desktop          在用户文件夹 $XDG_DATA_HOME/renvora（默认 ~/.local/share/renvora）中运行；\n"
    "                     首次启动时从 /etc/renvora 的模板创建 Config/conf.ini 与 time.ini；\n"
    "                     用户未改动的副本随模板更新。\n"
    "                     菜单中的“Renvora”即以此方式启动。\n"
    "  --unattended 文件夹  无人值守完成一次延期（演示与测试用），每个窗口存为PNG；\n"
    "                     口令取自 RENVORA_UNATTENDED_PIN。\n"
    "  --check-expiry     不开窗口、不读卡：登录过的IC卡证书临近到期或已过期时发出桌面提醒\n"
    "                     （每卡每天一次），并在终端列出应当延期、已过期的IC卡；\n"
    "                     退出码 0 无需延期，10 应当延期，11 已过期。由用户定时器每天运行。\n"
    "    --forget IC卡号  不再提醒这张IC卡（不再使用的卡）。\n"
    "  --help             显示本帮助。\n"
    "  --version          显示版本。\n"
    "\n"
    "不带 --desktop 时，客户端读取当前目录下的 Config/conf.ini。\n"
    "环境变量：RENVORA_DRIVE_C（C盘根目录，time.ini 所在），RENVORA_CLASSES_ROOT（控件注册），\n"
    "RENVORA_CARD_IMAGE（软件卡的卡文件）。详见 renvora(1)。\n";

} // namespace

std::string UnknownArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--unattended") == 0) {
            ++i; // its folder
        } else if (std::strcmp(a, "--help") != 0 && std::strcmp(a, "-h") != 0 &&
                   std::strcmp(a, "--version") != 0 && std::strcmp(a, "--desktop") != 0) {
            return a;
        }
    }
    return {};
}

LaunchOptions ParseLaunchOptions(int argc, char** argv) {
    LaunchOptions o;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            o.help = true;
        } else if (std::strcmp(a, "--version") == 0) {
            o.version = true;
        } else if (std::strcmp(a, "--desktop") == 0) {
            o.desktop = true;
        } else if (std::strcmp(a, "--unattended") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                o.error = "--unattended needs a folder for the screenshots";
                return o;
            }
            o.unattendedDir = argv[++i];
        }
    }
    return o;
}

void PrintUsage() {
    std::fputs(cp::GbkToUtf8(kUsage).c_str(), stdout);
}

void PrintVersion() {
    std::printf("renvora %s\n", RENVORA_VERSION);
}

bool EnterUserFolder() {
    std::filesystem::path drive;
    if (const char* d = std::getenv("RENVORA_DRIVE_C"); d && *d) {
        drive = d;
    }
    config::UserFolder folder;
    std::string message;
    if (!config::PrepareUserFolder(paths::kSystemDir, config::DefaultUserFolder(), drive, folder, message)) {
        std::fprintf(stderr, "renvora: %s\n", cp::GbkToUtf8(message).c_str());
        ShowNotice(message);
        return false;
    }
    if (!folder.warning.empty()) {
        std::fprintf(stderr, "renvora: %s\n", folder.warning.c_str());
    }
    if (::chdir(folder.folder.c_str()) != 0) {
        // strerror speaks the locale's encoding, UTF-8 on this system.
        std::string why = std::strerror(errno);
        std::fprintf(stderr, "renvora: cannot enter %s: %s\n", folder.folder.c_str(), why.c_str());
        ShowNotice("无法进入用户文件夹" + cp::Utf8ToGbk(folder.folder.string()) + "（" + cp::Utf8ToGbk(why) +
                   "）！");
        return false;
    }
    ::setenv("RENVORA_DRIVE_C", folder.driveC.c_str(), 1);
    return true;
}

} // namespace rv
