#include "platform/avicap32/windows/reader_callback.h"

#include <mfapi.h>

namespace standin {

STDMETHODIMP ReaderCallback::OnReadSample(HRESULT status, DWORD, DWORD flags, LONGLONG timestamp, IMFSample* sample) {
    AcquireSRWLockExclusive(&lock_);
    reading_ = false;
    if ((flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) != 0) typeChanged_ = true;
    if (FAILED(status) || (flags & MF_SOURCE_READERF_ERROR) != 0) {
        failed_ = true;
    } else if (sample != nullptr && (timestamp < -kLatestTime || timestamp > kLatestTime)) {
        flags |= MF_SOURCE_READERF_ENDOFSTREAM;  // a time that would overflow ends the file
        timeOutOfRange_ = true;
    } else if (sample != nullptr && !typeChanged_ && !otherSize_ && convert(sample)) {
        pendingTime_ = timestamp;
        pending_ = true;
    }
    if ((flags & MF_SOURCE_READERF_ENDOFSTREAM) != 0) ended_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    return S_OK;
}

bool ReaderCallback::convert(IMFSample* sample) {
    IMFMediaBuffer* buffer = nullptr;
    if (FAILED(sample->ConvertToContiguousBuffer(&buffer)) || buffer == nullptr) return false;
    bool done = false;
    const size_t rowBytes = packedRowBytes(layout_, width_);
    const size_t rows = layout_ == PixelLayout::Nv12 ? size_t(height_) * 3 / 2 : size_t(height_);
    IMF2DBuffer* buffer2d = nullptr;
    BYTE* scan0 = nullptr;
    LONG pitch = 0;
    DWORD held = 0;  // what the buffer holds: a frame larger than that is not read
    buffer->GetCurrentLength(&held);
    if (SUCCEEDED(buffer->QueryInterface(__uuidof(IMF2DBuffer), reinterpret_cast<void**>(&buffer2d))) &&
        SUCCEEDED(buffer2d->Lock2D(&scan0, &pitch))) {
        // scan0 is the top row; a negative pitch walks up through memory.
        const size_t stride = size_t(pitch < 0 ? -LONGLONG(pitch) : LONGLONG(pitch));
        if (stride >= rowBytes && (pitch > 0 || layout_ != PixelLayout::Nv12) && stride * rows <= held) {
            const uint8_t* start = pitch < 0 ? scan0 - (rows - 1) * stride : scan0;
            done = convertFrame(layout_, start, stride * rows, stride, pitch > 0, width_, height_,
                                converted_.data());
        }
        buffer2d->Unlock2D();
    } else {
        BYTE* data = nullptr;
        DWORD length = 0;
        if (SUCCEEDED(buffer->Lock(&data, nullptr, &length))) {
            // Whole rows, packed or padded alike.
            const size_t stride = size_t(length) / rows;
            done = stride >= rowBytes && stride - rowBytes < 64 &&
                   convertFrame(layout_, data, length, stride, topDown_, width_, height_, converted_.data());
            buffer->Unlock();
        }
    }
    if (buffer2d != nullptr) buffer2d->Release();
    buffer->Release();
    return done;
}

}  // namespace standin
