// The COM calls that set a DirectShow camera's exposure and white balance,
// against a capture filter of the test's own that offers IAMCameraControl
// and IAMVideoProcAmp and records what it is told (Windows suite, run under
// Wine).
#include <gtest/gtest.h>

#include <string>

#include "platform/avicap32/windows/directshow_graph.h"

namespace {

using standin::CameraSettings;
using standin::ControlSetting;

class FakeFilter : public IAMCameraControl, public IAMVideoProcAmp {
public:
    bool offers = true;
    std::string calls;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        *object = !offers                       ? nullptr
                  : iid == IID_IAMCameraControl ? static_cast<void*>(static_cast<IAMCameraControl*>(this))
                  : iid == IID_IAMVideoProcAmp  ? static_cast<void*>(static_cast<IAMVideoProcAmp*>(this))
                                                : nullptr;
        return *object != nullptr ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    // Exposure: 2^-11 to 2^-1 s, by default 2^-6; white balance 2800-6500 K
    // in steps of 10, by default 4600.
    STDMETHODIMP GetRange(long p, long* min, long* max, long* step, long* def, long* caps) override {
        const bool exposure = p == CameraControl_Exposure;
        calls += "GetRange " + std::to_string(p) + "; ";
        *min = exposure ? -11 : 2800, *max = exposure ? -1 : 6500, *step = exposure ? 1 : 10;
        *def = exposure ? -6 : 4600, *caps = 3;  // Auto 1 | Manual 2, in both interfaces
        return S_OK;
    }
    STDMETHODIMP Set(long p, long value, long flags) override {
        calls += "Set " + std::to_string(p) + " " + std::to_string(value) + " " + std::to_string(flags) + "; ";
        return S_OK;
    }
    STDMETHODIMP Get(long p, long* value, long* flags) override {
        *value = p == CameraControl_Exposure ? -5 : 5000, *flags = 2;
        return S_OK;
    }
};

ControlSetting manual(double value) { return ControlSetting{ControlSetting::Mode::Manual, value}; }

TEST(DirectShowControls, RangeFirstThenTheClampedValueWithTheManualFlag) {
    FakeFilter filter;
    CameraSettings settings;
    settings.exposure = manual(20);  // log2(0.02 s) = -5.6: the camera's step is -6, 15.6 ms
    settings.whiteBalance = manual(9000);
    const standin::SettingsOutcome outcome =
        standin::directshow::applyCameraSettings(static_cast<IAMCameraControl*>(&filter), settings);
    // CameraControl_Exposure is 4, VideoProcAmp_WhiteBalance 7; Manual is 2.
    EXPECT_EQ(filter.calls, "GetRange 4; Set 4 -6 2; GetRange 7; Set 7 6500 2; ");
    EXPECT_EQ(outcome.summary,
              "exposure 15.6 ms (manual; 0.49-500 ms), white balance 6500 K (manual; 2800-6500 K)");
    ASSERT_EQ(outcome.problems.size(), 2u);
    EXPECT_EQ(outcome.problems[0], "exposure 20 ms: not a step the camera takes; set to 15.6 ms");
    EXPECT_EQ(outcome.problems[1], "white balance 9000 K: outside 2800-6500 K; set to 6500 K");
}

TEST(DirectShowControls, AutoSetsTheAutoFlagAndAMissingInterfaceIsSaid) {
    FakeFilter filter;
    CameraSettings settings;
    settings.exposure.mode = settings.whiteBalance.mode = ControlSetting::Mode::Auto;
    standin::directshow::applyCameraSettings(static_cast<IAMCameraControl*>(&filter), settings);
    EXPECT_EQ(filter.calls, "GetRange 4; Set 4 -5 1; GetRange 7; Set 7 5000 1; ");

    filter.offers = false;  // as Wine's capture filter: E_NOINTERFACE
    filter.calls.clear();
    settings.exposure = manual(20);
    const standin::SettingsOutcome outcome =
        standin::directshow::applyCameraSettings(static_cast<IAMCameraControl*>(&filter), settings);
    EXPECT_EQ(filter.calls, "");
    EXPECT_EQ(outcome.summary, "no exposure control, no white balance control");
    ASSERT_EQ(outcome.problems.size(), 2u);
    EXPECT_EQ(outcome.problems[0], "exposure 20 ms: the camera has no exposure control");
    EXPECT_EQ(outcome.problems[1], "white balance auto: the camera has no white balance control");
}

}  // namespace
