// The serial report link on COM1: 9600 baud, 8 data bits, no parity, one stop bit.
#pragma once

#include <cstdint>

// Opens and configures COM1 once at start-up; failures are shown to the user
// and leave the link without a port (or with its previous line settings).
void openSerialLink();

// Writes " a b c d" to the port; does nothing while no port is open.
void sendReport(int32_t a, int32_t b, int32_t c, int32_t d);
