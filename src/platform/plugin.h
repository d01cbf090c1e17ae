// Creating a control by class identifier: look up its InprocServer32 library in the registry stand-in,
// load it and call its one exported factory. Loaded libraries stay loaded for the life of the process.
#pragma once

#include "card/dispatch.h"

#include <string>

namespace rv {

// Returns the new control, or nullptr with a reason (for logs and tests) in `whyNot`.
RvDispatch* CreateControlByClsid(const std::string& clsid, std::string* whyNot = nullptr);

} // namespace rv
