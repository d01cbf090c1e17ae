#include "platform/dialog_template.h"

#include <cstdint>

namespace rv::dlg {

int MulDiv(int a, int b, int c) {
    if (c == 0) {
        return -1;
    }
    int64_t p = static_cast<int64_t>(a) * b;
    bool negative = (p < 0) != (c < 0);
    uint64_t num = static_cast<uint64_t>(p < 0 ? -p : p);
    uint64_t den = static_cast<uint64_t>(c < 0 ? -static_cast<int64_t>(c) : c);
    uint64_t q = (num + den / 2) / den;
    return negative ? -static_cast<int>(q) : static_cast<int>(q);
}

} // namespace rv::dlg
