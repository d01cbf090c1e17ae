// Placeholder until the network test lands.
#include "renewal/main_window_model.h"
namespace rv {
void MainWindowModel::NetworkTest() {}
} // namespace rv
