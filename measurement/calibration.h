// Calibration of the rig from the target held still at one or two known
// distances (KESTROVA_CALIBRATE). It follows the averaged positions of the
// reports: a reading is taken when they hold still, within a pixel, for
// three reports in a row, the second at a disparity other than the first's.
// One reading gives the field of view (at the spacing and offset the rig
// has); two give the field of view and the disparity offset. The result
// replaces the rig of the distance estimate, and one line
// "KESTROVA_RIG=<spacing>,<field of view>,<offset>" goes to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Follows the report just made (the averaged points). Does nothing when no
// calibration was asked for or it has finished.
void followCalibration();

// The readout's line while a calibration was asked for: what to do next,
// and once it has finished the distance with the rig it found. False (and
// nothing written) when no calibration was asked for.
bool calibrationReadout(wchar_t* out, size_t size);

// The rig the calibration found, as the setting that gives it
// ("KESTROVA_RIG=..."); empty until it has finished.
const std::string& calibrationResult();

// Forgets every reading. The program never calls this; tests do.
void resetCalibration();
