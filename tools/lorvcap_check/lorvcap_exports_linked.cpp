#include "lorvcap_exports.h"

std::string LoadLorvcapExports(LorvcapExports& e)
{
    e = {Enter_USS720_W9966_SAA7111, Leave_USS720_W9966_SAA7111, SetSAA7111Reg, GetSAA7111Reg,
         AllocCaptureContext, FreeCaptureContext, StartCapture, StopCapture, StartStreaming, StopStreaming,
         CaptureFrame, DecodeFrame, SetCropCenter, SetZoomFactor, SetPanCtrlSize, SetPanAreaCenter, DllMain};
    return "";
}
