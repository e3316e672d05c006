// Speck filter and centroid over a segmented work image (byte 0 of a pixel
// equal to 255 is background, anything else foreground).
#pragma once

#include "tracking/camera_slot.h"

// Clears every non-border pixel with five or more background neighbours,
// in place and in scan order, passes times. Does nothing without a work image.
void removeSpecks(int slot, int passes);

// Mean position of the foreground pixels, border included, truncated toward
// zero; (0, 0) when there are none or the slot has no work image.
ImagePoint findCentroid(int slot);
