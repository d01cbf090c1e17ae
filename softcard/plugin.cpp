// The software card as a card control plugin: the one exported factory hands out SoftCardControl
// objects behind the C dispatch interface.
#include "card/dispatch.h"
#include "card/dispids.h"
#include "core/card_control.h"

#include <cstring>
#include <new>
#include <strings.h>

namespace {

struct SoftCardDispatch : RvDispatch {
    rv::softcard::SoftCardControl control;
};

rv::softcard::SoftCardControl& Control(RvDispatch* self) {
    return static_cast<SoftCardDispatch*>(self)->control;
}

int Invoke(RvDispatch* self, int dispid) {
    return Control(self).Invoke(dispid);
}

int GetInt(RvDispatch* self, int dispid, int32_t* value) {
    if (!value) {
        return RV_DISP_WRONG_TYPE;
    }
    return Control(self).GetInt(dispid, *value);
}

int GetString(RvDispatch* self, int dispid, const char** data, size_t* length) {
    if (!data || !length) {
        return RV_DISP_WRONG_TYPE;
    }
    const std::string* text = nullptr;
    int rc = Control(self).GetString(dispid, text);
    if (rc == RV_DISP_OK) {
        *data = text->c_str();
        *length = text->size();
    }
    return rc;
}

int SetString(RvDispatch* self, int dispid, const char* data, size_t length) {
    return Control(self).SetString(dispid, data ? std::string(data, length) : std::string());
}

void Release(RvDispatch* self) {
    delete static_cast<SoftCardDispatch*>(self);
}

const RvDispatchVtbl kVtbl = {Invoke, GetInt, GetString, SetString, Release};

// Class identifiers compare without regard to case, with or without braces.
std::string Bare(const char* clsid) {
    std::string s = clsid ? clsid : "";
    if (s.size() >= 2 && s.front() == '{' && s.back() == '}') {
        s = s.substr(1, s.size() - 2);
    }
    return s;
}

} // namespace

extern "C" __attribute__((visibility("default"))) RvDispatch* RenvoraCreateControl(const char* clsid) {
    if (strcasecmp(Bare(clsid).c_str(), Bare(rv::kCardControlClsid).c_str()) != 0) {
        return nullptr;
    }
    auto* d = new (std::nothrow) SoftCardDispatch;
    if (!d) {
        return nullptr;
    }
    d->vtbl = &kVtbl;
    return d;
}
