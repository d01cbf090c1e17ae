// The two key/value files of the client: "Config//conf.ini" (realmName, ip, port) and
// "C://Windows//time.ini" (MaxDay). Read on every use, never cached.
#pragma once

#include <cstdint>
#include <string>

namespace rv {

// Value of the first entry whose key equals `key`; "" when the file cannot be opened, the key is not
// found before the search ends, or the value is empty. Never shows a message.
std::string ReadConfigValue(const char* path, const char* key);
// The same for the settings dialog, except that a file that cannot be opened shows "打开文件失败！"
// and ends the process with exit status 1.
std::string ReadSettingsValue(const char* path, const char* key);
// Appends "key=value" and a line end to "Config/conf.ini"; "配置文件不存在！" when it cannot be opened.
// Always returns 0.
int32_t WriteConfigEntry(const std::string& key, const std::string& value);
// realmName from "Config//conf.ini" into `address`: 0, or -1 (address unchanged) when empty or missing.
int32_t GetServerAddress(std::string& address);
// MaxDay from "C://Windows//time.ini" by the atoi rules; 0 when missing.
int32_t ReadMaxDay();

} // namespace rv
