#include "lorvcap_exports.h"

#include <cstdio>

namespace {

// Through a plain function pointer type, which the compiler lets any function pointer become.
template <typename Function>
void Find(HMODULE module, const char* name, Function& entry, std::string& missing)
{
    entry = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    if (entry == nullptr)
        missing += std::string(missing.empty() ? "" : ", ") + name;
}

}  // namespace

std::string LoadLorvcapExports(LorvcapExports& e)
{
    const HMODULE module = LoadLibraryA("lorvcap.dll");
    if (module == nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "lorvcap.dll (LoadLibrary error %lu)", GetLastError());
        return text;
    }
    std::string missing;
    Find(module, "Enter_USS720_W9966_SAA7111", e.enter, missing);
    Find(module, "Leave_USS720_W9966_SAA7111", e.leave, missing);
    Find(module, "SetSAA7111Reg", e.setDecoderReg, missing);
    Find(module, "GetSAA7111Reg", e.getDecoderReg, missing);
    Find(module, "AllocCaptureContext", e.allocContext, missing);
    Find(module, "FreeCaptureContext", e.freeContext, missing);
    Find(module, "StartCapture", e.startCapture, missing);
    Find(module, "StopCapture", e.stopCapture, missing);
    Find(module, "StartStreaming", e.startStreaming, missing);
    Find(module, "StopStreaming", e.stopStreaming, missing);
    Find(module, "CaptureFrame", e.captureFrame, missing);
    Find(module, "DecodeFrame", e.decodeFrame, missing);
    Find(module, "SetCropCenter", e.setCropCenter, missing);
    Find(module, "SetZoomFactor", e.setZoomFactor, missing);
    Find(module, "SetPanCtrlSize", e.setPanCtrlSize, missing);
    Find(module, "SetPanAreaCenter", e.setPanAreaCenter, missing);
    Find(module, "DllMain", e.dllMain, missing);
    return missing;
}
