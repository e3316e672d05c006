// DirectShow graphs for one camera (directshow_graph.h).
#include "platform/avicap32/windows/directshow_graph.h"

#include <cstdio>
#include <cstdlib>

extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;

namespace standin {
namespace directshow {

namespace {

constexpr long long kWantedWidth = 640, kWantedHeight = 480;

void freeMediaType(AM_MEDIA_TYPE* type) {
    if (type == nullptr) return;
    if (type->cbFormat != 0) CoTaskMemFree(type->pbFormat);
    if (type->pUnk != nullptr) type->pUnk->Release();
    CoTaskMemFree(type);
}

// The first pin of a filter in one direction.
IPin* firstPin(IBaseFilter* filter, PIN_DIRECTION wanted) {
    IEnumPins* pins = nullptr;
    IPin* found = nullptr;
    if (FAILED(filter->EnumPins(&pins))) return nullptr;
    IPin* pin = nullptr;
    while (found == nullptr && pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION direction;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted) {
            found = pin;
        } else {
            pin->Release();
        }
    }
    pins->Release();
    return found;
}

// Sets the capture pin's format to the chosen size.
HRESULT chooseSize(IPin* out, FrameSize& size, FrameSink*& sink) {
    IAMStreamConfig* config = nullptr;
    if (FAILED(out->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&config)))) return E_FAIL;
    int count = 0, capsBytes = 0;
    AM_MEDIA_TYPE* best = nullptr;
    long long bestDistance = -1;
    std::vector<BYTE> caps;
    if (SUCCEEDED(config->GetNumberOfCapabilities(&count, &capsBytes)) && capsBytes > 0) caps.resize(size_t(capsBytes));
    for (int i = 0; i < count && !caps.empty(); ++i) {
        AM_MEDIA_TYPE* type = nullptr;
        if (FAILED(config->GetStreamCaps(i, &type, caps.data())) || type == nullptr) continue;
        long long distance = -1;
        if (type->formattype == FORMAT_VideoInfo && type->cbFormat >= sizeof(VIDEOINFOHEADER)) {
            const BITMAPINFOHEADER& b = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader;
            const long long w = b.biWidth, h = b.biHeight < 0 ? -(long long)b.biHeight : b.biHeight;
            const bool fits = size.width == 0 ? w > 0 && h > 0 && w % 4 == 0 && w <= 8192 && h <= 8192
                                          : w == size.width && h == size.height;
            // Of equal sizes, RGB24 itself, which needs no converter.
            if (fits) distance = 4 * ((w - kWantedWidth) * (w - kWantedWidth) + (h - kWantedHeight) * (h - kWantedHeight)) +
                                 (type->subtype == MEDIASUBTYPE_RGB24 ? 0 : 1);
        }
        if (distance >= 0 && (bestDistance < 0 || distance < bestDistance)) {
            freeMediaType(best);
            best = type;
            bestDistance = distance;
        } else {
            freeMediaType(type);
        }
    }
    HRESULT hr = best != nullptr ? config->SetFormat(best) : E_FAIL;
    if (SUCCEEDED(hr) && size.width == 0) {
        const VIDEOINFOHEADER* info = reinterpret_cast<VIDEOINFOHEADER*>(best->pbFormat);
        size.width = info->bmiHeader.biWidth;
        size.height = std::abs(info->bmiHeader.biHeight);
        const REFERENCE_TIME interval = info->AvgTimePerFrame > 0 ? info->AvgTimePerFrame : 10000000 / 30;
        size.waitMs = DWORD(std::min<REFERENCE_TIME>(std::max<REFERENCE_TIME>(interval / 10000, 4), 200)) + 5;
    }
    if (SUCCEEDED(hr) && sink == nullptr) sink = new FrameSink(size.width, size.height);
    freeMediaType(best);
    config->Release();
    return hr;
}

// The grabber's input as connected: RGB24 of the chosen size; the sign
// of biHeight gives the row order (positive: bottom row first).
HRESULT checkConnectedType(ISampleGrabber* grabber, const FrameSize& size, FrameSink& sink) {
    AM_MEDIA_TYPE type{};
    if (FAILED(grabber->GetConnectedMediaType(&type))) return E_FAIL;
    HRESULT hr = E_FAIL;
    if (type.subtype == MEDIASUBTYPE_RGB24 && type.formattype == FORMAT_VideoInfo &&
        type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
        const BITMAPINFOHEADER& b = reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader;
        if (b.biWidth == size.width && std::abs(b.biHeight) == size.height && b.biBitCount == 24) {
            AcquireSRWLockExclusive(&sink.lock);
            sink.topDown = b.biHeight < 0;
            ReleaseSRWLockExclusive(&sink.lock);
            hr = S_OK;
        }
    }
    if (type.cbFormat != 0) CoTaskMemFree(type.pbFormat);
    if (type.pUnk != nullptr) type.pUnk->Release();
    return hr;
}

}  // namespace

std::string hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::vector<DeviceId> enumerateDevices(std::vector<IMoniker*>* monikers) {
    std::vector<DeviceId> devices;
    ICreateDevEnum* enumerator = nullptr;
    IEnumMoniker* list = nullptr;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                reinterpret_cast<void**>(&enumerator))))
        return devices;
    if (enumerator->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &list, 0) == S_OK && list != nullptr) {
        IMoniker* moniker = nullptr;
        while (list->Next(1, &moniker, nullptr) == S_OK) {
            DeviceId id;
            id.position = devices.size();
            IPropertyBag* bag = nullptr;
            if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
                VARIANT value;
                VariantInit(&value);
                if (SUCCEEDED(bag->Read(L"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR)
                    id.name = value.bstrVal;
                VariantClear(&value);
                if (SUCCEEDED(bag->Read(L"DevicePath", &value, nullptr)) && value.vt == VT_BSTR)
                    id.devicePath = value.bstrVal;
                VariantClear(&value);
                if (SUCCEEDED(bag->Read(L"VFWIndex", &value, nullptr)) &&
                    SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4)))
                    id.vfwIndex = value.lVal;
                VariantClear(&value);
                bag->Release();
            }
            devices.push_back(id);
            if (monikers != nullptr) {
                monikers->push_back(moniker);
            } else {
                moniker->Release();
            }
        }
        list->Release();
    }
    enumerator->Release();
    return devices;
}

void Graph::stop() {
    if (control != nullptr) control->Stop();
    release(source);
    release(events);
    release(control);
    release(builder);
}

bool deviceLost(Graph& graph) {
    long code = 0;
    LONG_PTR first = 0, second = 0;
    bool lost = false;
    while (graph.events != nullptr && graph.events->GetEvent(&code, &first, &second, 0) == S_OK) {
        if (code == EC_DEVICE_LOST && second == 0) lost = true;  // 0: removed, 1: back
        if (code == EC_ERRORABORT) lost = true;
        graph.events->FreeEventParams(code, first, second);
    }
    return lost;
}

bool buildGraph(IMoniker* moniker, FrameSize& size, FrameSink*& sink, Graph& graph, std::string& error) {
    IBaseFilter *source = nullptr, *grabberFilter = nullptr, *renderer = nullptr;
    ISampleGrabber* grabber = nullptr;
    IPin *out = nullptr, *in = nullptr;
    AM_MEDIA_TYPE wanted{};
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_RGB24;
    wanted.formattype = FORMAT_VideoInfo;
    const char* step = "cannot be opened";
    HRESULT hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&source));
    moniker->Release();
    if (SUCCEEDED(hr)) hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                             reinterpret_cast<void**>(&graph.builder));
    if (SUCCEEDED(hr)) hr = graph.builder->AddFilter(source, L"Camera");
    if (SUCCEEDED(hr)) hr = CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                             reinterpret_cast<void**>(&grabberFilter));
    if (SUCCEEDED(hr)) hr = grabberFilter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(&grabber));
    if (SUCCEEDED(hr)) hr = grabber->SetMediaType(&wanted);
    if (SUCCEEDED(hr)) hr = graph.builder->AddFilter(grabberFilter, L"Grabber");
    if (SUCCEEDED(hr)) hr = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                             reinterpret_cast<void**>(&renderer));
    if (SUCCEEDED(hr)) hr = graph.builder->AddFilter(renderer, L"Renderer");
    if (SUCCEEDED(hr) && (out = firstPin(source, PINDIR_OUTPUT)) == nullptr) hr = E_FAIL;
    if (SUCCEEDED(hr)) {
        step = "offers no frame size with a width that is a multiple of 4";
        hr = chooseSize(out, size, sink);
    }
    if (SUCCEEDED(hr)) {
        step = "cannot give RGB24 frames";
        if ((in = firstPin(grabberFilter, PINDIR_INPUT)) == nullptr) hr = E_FAIL;
    }
    if (SUCCEEDED(hr)) hr = graph.builder->Connect(out, in);
    release(out);
    release(in);
    if (SUCCEEDED(hr) && ((out = firstPin(grabberFilter, PINDIR_OUTPUT)) == nullptr ||
                          (in = firstPin(renderer, PINDIR_INPUT)) == nullptr))
        hr = E_FAIL;
    if (SUCCEEDED(hr)) hr = graph.builder->Connect(out, in);
    if (SUCCEEDED(hr)) hr = checkConnectedType(grabber, size, *sink);
    if (SUCCEEDED(hr)) hr = grabber->SetBufferSamples(FALSE);
    if (SUCCEEDED(hr)) hr = grabber->SetOneShot(FALSE);
    if (SUCCEEDED(hr)) hr = grabber->SetCallback(sink, 1);
    if (SUCCEEDED(hr)) hr = graph.builder->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&graph.control));
    if (SUCCEEDED(hr)) hr = graph.builder->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&graph.events));
    if (SUCCEEDED(hr)) {
        step = "cannot be started: another program may be using it";
        hr = graph.control->Run();
    }
    if (SUCCEEDED(hr)) {
        // The first frame's time counts from here.
        AcquireSRWLockExclusive(&sink->lock);
        sink->runAt = GetTickCount64();
        ReleaseSRWLockExclusive(&sink->lock);
        graph.source = source;
        source = nullptr;
    }
    release(out);
    release(in);
    release(grabber);
    release(renderer);
    release(grabberFilter);
    release(source);
    if (FAILED(hr)) error = std::string(step) + " (" + hex(hr) + ")";
    return SUCCEEDED(hr);
}

}  // namespace directshow
}  // namespace standin
