// The source reader's callback for a recorded file: Media Foundation calls
// it on its own worker threads with each sample, which it converts into the
// bottom-up BGR frame the file's grabs show (media_foundation.cpp).
#pragma once

#include <windows.h>

#include <mfidl.h>
#include <mfreadwrite.h>

#include <cstdint>
#include <vector>

#include "platform/avicap32/frame_conversion.h"
#include "platform/avicap32/windows/com_object.h"

namespace standin {

constexpr LONGLONG kHundredNsPerSecond = 10000000;
// Times in a file beyond this (about 116 days either way) are refused: the
// file ends there. Within it, every difference of two times and the
// seconds they make fit their types.
constexpr LONGLONG kLatestTime = kHundredNsPerSecond * 10000000;

// What the reader shares with its callback: the newest converted frame and
// how the stream stands. Reference counted, so it lives as long as the
// reader may still call back.
class ReaderCallback : public ComObject<IMFSourceReaderCallback, IID_IMFSourceReaderCallback> {
public:
    ReaderCallback() {
        InitializeSRWLock(&lock_);
        InitializeConditionVariable(&changed_);
    }

    STDMETHODIMP OnReadSample(HRESULT status, DWORD, DWORD flags, LONGLONG timestamp, IMFSample* sample) override;
    STDMETHODIMP OnFlush(DWORD) override { return S_OK; }
    STDMETHODIMP OnEvent(DWORD, IMFMediaEvent*) override { return S_OK; }

    void setFormat(PixelLayout layout, int width, int height, bool topDown) {
        layout_ = layout;
        width_ = width;
        height_ = height;
        topDown_ = topDown;
        converted_.assign(size_t(width) * 3 * size_t(height), 0);
    }

    SRWLOCK lock_;
    CONDITION_VARIABLE changed_;
    // Under lock_:
    bool reading_ = false;  // a ReadSample is outstanding
    LONGLONG requestedAt_ = 0;  // when it was asked for
    bool pending_ = false;  // converted_ holds a frame not taken yet
    LONGLONG pendingTime_ = 0;
    bool ended_ = false;   // end of stream reached
    bool failed_ = false;  // the stream failed
    bool timeOutOfRange_ = false;  // a frame's time was refused
    // The reader's type changed: samples are skipped until the grab has
    // looked at the new one (asking the reader here, on its own thread,
    // could meet its lock), and while its frames are of another size than
    // the file opened with, which could not be shown in the same picture.
    bool typeChanged_ = false;
    bool otherSize_ = false;
    std::vector<uint8_t> converted_;

private:
    // Converts a sample into converted_. The row order comes from the
    // buffer's own pitch where it has one; otherwise from the type (see
    // chooseOutput). Sizes are checked against the frame, never taken from
    // a helper.
    bool convert(IMFSample* sample);

    PixelLayout layout_ = PixelLayout::Bgr24;
    int width_ = 0, height_ = 0;
    bool topDown_ = false;
};

}  // namespace standin
