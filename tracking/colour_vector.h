// Colour vectors as the segmentation compares them: three floats, each a
// pixel byte scaled to 0..1. Used by the segmentation and by the colour
// table behind it.
#pragma once

// Scales a colour vector to unit length in place, unless it is so dark
// (length 0.15 or less) that its direction means nothing.
void normaliseColour(float& c0, float& c1, float& c2);
