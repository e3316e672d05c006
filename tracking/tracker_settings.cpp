#include "tracking/tracker_settings.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr TrackerSettings kUnset = {0xFF0000, 60, {0.14f, 0.262f, 0.0f}, 0, {0.0f, 0.0f}};

struct NamedColour {
    const char* name;
    uint32_t colour;
};
constexpr NamedColour kNamedColours[] = {
    {"red", 0xFF0000},   {"orange", 0xFF8000}, {"yellow", 0xFFFF00},
    {"green", 0x00FF00}, {"blue", 0x0000FF},   {"magenta", 0xFF00FF},
};

}  // namespace

TrackerSettings trackerSettings = kUnset;

void resetTrackerSettings() { trackerSettings = kUnset; }

bool parseColourSetting(const std::string& text, uint32_t& colour) {
    if (text.size() == 7 && text[0] == '#') {
        uint32_t value = 0;
        for (size_t i = 1; i < 7; ++i) {
            if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
            value = value << 4 | uint32_t(std::strchr("0123456789abcdef", std::tolower(text[i])) - "0123456789abcdef");
        }
        colour = value;
        return true;
    }
    for (const NamedColour& named : kNamedColours) {
        if (text == named.name) {
            colour = named.colour;
            return true;
        }
    }
    return false;
}

bool parseDecimalSetting(const std::string& text, double& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

std::vector<std::string> splitSetting(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}
