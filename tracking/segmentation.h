// Colour-distance segmentation: turns a slot's work image into a target mask.
#pragma once

#include <cstdint>

#include "tracking/colour_vector.h"  // normaliseColour

// Compares every pixel's colour direction with the reference colour (bits
// 0-7, 8-15, 16-23 against pixel bytes 0, 1, 2) and writes the scaled
// distance as a grey level, or 255 where it exceeds the tracker's threshold.
// Does nothing while the slot has no work image.
void segmentByColour(int slot, uint32_t reference);
