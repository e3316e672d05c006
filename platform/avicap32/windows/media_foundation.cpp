// Media Foundation below the capture windows: recorded footage through the
// source reader. (Cameras are read through DirectShow, directshow_camera.cpp.)
//
// Each file gets one source reader in asynchronous mode. Its callback
// (reader_callback.h) runs on Media Foundation's worker threads and converts
// every sample into a bottom-up BGR frame; a grab, on the program's own
// thread, shows the frame that is due on the pair's clock.
#include <windows.h>

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/avicap32/camera_device.h"
#include "platform/avicap32/frame_conversion.h"
#include "platform/avicap32/windows/reader_callback.h"
#include "platform/avicap32/playback_clock.h"
#include "platform/avicap32/retired_cameras.h"

namespace standin {

namespace {

template <class T>
void release(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

std::string hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::wstring toWide(const std::string& s) {
    if (s.empty()) return L"";
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), int(s.size()), &w[0], n);
    return w;
}

// COM and Media Foundation, started once for the process and never shut
// down: the readers' worker threads may outlive any one camera.
bool startMediaFoundation(std::string& error) {
    static HRESULT started = [] {
        const HRESULT co = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(co) && co != RPC_E_CHANGED_MODE) return co;
        return MFStartup(MF_VERSION, MFSTARTUP_FULL);
    }();
    if (FAILED(started)) error = "Media Foundation could not be started (" + hex(started) + ")";
    return SUCCEEDED(started);
}

bool layoutOf(const GUID& subtype, PixelLayout& layout) {
    if (subtype == MFVideoFormat_RGB24) {
        layout = PixelLayout::Bgr24;
    } else if (subtype == MFVideoFormat_RGB32) {
        layout = PixelLayout::Bgrx32;
    } else if (subtype == MFVideoFormat_YUY2) {
        layout = PixelLayout::Yuy2;
    } else if (subtype == MFVideoFormat_NV12) {
        layout = PixelLayout::Nv12;
    } else {
        return false;
    }
    return true;
}

class RecordedFile : public CameraDevice {
public:
    explicit RecordedFile(std::string name) : name_(std::move(name)) {}
    ~RecordedFile() override {
        closeReader();
        if (clock_ != nullptr) clock_->leave(member_);
    }

    // A file plays on the clock it shares with the other file of its pair.
    void setClock(std::shared_ptr<PlaybackClock> clock) {
        clock_ = std::move(clock);
        member_ = clock_->join();
        lap_ = clock_->lap();
    }

    int width() const override { return width_; }
    int height() const override { return height_; }

    GrabResult grab(uint8_t* frame) override { return grabPaced(frame); }

    // Sets up the reader for the file at url.
    bool open(const std::wstring& url, std::string& error) {
        callback_ = new ReaderCallback();
        IMFAttributes* attributes = nullptr;
        HRESULT hr = MFCreateAttributes(&attributes, 2);
        if (SUCCEEDED(hr)) hr = attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback_);
        if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_SOURCE_READER_ENABLE_VIDEO_PROCESSING, TRUE);
        if (SUCCEEDED(hr)) hr = MFCreateSourceReaderFromURL(url.c_str(), attributes, &reader_);
        release(attributes);
        if (FAILED(hr)) {
            error = "cannot be read by Media Foundation (" + hex(hr) + ")";
            return false;
        }
        const DWORD video = DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
        reader_->SetStreamSelection(DWORD(MF_SOURCE_READER_ALL_STREAMS), FALSE);
        if (FAILED(reader_->SetStreamSelection(video, TRUE))) {
            error = "has no video";
            return false;
        }
        if (!chooseOutput(error)) return false;
        PROPVARIANT duration;
        PropVariantInit(&duration);
        if (SUCCEEDED(reader_->GetPresentationAttribute(DWORD(MF_SOURCE_READER_MEDIASOURCE), MF_PD_DURATION,
                                                        &duration)) &&
            duration.vt == VT_UI8 && duration.uhVal.QuadPart <= ULONGLONG(kLatestTime))
            duration_ = LONGLONG(duration.uhVal.QuadPart);
        PropVariantClear(&duration);
        AcquireSRWLockExclusive(&callback_->lock_);
        requestSample(*callback_);
        const bool reading = callback_->reading_;
        ReleaseSRWLockExclusive(&callback_->lock_);
        if (!reading) error = "would not start reading";
        return reading;
    }

private:
    // RGB from the reader's own processing where it gives it, else NV12 or
    // YUY2, converted here.
    bool chooseOutput(std::string& error) {
        const DWORD video = DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
        const GUID wanted[] = {MFVideoFormat_RGB24, MFVideoFormat_RGB32, MFVideoFormat_NV12, MFVideoFormat_YUY2};
        HRESULT hr = E_FAIL;
        for (const GUID& subtype : wanted) {
            IMFMediaType* type = nullptr;
            if (FAILED(MFCreateMediaType(&type))) break;
            type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
            type->SetGUID(MF_MT_SUBTYPE, subtype);
            hr = reader_->SetCurrentMediaType(video, nullptr, type);
            type->Release();
            if (SUCCEEDED(hr)) break;
        }
        IMFMediaType* current = nullptr;
        if (FAILED(hr) || FAILED(reader_->GetCurrentMediaType(video, &current))) {
            error = "gives no RGB, NV12 or YUY2 frames (" + hex(hr) + ")";
            return false;
        }
        GUID subtype = GUID_NULL;
        UINT32 w = 0, h = 0;
        PixelLayout layout = PixelLayout::Bgr24;
        current->GetGUID(MF_MT_SUBTYPE, &subtype);
        MFGetAttributeSize(current, MF_MT_FRAME_SIZE, &w, &h);
        UINT32 rateNumerator = 0, rateDenominator = 0;
        MFGetAttributeRatio(current, MF_MT_FRAME_RATE, &rateNumerator, &rateDenominator);
        // A stride the type states outright gives the row order; without
        // one, RGB rows are in bitmap order (bottom-up) and YUV rows
        // top-down. (The stride helpers are not asked: they are known to be
        // wrong for RGB24.)
        UINT32 strideBits = 0;
        const bool hasStride = SUCCEEDED(current->GetUINT32(MF_MT_DEFAULT_STRIDE, &strideBits));
        current->Release();
        if (!layoutOf(subtype, layout)) {
            error = "gives frames of an unknown kind";
            return false;
        }
        if (w == 0 || h == 0 || w > 8192 || h > 8192 || w % 4 != 0 || (layout == PixelLayout::Nv12 && h % 2 != 0)) {
            error = "has frames of " + std::to_string(w) + "x" + std::to_string(h) +
                    ", not of a width that is a multiple of 4";
            return false;
        }
        const bool rgb = layout == PixelLayout::Bgr24 || layout == PixelLayout::Bgrx32;
        const bool topDown = hasStride ? INT32(strideBits) > 0 : !rgb;
        width_ = int(w);
        height_ = int(h);
        frameInterval_ = rateNumerator > 0 && rateDenominator > 0
                             ? LONGLONG(kHundredNsPerSecond) * rateDenominator / rateNumerator
                             : kHundredNsPerSecond / 25;
        frameInterval_ =
            std::min<LONGLONG>(std::max<LONGLONG>(frameInterval_, kHundredNsPerSecond / 240), kHundredNsPerSecond / 5);
        callback_->setFormat(layout, width_, height_, topDown);
        return true;
    }

    DWORD waitMs() const { return DWORD(frameInterval_ / 10000) + 5; }

    void closeReader() {
        if (reader_ != nullptr) reader_->Flush(DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM));
        release(reader_);
        release(callback_);
    }

    // Files: one frame is decoded ahead and shown once the pair's clock is
    // nearer its time than the frame before's (ticks at the file's own rate
    // then show every frame once, a tick a little early or late alike);
    // frames whose time has passed give way to the newest due one, read
    // within the grab so that both files of a pair show the same moment. After its last frame the file holds it until the pair's
    // next lap, and then starts again.
    // Whether the reader's frames are of the size the file opened with;
    // those of another size are said once.
    bool framesOfOurSize() {
        IMFMediaType* type = nullptr;
        if (FAILED(reader_->GetCurrentMediaType(DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM), &type))) return false;
        UINT32 w = 0, h = 0;
        MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &w, &h);
        type->Release();
        const bool ours = int(w) == width_ && int(h) == height_;
        if (!ours) sayOnce(said_.otherSize, "frames of " + std::to_string(w) + "x" + std::to_string(h) +
                                                " skipped: the file began at " + std::to_string(width_) + "x" +
                                                std::to_string(height_));
        return ours;
    }

    void sayOnce(bool& said, const std::string& what) {
        if (!said) std::fprintf(stderr, "%s: %s\n", name_.c_str(), what.c_str());
        said = true;
    }

    GrabResult grabPaced(uint8_t* frame) {
        ReaderCallback& c = *callback_;
        AcquireSRWLockExclusive(&c.lock_);
        const bool typeChanged = c.typeChanged_;
        ReleaseSRWLockExclusive(&c.lock_);
        if (typeChanged) {
            const bool ourSize = framesOfOurSize();
            AcquireSRWLockExclusive(&c.lock_);
            c.otherSize_ = !ourSize;
            c.typeChanged_ = false;
            ReleaseSRWLockExclusive(&c.lock_);
        }
        const PlaybackClock::Position position = clock_->now(member_);
        LONGLONG elapsed = LONGLONG(position.seconds * double(kHundredNsPerSecond));
        GrabResult result = GrabResult::NoNewFrame;
        AcquireSRWLockExclusive(&c.lock_);
        if (atEnd_) readNextLapAhead(c);
        if (position.lap != lap_ && (!atEnd_ || rewound_)) {  // else once the reader has gone back
            lap_ = position.lap;
            atEnd_ = false;
            rewound_ = false;
            framesInLap_ = 0;
        }
        const LONGLONG giveUpAt = now() + kGrabBudget;  // the time a rewind took not counted
        // A reader that stops answering (Wine's, after a frame it cannot
        // convert) leaves the last picture up; said once.
        if (c.reading_ && sawFrame_ && now() - c.requestedAt_ > kStalledRead)
            sayOnce(said_.stalled, "Media Foundation has given no frame for 2 s");
        if (c.timeOutOfRange_) sayOnce(said_.timeOutOfRange, "a frame's time is out of range: the file ends there");
        for (int step = 0; step < 10000 && !atEnd_; ++step) {
            if (c.failed_) {
                if (result != GrabResult::NewFrame) result = GrabResult::Lost;
                break;
            }
            if (c.pending_) {
                if (!sawFrame_) {
                    firstTime_ = c.pendingTime_;
                    sawFrame_ = true;
                }
                const LONGLONG due = c.pendingTime_ - firstTime_;
                if (duration_ > 0 && due >= duration_) {  // read before a rewind took effect
                    c.pending_ = false;
                    continue;
                }
                if (elapsed - due > kMaxCatchUp * frameInterval_) {
                    // Far behind (the program was stopped): go on from here.
                    clock_->resumeAt(double(due) / double(kHundredNsPerSecond));
                    elapsed = due;
                }
                if (due - frameInterval_ / 2 > elapsed) break;
                std::copy(c.converted_.begin(), c.converted_.end(), frame);
                c.pending_ = false;
                lastTime_ = c.pendingTime_;
                ++framesInLap_;
                result = GrabResult::NewFrame;
                if (!c.ended_) requestSample(c);
                continue;
            }
            if (c.ended_) {
                if (!sawFrame_) {  // a file without a single frame
                    result = GrabResult::Lost;
                    break;
                }
                // Wine's reader may still answer a read just after the rewind
                // with the end it had reached: asked again, it gives the
                // first frame.
                if (framesInLap_ == 0 && ++endsBeforeFirstFrame_ <= kEndsBeforeFirstFrame) {
                    c.ended_ = false;
                    continue;
                }
                endLap(lastTime_ - firstTime_ + frameInterval_);
                break;
            }
            if (!c.reading_) requestSample(c);
            // The frame being decoded: waited for while the reader keeps up,
            // within the grab's budget; a slow one is looked at next time,
            // except for a lap's first frame (the reader is slow to start
            // again after a rewind), which the other file may show already.
            const LONGLONG left = giveUpAt - now();
            if (!c.reading_ || left <= 0) break;
            SleepConditionVariableSRW(&c.changed_, &c.lock_, std::min<DWORD>(waitMs(), DWORD(left / 10000) + 1), 0);
            if (c.reading_ && framesInLap_ > 0) break;
        }
        // The file's own length, where it tells it, ends the lap on time, so
        // that both files of a pair end it in the same tick whenever their
        // readers report the end.
        if (!atEnd_ && sawFrame_ && duration_ > 0 && elapsed >= duration_) endLap(duration_);
        ReleaseSRWLockExclusive(&c.lock_);
        return result;
    }

    void endLap(LONGLONG length) {
        atEnd_ = true;
        clock_->ended(member_, lap_, double(length) / double(kHundredNsPerSecond));
    }

    // While the file holds its last frame, it goes back to its start as
    // soon as the reader is idle and reads the next lap's first frame ahead,
    // so that the lap begins in the same tick for both files of a pair.
    // Called with the lock held.
    void readNextLapAhead(ReaderCallback& c) {
        if (!rewound_) {
            if (c.reading_) return;
            c.ended_ = false;
            c.pending_ = false;
            endsBeforeFirstFrame_ = 0;
            PROPVARIANT start;
            PropVariantInit(&start);
            start.vt = VT_I8;
            start.hVal.QuadPart = 0;
            if (FAILED(reader_->SetCurrentPosition(GUID_NULL, start))) c.failed_ = true;
            rewound_ = true;
        }
        // What the reader still gives from before the rewind: a frame past
        // the end, or the end itself (Wine's reader may say it once more).
        if (c.pending_ && duration_ > 0 && c.pendingTime_ - firstTime_ >= duration_) c.pending_ = false;
        if (c.ended_ && !c.pending_ && ++endsBeforeFirstFrame_ <= kEndsBeforeFirstFrame) c.ended_ = false;
        if (!c.pending_ && !c.ended_ && !c.reading_ && !c.failed_) requestSample(c);
    }

    // Time in 100 ns units on a monotonic clock.
    static LONGLONG now() {
        LARGE_INTEGER counter, frequency;
        QueryPerformanceCounter(&counter);
        QueryPerformanceFrequency(&frequency);
        return LONGLONG(double(counter.QuadPart) * double(kHundredNsPerSecond) / double(frequency.QuadPart));
    }

    // Called with the lock held, which it gives up while asking the reader.
    void requestSample(ReaderCallback& c) {
        c.reading_ = true;
        c.requestedAt_ = now();
        ReleaseSRWLockExclusive(&c.lock_);
        const HRESULT hr =
            reader_->ReadSample(DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM), 0, nullptr, nullptr, nullptr, nullptr);
        AcquireSRWLockExclusive(&c.lock_);
        if (FAILED(hr)) {
            c.reading_ = false;
            c.failed_ = true;
        }
    }

    const std::string name_;  // as the user gave it, for what is said about the file
    struct {
        bool otherSize = false, stalled = false, timeOutOfRange = false;
    } said_;  // each said once
    IMFSourceReader* reader_ = nullptr;
    ReaderCallback* callback_ = nullptr;
    int width_ = 0, height_ = 0;
    LONGLONG frameInterval_ = kHundredNsPerSecond / 25;
    bool sawFrame_ = false;
    LONGLONG firstTime_ = 0, lastTime_ = 0;  // of the file's first sample, and of the one shown last
    std::shared_ptr<PlaybackClock> clock_;
    int member_ = -1;
    uint64_t lap_ = 0;    // the clock's lap the file plays in
    bool atEnd_ = false;    // the file has ended in this lap
    bool rewound_ = false;  // since then, it went back to its start
    LONGLONG duration_ = 0;  // of the file, where it tells it
    int framesInLap_ = 0;  // shown since the file started again
    int endsBeforeFirstFrame_ = 0;  // ends reported since then, before a frame
    static constexpr int kEndsBeforeFirstFrame = 25;
    static constexpr LONGLONG kGrabBudget = kHundredNsPerSecond / 5;  // reading frames that are due
    static constexpr LONGLONG kMaxCatchUp = 50;  // frames behind the clock before it is moved on
    static constexpr LONGLONG kStalledRead = 2 * kHundredNsPerSecond;
};

}  // namespace

namespace {

// Opening a file waits for Media Foundation to read its head, which a
// hostile file (or a hung share) can make last for ever. So the open runs on
// a thread of its own and is waited for at most kOpenMs; a file given up on
// is taken down, once its open returns, as a retired camera is
// (retired_cameras.h), so that it holds up neither the window nor the exit.
constexpr auto kOpenWait = std::chrono::milliseconds(5000);

struct OpenAttempt {
    std::unique_ptr<RecordedFile> footage;
    std::wstring url;
    std::string error;
    bool ok = false;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;  // under mutex
    std::thread opener;
};

// A file whose open was given up on, for retireCamera: going down, it waits
// for the open to return and closes the file.
class AbandonedOpen : public CameraDevice {
public:
    explicit AbandonedOpen(std::shared_ptr<OpenAttempt> attempt) : attempt_(std::move(attempt)) {}
    ~AbandonedOpen() override {
        if (attempt_->opener.joinable()) attempt_->opener.join();
        attempt_->footage.reset();
    }
    int width() const override { return 0; }
    int height() const override { return 0; }
    GrabResult grab(uint8_t*) override { return GrabResult::Lost; }

private:
    std::shared_ptr<OpenAttempt> attempt_;
};

}  // namespace

std::unique_ptr<CameraDevice> openRecordedFootage(const std::string& path, std::shared_ptr<PlaybackClock> clock,
                                                  std::string& error) {
    if (!startMediaFoundation(error)) return nullptr;
    // The reader takes a URL or a whole path.
    std::wstring wide = toWide(path);
    std::vector<wchar_t> full(32768);
    const DWORD n = GetFullPathNameW(wide.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (n > 0 && n < full.size()) wide = full.data();
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
        error = path + ": no such file";
        return nullptr;
    }
    auto attempt = std::make_shared<OpenAttempt>();
    attempt->footage = std::make_unique<RecordedFile>(path);  // on the pair's clock once it is open
    attempt->url = wide;
    try {
        attempt->opener = std::thread([attempt] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // Media Foundation's objects are free-threaded
            attempt->ok = attempt->footage->open(attempt->url, attempt->error);
            std::lock_guard<std::mutex> guard(attempt->mutex);
            attempt->done = true;
            attempt->finished.notify_all();
        });
    } catch (const std::system_error&) {
        error = path + ": no thread to open it";
        return nullptr;
    }
    bool done = false;
    {
        std::unique_lock<std::mutex> lock(attempt->mutex);
        done = attempt->finished.wait_for(lock, kOpenWait, [&attempt] { return attempt->done; });
    }
    if (!done) {
        error = path + ": Media Foundation did not open it within 5 s";
        retireCamera(std::make_unique<AbandonedOpen>(attempt));
        return nullptr;
    }
    attempt->opener.join();
    if (!attempt->ok) {
        error = path + ": " + attempt->error;
        return nullptr;
    }
    attempt->footage->setClock(clock != nullptr ? std::move(clock) : std::make_shared<PlaybackClock>());
    return std::move(attempt->footage);
}

}  // namespace standin
