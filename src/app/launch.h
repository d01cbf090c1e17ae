// The client's command line, and the desktop launch that runs it in the user's own folder
// (config/user_folder.h). Parsing and --help/--version need no display.
#pragma once

#include <string>

namespace rv {

// The desktop entry's name; Wayland compositors match the window to its menu entry by it.
inline constexpr const char* kDesktopFileName = "org.renvora.Renvora";

struct LaunchOptions {
    bool help = false;
    bool version = false;
    bool desktop = false;      // --desktop: run in the per-user folder (the menu entry's way)
    std::string unattendedDir; // --unattended DIR
    std::string error;         // a usage error, UTF-8; the client then ends with status 2
};

// Recognises the client's own options; every other argument is left for Qt (-platform, -style, ...).
LaunchOptions ParseLaunchOptions(int argc, char** argv);

// The first argument that is neither the client's nor Qt's, once QApplication has taken Qt's own out
// of argv; "" when there is none.
std::string UnknownArgument(int argc, char** argv);

// Writes the usage text (UTF-8) or the version line to stdout.
void PrintUsage();
void PrintVersion();

// The desktop launch: prepares and locks the per-user folder, makes it the working directory and its
// drive root the client's. On failure the user is told (a message box, and the same text on stderr)
// and false is returned: the client then ends without a window.
bool EnterUserFolder();

} // namespace rv
