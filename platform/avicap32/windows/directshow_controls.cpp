// A DirectShow camera's exposure and white balance (directshow_graph.h).
// Wine 8 has no IAMCameraControl on its capture filter, and its
// IAMVideoProcAmp knows no white balance: such a camera is said to lack the
// controls, and runs on as it is.
#include <cmath>

#include "platform/avicap32/windows/directshow_graph.h"

namespace standin {
namespace directshow {

namespace {

// Both interfaces have the same shape: GetRange, Get, Set with a flag.
template <class Interface>
CameraControl controlOf(Interface* source, const char* name, long property, long autoFlag, long manualFlag,
                        bool log2Seconds) {
    CameraControl control;
    control.name = name;
    long min = 0, max = 0, step = 0, def = 0, caps = 0;
    if (source == nullptr || FAILED(source->GetRange(property, &min, &max, &step, &def, &caps)) || min > max)
        return control;
    // Milliseconds from the interface's unit, and back.
    auto toSetting = [log2Seconds](long v) { return log2Seconds ? 1000.0 * std::pow(2.0, double(v)) : double(v); };
    control.hasValue = (caps & manualFlag) != 0;
    control.hasAuto = (caps & autoFlag) != 0;
    control.min = toSetting(min);
    control.max = toSetting(max);
    control.setAuto = [source, property, autoFlag, def](bool on) {
        if (!on) return std::string();  // a value is set with the Manual flag, which turns it off
        long value = def, flags = 0;
        if (FAILED(source->Get(property, &value, &flags))) value = def;
        const HRESULT hr = source->Set(property, value, autoFlag);
        return SUCCEEDED(hr) ? std::string() : hex(hr);
    };
    control.setValue = [source, property, manualFlag, min, max, step, log2Seconds, toSetting](double& value) {
        const double raw = log2Seconds ? std::log2(value / 1000.0) : value;
        const long steps = step > 0 ? step : 1;
        long v = min + long(std::lround((raw - double(min)) / double(steps))) * steps;
        v = std::min(std::max(v, min), max);
        const HRESULT hr = source->Set(property, v, manualFlag);
        if (FAILED(hr)) return hex(hr);
        value = toSetting(v);
        return std::string();
    };
    return control;
}

}  // namespace

SettingsOutcome applyCameraSettings(IUnknown* filter, const CameraSettings& settings) {
    IAMCameraControl* camera = nullptr;
    IAMVideoProcAmp* amp = nullptr;
    if (filter != nullptr) {
        filter->QueryInterface(IID_IAMCameraControl, reinterpret_cast<void**>(&camera));
        filter->QueryInterface(IID_IAMVideoProcAmp, reinterpret_cast<void**>(&amp));
    }
    SettingsOutcome outcome;
    applyControl(settings.exposure,
                 controlOf(camera, "exposure", CameraControl_Exposure, CameraControl_Flags_Auto,
                           CameraControl_Flags_Manual, true),
                 outcome);
    applyControl(settings.whiteBalance,
                 controlOf(amp, "white balance", VideoProcAmp_WhiteBalance, VideoProcAmp_Flags_Auto,
                           VideoProcAmp_Flags_Manual, false),
                 outcome);
    release(camera);
    release(amp);
    return outcome;
}

}  // namespace directshow
}  // namespace standin
