// The Windows path strings of the client, mapped onto this system.
// Relative paths resolve against the working directory as on Windows; a drive path such as
// "C://Windows//time.ini" resolves under a drive root: $RENVORA_DRIVE_C (for C:), else ~/.renvora/drive_c.
// Other drive letters use $RENVORA_DRIVE_<letter> or ~/.renvora/drive_<letter>.
#pragma once

#include <filesystem>
#include <string>

namespace rv::paths {

// Every path string the client uses, spelled as the client spells it.
inline constexpr const char* kConfIniForLookup = "Config//conf.ini"; // server address lookup
inline constexpr const char* kConfIni = "Config/conf.ini";           // settings dialog, entry writer
inline constexpr const char* kConfigDir = "Config/";                 // settings dialog directory test
inline constexpr const char* kTimeIni = "C://Windows//time.ini";     // renewal-window limit

// The machine's side: system-wide class registrations (classes/) and the templates of a user's files.
inline constexpr const char* kSystemDir = "/etc/renvora";

std::filesystem::path DriveRoot(char letter);

// Maps a Windows-style path to a native one. Backslashes become slashes; repeated slashes are kept
// (the kernel reads them as one); "X:" at the start is replaced by the drive root.
std::string MapPath(const char* windowsPath);

} // namespace rv::paths
