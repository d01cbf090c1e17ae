// A directory tree in place of HKEY_CLASSES_ROOT.
// A key is a directory; its default value is the file "@" in it, a named value N the file "@N".
// Like HKEY_CLASSES_ROOT, which merges the user's classes over the machine's, a key is looked up in
// $RENVORA_CLASSES_ROOT when that is set, else in ~/.renvora/classes and then /etc/renvora/classes.
// As in the registry, key and value names compare without case, and a key whose default value was never
// set reads as an empty default value.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace rv::reg {

inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;
inline constexpr long kErrorMoreData = 234;

std::vector<std::filesystem::path> Roots();

// RegQueryValueA: reads the default value of `subKey` into `buffer` of `*size` bytes (zero-terminated).
// A value that does not fit, terminator included, gives kErrorMoreData; a missing key or value
// kErrorFileNotFound. `*size` receives the bytes needed including the terminator.
long RegQueryValueA(const char* subKey, char* buffer, long* size);

// The value `name` ("" for the default value) of `subKey`, from the first root that has the key.
std::optional<std::string> ReadValue(const std::string& subKey, const std::string& name = "");

// Writes a value under `root` (install, demo and test set-up); creates the key's directories.
void WriteValue(const std::filesystem::path& root, const std::string& subKey, const std::string& name,
                const std::string& value);

// Registers a control: CLSID\{clsid} default value `description`, InprocServer32 default `libraryPath`.
void RegisterControl(const std::filesystem::path& root, const std::string& clsid,
                     const std::string& description, const std::string& libraryPath);

} // namespace rv::reg
