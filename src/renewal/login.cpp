// Placeholder until the login flow lands.
#include "renewal/main_window_model.h"
namespace rv {
void MainWindowModel::LoginFlow() {}
void MainWindowModel::OnCommand32793() {}
} // namespace rv
