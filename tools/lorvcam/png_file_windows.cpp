// PNG files through the Windows Imaging Component: part of every Windows since Vista, so the
// program ships no image library of its own.
#include "png_file.h"

#include <objbase.h>
#include <wincodec.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace lorvcam {

namespace {

template <typename Interface>
class ComPointer {
public:
    ComPointer() = default;
    ~ComPointer()
    {
        if (pointer_)
            pointer_->Release();
    }
    ComPointer(const ComPointer&) = delete;
    ComPointer& operator=(const ComPointer&) = delete;
    Interface* operator->() const { return pointer_; }
    Interface** out() { return &pointer_; }
    Interface* get() const { return pointer_; }

private:
    Interface* pointer_ = nullptr;
};

// COM for the calling thread for as long as it lives; the thread may already have it.
class ComScope {
public:
    ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT result_;
};

std::string Hex(HRESULT result)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(result));
    return text;
}

void Check(HRESULT result, const std::filesystem::path& path, const char* step)
{
    if (FAILED(result))
        throw std::runtime_error("cannot write " + path.string() + ": " + step + " failed (HRESULT " + Hex(result) +
                                 ").");
}

}  // namespace

void WritePng(const std::filesystem::path& path, const RgbImage& image)
{
    ComScope com;
    ComPointer<IWICImagingFactory> factory;
    Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                           reinterpret_cast<void**>(factory.out())),
          path, "starting the Windows Imaging Component");
    ComPointer<IWICStream> stream;
    Check(factory->CreateStream(stream.out()), path, "creating a stream");
    Check(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE), path, "creating the file");
    ComPointer<IWICBitmapEncoder> encoder;
    Check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.out()), path, "creating a PNG encoder");
    Check(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache), path, "starting the encoder");
    ComPointer<IWICBitmapFrameEncode> frame;
    ComPointer<IPropertyBag2> properties;
    Check(encoder->CreateNewFrame(frame.out(), properties.out()), path, "creating the picture");
    Check(frame->Initialize(properties.get()), path, "starting the picture");
    Check(frame->SetSize(static_cast<UINT>(image.width), static_cast<UINT>(image.height)), path, "sizing the picture");
    // The encoder may answer with the format it will take instead; only blue-first 24-bit is wanted.
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    Check(frame->SetPixelFormat(&format), path, "choosing 24-bit pixels");
    if (!IsEqualGUID(format, GUID_WICPixelFormat24bppBGR))
        throw std::runtime_error("cannot write " + path.string() + ": the PNG encoder refuses 24-bit pixels.");

    std::vector<BYTE> bgr(image.pixels.begin(), image.pixels.end());
    for (std::size_t i = 0; i + 2 < bgr.size(); i += 3)
        std::swap(bgr[i], bgr[i + 2]);
    const UINT stride = static_cast<UINT>(image.width) * 3;
    Check(frame->WritePixels(static_cast<UINT>(image.height), stride, static_cast<UINT>(bgr.size()), bgr.data()),
          path, "writing the pixels");
    Check(frame->Commit(), path, "finishing the picture");
    Check(encoder->Commit(), path, "finishing the file");
}

}  // namespace lorvcam
