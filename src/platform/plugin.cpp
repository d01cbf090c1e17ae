#include "platform/plugin.h"

#include "platform/registry.h"

#include <dlfcn.h>

namespace rv {

RvDispatch* CreateControlByClsid(const std::string& clsid, std::string* whyNot) {
    auto fail = [&](const std::string& why) -> RvDispatch* {
        if (whyNot) {
            *whyNot = why;
        }
        return nullptr;
    };
    auto lib = reg::ReadValue("CLSID\\" + clsid + "\\InprocServer32");
    if (!lib || lib->empty()) {
        return fail("class " + clsid + " has no InprocServer32 library");
    }
    void* handle = dlopen(lib->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* err = dlerror();
        return fail(std::string("cannot load ") + *lib + ": " + (err ? err : "?"));
    }
    auto factory = reinterpret_cast<RvCreateControlFn>(dlsym(handle, RV_CONTROL_FACTORY_SYMBOL));
    if (!factory) {
        return fail(*lib + " exports no " RV_CONTROL_FACTORY_SYMBOL);
    }
    RvDispatch* control = factory(clsid.c_str());
    if (!control || !control->vtbl) {
        return fail(*lib + " did not create " + clsid);
    }
    return control;
}

} // namespace rv
