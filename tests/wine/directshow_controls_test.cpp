// The COM calls that set a DirectShow camera's exposure and white balance,
// told to a capture filter of the test's own that records them, and how a
// camera is known again (Windows suite, run under Wine).
#include <gtest/gtest.h>

#include <string>

#include "platform/avicap32/windows/directshow_graph.h"

namespace {

using standin::ControlSetting;

// Exposure 2^-11 to 2^-1 s (by default 2^-6), white balance 2800-6500 K in
// steps of 10 (by default 4600), both with Auto and Manual.
class FakeFilter : public IAMCameraControl, public IAMVideoProcAmp {
public:
    bool offers = true;  // false: E_NOINTERFACE, as Wine's capture filter for IAMCameraControl
    std::string calls;
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        *object = !offers ? nullptr
                  : iid == IID_IAMCameraControl ? static_cast<void*>(static_cast<IAMCameraControl*>(this))
                  : iid == IID_IAMVideoProcAmp  ? static_cast<void*>(static_cast<IAMVideoProcAmp*>(this))
                                                : nullptr;
        return *object != nullptr ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetRange(long p, long* min, long* max, long* step, long* def, long* caps) override {
        const bool exposure = p == CameraControl_Exposure;
        calls += "GetRange " + std::to_string(p) + "; ";
        *min = exposure ? -11 : 2800, *max = exposure ? -1 : 6500, *step = exposure ? 1 : 10;
        return *def = exposure ? -6 : 4600, *caps = CameraControl_Flags_Auto | CameraControl_Flags_Manual, S_OK;
    }
    STDMETHODIMP Set(long p, long value, long flags) override {
        calls += "Set " + std::to_string(p) + " " + std::to_string(value) + " " + std::to_string(flags) + "; ";
        return S_OK;
    }
    STDMETHODIMP Get(long p, long* value, long* flags) override {
        return *value = p == CameraControl_Exposure ? -5 : 5000, *flags = 2, S_OK;
    }
};

// CameraControl_Exposure is 4, VideoProcAmp_WhiteBalance 7; Auto is 1, Manual 2.
TEST(DirectShowControls, RangeFirstThenTheClampedValueAndFlag) {
    FakeFilter filter;
    standin::CameraSettings settings{{ControlSetting::Mode::Manual, 20}, {ControlSetting::Mode::Manual, 9000}};
    auto apply = [&] { return standin::directshow::applyCameraSettings(static_cast<IAMCameraControl*>(&filter), settings); };
    standin::SettingsOutcome outcome = apply();  // 20 ms is 2^-5.6 s: the nearest step is 2^-6, 15.6 ms
    EXPECT_EQ(filter.calls, "GetRange 4; Set 4 -6 2; GetRange 7; Set 7 6500 2; ");
    EXPECT_EQ(outcome.summary, "exposure 15.6 ms (manual; 0.49-500 ms), white balance 6500 K (manual; 2800-6500 K)");
    EXPECT_EQ(outcome.problems, (std::vector<std::string>{"exposure 20 ms: not a step the camera takes; set to 15.6 ms",
                                                          "white balance 9000 K: outside 2800-6500 K; set to 6500 K"}));
    settings.exposure.mode = settings.whiteBalance.mode = ControlSetting::Mode::Auto;
    filter.calls.clear();
    apply();
    EXPECT_EQ(filter.calls, "GetRange 4; Set 4 -5 1; GetRange 7; Set 7 5000 1; ");
    filter.offers = false;
    outcome = apply();
    EXPECT_EQ(outcome.summary, "no exposure control, no white balance control");
    EXPECT_EQ(outcome.problems, (std::vector<std::string>{"exposure auto: the camera has no exposure control",
                                                          "white balance auto: the camera has no white balance control"}));
}

// Two cameras of one model: the DevicePath (naming the USB port) tells them
// apart, not the place in the list; without one (Wine), VFWIndex does.
TEST(DirectShowDevices, ACameraIsFoundAgainOnlyAsItself) {
    using standin::directshow::DeviceId;
    const DeviceId left{L"Cam", L"\\\\?\\usb#vid_1&pid_2#6&1&0&1#{x}", -1, 0};
    EXPECT_FALSE(left.sameDevice(DeviceId{L"Cam", L"\\\\?\\usb#vid_1&pid_2#6&1&0&2#{x}", -1, 0}));  // its twin, now first
    EXPECT_TRUE(left.sameDevice(DeviceId{L"Cam", left.devicePath, -1, 1}));
    EXPECT_TRUE((DeviceId{L"Cam", L"", 0, 1}.sameDevice(DeviceId{L"Cam", L"", 0, 0})));
    EXPECT_FALSE((DeviceId{L"Cam", L"", 0, 0}.sameDevice(DeviceId{L"Cam", L"", 1, 0})));
}

}  // namespace
