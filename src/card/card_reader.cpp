// Placeholder until the card information reader lands.
#include "renewal/main_window_model.h"
namespace rv {
int MainWindowModel::ReadCardInfo() {
    return -1;
}
} // namespace rv
