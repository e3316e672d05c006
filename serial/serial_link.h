// The serial report link on COM1: 9600 baud, 8 data bits, no parity, one stop bit.
#pragma once

#include <cstdint>

// Opens and configures COM1 once at start-up; failures are shown to the user
// and leave the link without a port (or with its previous line settings).
// Called again while a port is open, it gives that port back first.
void openSerialLink();

// Writes " a b c d" to the port; does nothing while no port is open. A line
// that is held (flow control, a stuck adapter) costs one wait of half a
// second; reports are then skipped, or tried briefly, until it takes data
// again. What reaches the far end is always whole reports.
void sendReport(int32_t a, int32_t b, int32_t c, int32_t d);

// Gives the port back and leaves the link without one, so that the device
// can be opened again (the port is opened exclusively). The running program
// keeps its port to the end; this is for an orderly exit and for tests.
void closeSerialLink();
