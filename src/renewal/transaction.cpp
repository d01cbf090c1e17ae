// Placeholder until the renewal transaction lands.
#include "renewal/main_window_model.h"
namespace rv {
void MainWindowModel::RenewalTransaction() {}
} // namespace rv
