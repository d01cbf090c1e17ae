// The file work of the settings dialog, kept apart from its widgets: making sure "Config/" and
// conf.ini exist, reading the stored address and port, and storing new ones.
#pragma once

#include <array>
#include <string>

namespace rv {

struct StoredSettings {
    std::string ip;   // "" when there is no ip entry
    std::string port; // "" when there is no port entry
};

// The file steps of the dialog's initialisation: creates "Config/" when it is missing
// ("创建配置文件目录失败！" when that fails), creates conf.ini when it is missing ("配置文件不存在！" when it
// cannot be opened), then reads ip and port with ReadSettingsValue, which ends the process with status 1 when
// conf.ini cannot be read. A first run therefore shows nothing and returns two empty texts.
StoredSettings PrepareSettingsFiles();

enum class StoreResult {
    PortRefused, // out of range or not a number: the caller clears the port field; nothing was written
    Stored,      // both entries are in conf.ini and read back as given
    Failed,      // a failure message was shown (empty port, or conf.ini could not be written)
};

// "%d.%d.%d.%d" of the four fields of the IP address control (a blank field is 0).
std::string FormatIpAddress(const std::array<int, 4>& fields);

// The store button. Checks the port, rewrites conf.ini without its ip and port entries (atomically:
// temporary file, fsync, rename; every other line kept in place byte for byte), appends ip and port with
// WriteConfigEntry and reports the outcome. realmName is never derived from the address or port.
StoreResult StoreSettings(const std::array<int, 4>& ipFields, const std::string& portText);

} // namespace rv
