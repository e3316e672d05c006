// Distance to the target by pinhole stereo triangulation of the averaged
// target positions of the two cameras, on the rig of trackerSettings.
#pragma once

// Distance in the unit of the camera spacing (metres), or -1.0 when there is
// no estimate: a camera without a target, or no disparity beyond the rig's
// own offset.
float estimateDistance();
