// The installer binary's board: the running kernel's flash information driver.
#include "installer/install_sequence.h"

namespace vl {

FlashDriver& boardFlashDriver() { return systemFlashDriver(); }

}  // namespace vl
