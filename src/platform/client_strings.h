// The few client-wide strings of the client, behind one owner: the server random, the last error text
// of the card control, and the settings file path. Everything else lives in the objects that use it.
#pragma once

#include <string>

namespace rv {

struct ClientStrings {
    std::string serverRandom;
    std::string lastError;
    std::string confIniName = "/conf.ini"; // kept for fidelity; nothing reads it
    std::string settingsPath = "Config/conf.ini";
};

ClientStrings& Client();
// Back to the start-up values (tests).
void ResetClientStrings();

} // namespace rv
