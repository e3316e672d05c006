#include "tracking/colour_vector.h"

#include <cmath>

void normaliseColour(float& c0, float& c1, float& c2) {
    const double d0 = c0, d1 = c1, d2 = c2;
    const float sumOfSquares = float(d0 * d0 + d1 * d1 + d2 * d2);
    const float length = float(std::sqrt(double(sumOfSquares)));
    if (length > 0.15f) {
        c0 = float(d0 / length);
        c1 = float(d1 / length);
        c2 = float(d2 / length);
    }
}
