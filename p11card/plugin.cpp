// The token card as a card control plugin: the one exported factory hands out P11CardControl objects
// behind the C dispatch interface.
#include "card/dispatch_adapter.h"
#include "core/token_control.h"

extern "C" __attribute__((visibility("default"))) RvDispatch* RenvoraCreateControl(const char* clsid) {
    if (!rv::card::ClsidMatches(clsid, rv::kCardControlClsid)) {
        return nullptr;
    }
    return rv::card::DispatchAdapter<rv::p11card::P11CardControl>::Create();
}
