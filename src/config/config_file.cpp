// Placeholder until the configuration files land.
#include "config/config_file.h"
namespace rv {
std::string ReadConfigValue(const char*, const char*) {
    return {};
}
std::string ReadSettingsValue(const char*, const char*) {
    return {};
}
int32_t WriteConfigEntry(const std::string&, const std::string&) {
    return 0;
}
int32_t GetServerAddress(std::string&) {
    return -1;
}
int32_t ReadMaxDay() {
    return 0;
}
} // namespace rv
