// The driver modules of the boot image, loaded once at start in a fixed order: the flash
// information driver first (the board name and the release bound come from it), then
// the network path from connection tracking down to the MAC drivers, the LCD among them.
// A board loads all of them; a module for hardware it lacks is refused by the kernel,
// and one its image does not carry is passed over, both silently.
#include "installer/bring_up.h"
#include "installer/system.h"

namespace vl {
namespace {

struct DriverModule {
  const char* path;  // below "/lib/modules/<release>/"
  const char* parameters;
};

// Loaded first, each without parameters; the list ends with an empty entry.
constexpr DriverModule kFlashDrivers[] = {
    {"misc/flashinfo.ko", ""},  // "/dev/flash": board name, release bound, capabilities
    {"", ""},
};

constexpr DriverModule kDrivers[] = {
    {"kernel/net/netfilter/nf_conntrack.ko", ""},  // connection tracking
    {"drivers/net/packet_hook.ko", ""},            // packet hook
    {"drivers/net/ethphy.ko", ""},                 // Ethernet PHY support
    {"drivers/net/qt2025.ko", ""},                 // 10-gigabit PHY (AMCC QT2025)
    {"drivers/net/tlk10232.ko", ""},               // 10-gigabit PHY (TI TLK10232)
    {"drivers/net/switch_core.ko", ""},            // switch core
    {"drivers/net/sfp.ko", ""},                    // SFP modules
    {"drivers/net/ar8316.ko", "auto_enable=1"},    // Atheros switch chip
    {"drivers/net/ar8327.ko", "auto_enable=1"},    // Atheros AR8327 switch chip
    {"drivers/net/rtl8367.ko", ""},                // Realtek RTL8367 switch chip
    {"drivers/net/prestera.ko", "auto_enable=1"},  // Marvell Prestera switch MAC
    {"misc/prestera_pci.ko", ""},                  // PCI glue of the Prestera family
    {"drivers/net/sram.ko", ""},                   // SRAM support
    {"drivers/net/ip17xx.ko", ""},                 // IC Plus Ethernet chip
    {"misc/lcd.ko", ""},                           // "/dev/lcd"
    {"drivers/net/qca_switch_support.ko", ""},     // switch support of the QCA family
    {"drivers/net/qca_switch.ko", ""},             // switch driver of the QCA family
    {"drivers/net/ag7100.ko", ""},                 // Atheros AG7100 Ethernet MAC
    {"drivers/net/ag7240.ko", ""},                 // Atheros AG7240 Ethernet MAC
    {"drivers/net/ag934x.ko", ""},                 // gigabit Ethernet MAC of the family
    {"drivers/net/eth_extra.ko", ""},              // further Ethernet driver
};

}  // namespace

void loadDriverModules() {
  for (const DriverModule* m = kFlashDrivers; m->path[0] != '\0'; ++m) {
    (void)loadModule(m->path, m->parameters);
  }
  for (const DriverModule& m : kDrivers) (void)loadModule(m.path, m.parameters);
}

}  // namespace vl
