// Distance to the target by pinhole stereo triangulation of the averaged
// target positions of the two cameras.
#pragma once

// Distance in the unit of the camera baseline (metres), or -1.0 when there is
// no estimate: a camera without a target, or no disparity.
float estimateDistance();
