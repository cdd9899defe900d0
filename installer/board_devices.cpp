// The installer binary's board: the running kernel's devices.
#include "installer/install_sequence.h"

namespace vl {

DeviceIo& boardDevices() { return systemDeviceIo(); }

}  // namespace vl
