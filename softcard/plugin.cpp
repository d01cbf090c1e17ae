// The software card as a card control plugin: the one exported factory hands out SoftCardControl
// objects behind the C dispatch interface.
#include "card/dispatch_adapter.h"
#include "core/card_control.h"

extern "C" __attribute__((visibility("default"))) RvDispatch* RenvoraCreateControl(const char* clsid) {
    if (!rv::card::ClsidMatches(clsid, rv::kCardControlClsid)) {
        return nullptr;
    }
    return rv::card::DispatchAdapter<rv::softcard::SoftCardControl>::Create();
}
