#include "platform/plugin.h"

#include "platform/registry.h"

#include <dlfcn.h>

namespace rv {

void* FindClassFactory(const std::string& clsid, const char* factorySymbol, std::string* whyNot) {
    auto fail = [&](const std::string& why) -> void* {
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
    void* factory = dlsym(handle, factorySymbol);
    if (!factory) {
        return fail(*lib + " exports no " + factorySymbol);
    }
    return factory;
}

} // namespace rv
