// Drawing of one camera slot: picture, mask or overlay, and the target marker.
#pragma once

#include "platform/win32.h"

// Draws the slot with its top-left corner at (xOrigin, yOrigin) in the view
// mode (0 picture, 1 mask, 2 picture with the mask's foreground in white),
// then a 6x6 green square at the slot's latest target position.
void drawCameraView(HDC hdc, int xOrigin, int yOrigin, int slot, int viewMode);
