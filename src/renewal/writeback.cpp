// Placeholder until the write-back lands.
#include "renewal/main_window_model.h"
namespace rv {
void MainWindowModel::WriteBack(std::string, std::string, std::string, std::string, std::string,
                                std::string) {}
} // namespace rv
