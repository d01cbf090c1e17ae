// Creating an object by class identifier, as COM's in-process servers are found: look up the class's
// InprocServer32 library in the registry stand-in, load it and find its exported factory. What the
// factory makes and how it is called is its caller's business (card/ for the card control). Loaded
// libraries stay loaded for the life of the process.
#pragma once

#include <string>

namespace rv {

// The address of `factorySymbol` in the library registered for `clsid`, or nullptr with a reason (for
// logs and tests) in `whyNot`.
void* FindClassFactory(const std::string& clsid, const char* factorySymbol, std::string* whyNot = nullptr);

} // namespace rv
