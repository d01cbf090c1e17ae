// Placeholder until the verification step lands.
#include "renewal/main_window_model.h"
namespace rv {
int MainWindowModel::VerifyIdentity() {
    return -1;
}
} // namespace rv
