#include "platform/client_strings.h"

namespace rv {

namespace {
ClientStrings g_strings;
}

ClientStrings& Client() {
    return g_strings;
}

void ResetClientStrings() {
    g_strings = ClientStrings{};
}

} // namespace rv
