// A card control that forwards every call to the plugin named by RENVORA_TIMED_PLUGIN and appends each
// method call to RENVORA_CARD_TIMES as "DISPID START_NS END_NS" (CLOCK_MONOTONIC): where a renewal's
// time goes, per card method, without touching the client or the plugins.
#include "card/dispatch.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

struct Timed {
    RvDispatch base;
    RvDispatch* inner;
};

RvDispatch* Inner(RvDispatch* self) {
    return reinterpret_cast<Timed*>(self)->inner;
}

long long NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int Invoke(RvDispatch* self, int dispid) {
    const long long start = NowNs();
    const int rc = Inner(self)->vtbl->Invoke(Inner(self), dispid);
    const long long end = NowNs();
    if (const char* file = std::getenv("RENVORA_CARD_TIMES")) {
        if (FILE* f = std::fopen(file, "a")) {
            std::fprintf(f, "%d %lld %lld\n", dispid, start, end);
            std::fclose(f);
        }
    }
    return rc;
}
int GetInt(RvDispatch* self, int dispid, int32_t* value) {
    return Inner(self)->vtbl->GetInt(Inner(self), dispid, value);
}
int GetString(RvDispatch* self, int dispid, const char** data, size_t* length) {
    return Inner(self)->vtbl->GetString(Inner(self), dispid, data, length);
}
int SetString(RvDispatch* self, int dispid, const char* data, size_t length) {
    return Inner(self)->vtbl->SetString(Inner(self), dispid, data, length);
}
void Release(RvDispatch* self) {
    Inner(self)->vtbl->Release(Inner(self));
    delete reinterpret_cast<Timed*>(self);
}

const RvDispatchVtbl kVtbl = {Invoke, GetInt, GetString, SetString, Release};

} // namespace

extern "C" __attribute__((visibility("default"))) RvDispatch* RenvoraCreateControl(const char* clsid) {
    const char* plugin = std::getenv("RENVORA_TIMED_PLUGIN");
    void* lib = plugin ? ::dlopen(plugin, RTLD_NOW | RTLD_LOCAL) : nullptr;
    auto create =
        lib ? reinterpret_cast<RvCreateControlFn>(::dlsym(lib, RV_CONTROL_FACTORY_SYMBOL)) : nullptr;
    RvDispatch* inner = create ? create(clsid) : nullptr;
    if (!inner) {
        return nullptr;
    }
    return &(new Timed{{&kVtbl}, inner})->base;
}
