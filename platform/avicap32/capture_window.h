// What the capture windows offer beyond the Windows API, for tests of the
// capture code.
#pragma once

namespace standin {

// What a camera of the rig does wrong from now on. Cameras are numbered by
// their place in the rig (0 is the one the first capture window to connect
// gets). Disappear is for good: the camera stays gone until
// resetCaptureDevices.
enum class CaptureFault {
    None,
    StopDelivering,  // grabs deliver nothing
    ShortFrame,      // frames carry only half the image's bytes
    OversizedFrame,  // frames claim (and really have) twice the image's bytes
    Disappear,       // the camera vanishes: grabs and connections fail
    NoMemory,        // a grab finds no memory for the frame (std::bad_alloc)
};
void injectCaptureFault(int camera, CaptureFault fault);

// Forgets the rig: closes its cameras, clears faults and the simulated clock,
// and reads KESTROVA_CAMERAS afresh on the next connection. Capture windows
// still alive are left without a camera.
void resetCaptureDevices();

}  // namespace standin
