// lorvcap's 17 exports as function pointers: looked up by name in lorvcap.dll on Windows,
// taken from the linked library on Linux, so that one program checks both builds alike.
#pragma once

#include <string>

#include "capture_api.h"

struct LorvcapExports {
    decltype(&Enter_USS720_W9966_SAA7111) enter = nullptr;
    decltype(&Leave_USS720_W9966_SAA7111) leave = nullptr;
    decltype(&SetSAA7111Reg) setDecoderReg = nullptr;
    decltype(&GetSAA7111Reg) getDecoderReg = nullptr;
    decltype(&AllocCaptureContext) allocContext = nullptr;
    decltype(&FreeCaptureContext) freeContext = nullptr;
    decltype(&StartCapture) startCapture = nullptr;
    decltype(&StopCapture) stopCapture = nullptr;
    decltype(&StartStreaming) startStreaming = nullptr;
    decltype(&StopStreaming) stopStreaming = nullptr;
    decltype(&CaptureFrame) captureFrame = nullptr;
    decltype(&DecodeFrame) decodeFrame = nullptr;
    decltype(&SetCropCenter) setCropCenter = nullptr;
    decltype(&SetZoomFactor) setZoomFactor = nullptr;
    decltype(&SetPanCtrlSize) setPanCtrlSize = nullptr;
    decltype(&SetPanAreaCenter) setPanAreaCenter = nullptr;
    decltype(&DllMain) dllMain = nullptr;
};

// Fills every entry. Returns what is missing ("" when all 17 were found).
std::string LoadLorvcapExports(LorvcapExports& exports);
