// The port table's storage belongs to the host side of the driver. Static
// storage starts zeroed, so every slot is free before the first start_comm.
#include "ttywire.h"

PortEntry PortControl[TTYWIRE_PORTS];
