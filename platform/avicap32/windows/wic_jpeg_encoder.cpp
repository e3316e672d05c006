// JPEG frames for the recorder, with the Windows Imaging Component's JPEG
// encoder. windowscodecs.dll is reached through COM (CoCreateInstance), so
// the program imports nothing beyond ole32 for it.
#include <windows.h>

#include <objidl.h>
#include <ocidl.h>
#include <wincodec.h>

#include "platform/avicap32/jpeg_encoder.h"

namespace standin {

namespace {

const GUID kWicImagingFactory = {0xcacaf262, 0x9370, 0x4615, {0xa1, 0x3b, 0x9f, 0x55, 0x39, 0xda, 0x4c, 0x0a}};
const GUID kJpegContainer = {0x19e4a5aa, 0x5662, 0x4fc5, {0xa0, 0xc0, 0x17, 0x58, 0x02, 0x8e, 0x10, 0x57}};
const GUID kBgr24 = {0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0c}};
constexpr float kQuality = 0.9f;

template <class T>
void release(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

std::string hresultText(const char* what, HRESULT hr) {
    char text[96];
    wsprintfA(text, "%s failed (0x%08lX)", what, static_cast<unsigned long>(hr));
    return text;
}

class WicJpegEncoder : public JpegEncoder {
public:
    ~WicJpegEncoder() override {
        release(factory_);
        if (comStarted_) CoUninitialize();
    }

    bool open(int width, int height, std::string& error) {
        width_ = width;
        height_ = height;
        const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        comStarted_ = SUCCEEDED(com);
        const HRESULT hr = CoCreateInstance(kWicImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                            __uuidof(IWICImagingFactory), reinterpret_cast<void**>(&factory_));
        if (FAILED(hr)) {
            error = hresultText("the Windows Imaging Component", hr);
            return false;
        }
        return true;
    }

    bool encode(const uint8_t* frame, std::vector<uint8_t>& jpeg, std::string& error) override {
        IStream* stream = nullptr;
        IWICBitmapEncoder* encoder = nullptr;
        IWICBitmapFrameEncode* picture = nullptr;
        IPropertyBag2* options = nullptr;
        HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
        const char* step = "a memory stream";
        if (SUCCEEDED(hr)) step = "the JPEG encoder", hr = factory_->CreateEncoder(kJpegContainer, nullptr, &encoder);
        if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
        if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&picture, &options);
        if (SUCCEEDED(hr) && options != nullptr) {
            PROPBAG2 name{};
            name.pstrName = const_cast<LPOLESTR>(L"ImageQuality");
            VARIANT value;
            VariantInit(&value);
            value.vt = VT_R4;
            value.fltVal = kQuality;
            options->Write(1, &name, &value);  // an encoder that does not take it keeps its own
        }
        if (SUCCEEDED(hr)) step = "a JPEG frame", hr = picture->Initialize(options);
        if (SUCCEEDED(hr)) hr = picture->SetSize(UINT(width_), UINT(height_));
        WICPixelFormatGUID format = kBgr24;
        if (SUCCEEDED(hr)) hr = picture->SetPixelFormat(&format);
        if (SUCCEEDED(hr) && format != kBgr24) hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        // The picture's top row is the frame's last.
        const UINT stride = UINT(width_) * 3;
        for (int row = height_ - 1; row >= 0 && SUCCEEDED(hr); --row)
            hr = picture->WritePixels(1, stride, stride, const_cast<BYTE*>(frame + size_t(row) * stride));
        if (SUCCEEDED(hr)) hr = picture->Commit();
        if (SUCCEEDED(hr)) hr = encoder->Commit();
        HGLOBAL memory = nullptr;
        STATSTG stat{};
        if (SUCCEEDED(hr)) step = "reading the JPEG", hr = GetHGlobalFromStream(stream, &memory);
        if (SUCCEEDED(hr)) hr = stream->Stat(&stat, STATFLAG_NONAME);
        if (SUCCEEDED(hr)) {
            const void* bytes = GlobalLock(memory);
            if (bytes != nullptr) {
                const uint8_t* begin = static_cast<const uint8_t*>(bytes);
                jpeg.assign(begin, begin + stat.cbSize.QuadPart);
                GlobalUnlock(memory);
            } else {
                hr = E_OUTOFMEMORY;
            }
        }
        release(options);
        release(picture);
        release(encoder);
        release(stream);
        if (FAILED(hr)) error = hresultText(step, hr);
        return SUCCEEDED(hr);
    }

private:
    int width_ = 0, height_ = 0;
    bool comStarted_ = false;
    IWICImagingFactory* factory_ = nullptr;
};

}  // namespace

std::unique_ptr<JpegEncoder> makeJpegEncoder(int width, int height, std::string& error) {
    auto encoder = std::make_unique<WicJpegEncoder>();
    if (!encoder->open(width, height, error)) return nullptr;
    return encoder;
}

}  // namespace standin
