// Calls all 17 exports of lorvcap on what works without a camera, and decodes the fixed cases
// of decode_cases.h through the exported DecodeFrame into OUTPUT-FILE. On Windows the exports
// come from lorvcap.dll by name. Checks go to stderr (exit status 1 when one fails); the
// geometry and the pictures' hashes go to stdout, for a comparison of two builds.
//   lorvcap_check OUTPUT-FILE
#include <cstdio>
#include <vector>

#include "decode_cases.h"
#include "lorvcap_exports.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what)
{
    std::fprintf(stderr, "%s %s\n", ok ? "ok  " : "FAIL", what);
    failures += ok ? 0 : 1;
}

void CheckDecoderSettings(const LorvcapExports& e)
{
    Check(e.getDecoderReg(0) == 0xAB, "GetSAA7111Reg(0) is the default 0xAB");
    e.setDecoderReg(0, 0x1C0);
    Check(e.getDecoderReg(0) == 0xC0, "SetSAA7111Reg keeps the low byte");
    e.setDecoderReg(0, 0xAB);
    e.setDecoderReg(18, 0x55);
    Check(e.getDecoderReg(18) == 0 && e.getDecoderReg(-1) == 0, "indexes outside 0 to 17 read 0");
}

// The geometry StartCapture and the setters computed, for the comparison of two builds.
void PrintGeometry(const char* when, const CaptureContext* c)
{
    std::printf("%s:", when);
    for (long value : {c->windowWidth, c->windowHeight, c->captureWidth, c->captureHeight, c->frameWidth,
                       c->frameHeight, c->frameBytes, c->cropLeft, c->cropTop, c->cropRight, c->cropBottom,
                       c->zoomFactor, c->zoomMin, c->zoomMax, c->panViewLeft, c->panViewTop, c->panViewRight,
                       c->panViewBottom})
        std::printf(" %ld", value);
    std::printf(", registers");
    for (BYTE reg : c->controllerRegs)
        std::printf(" %02X", reg);
    std::printf("\n");
}

// No camera: bring-up fails, yet a context can still start (the geometry needs no camera;
// the register write-out over the closed link goes nowhere). Streaming is what needs one.
void CheckWithoutCamera(const LorvcapExports& e)
{
    Check(e.enter() == 0, "Enter_USS720_W9966_SAA7111 fails without a device");
    CaptureContext* context = e.allocContext(320, 240, 1);
    Check(context != nullptr && context->width == 320 && context->height == 240 && context->mode == 1,
          "AllocCaptureContext returns a record with the size and mode");
    if (context == nullptr)
        return;
    Check(e.startCapture(context) == 1, "StartCapture computes the geometry without a camera");
    PrintGeometry("started", context);
    e.setPanCtrlSize(context, 100, 50);
    e.setZoomFactor(context, 40);
    e.setCropCenter(context, 150, 100);
    e.setPanAreaCenter(context, 30, 20);
    PrintGeometry("moved", context);
    Check(e.startStreaming(context) == 0, "StartStreaming refuses without a camera");
    Check(e.stopStreaming(context) == 0, "StopStreaming refuses a context that is not streaming");
    std::vector<BYTE> output(960 * 240);  // 24-bit rows of 320 pixels
    context->outputImage = output.data();
    context->outputBitsPerPixel = 24;
    Check(e.captureFrame(context) == 1, "CaptureFrame returns 1 on a started context");
    Check(e.stopCapture(context) == 1, "StopCapture ends the capture");
    Check(e.freeContext(context) == nullptr, "FreeCaptureContext returns null");

    CaptureContext* refused = e.allocContext(642, 240, 0);
    Check(refused != nullptr && e.startCapture(refused) == 0, "StartCapture refuses a width beyond 640");
    e.setCropCenter(refused, 100, 60);
    e.setZoomFactor(refused, 48);
    e.setPanCtrlSize(refused, 460, 240);
    e.setPanAreaCenter(refused, 10, 10);
    Check(refused->capturing == 0 && refused->fillBuffer == nullptr,
          "the geometry setters leave a refused context as it was");
    Check(e.stopCapture(refused) == 0, "StopCapture refuses a context that never started");
    Check(e.freeContext(refused) == nullptr, "FreeCaptureContext frees a refused context");
    Check(e.leave() == 0, "Leave_USS720_W9966_SAA7111 fails with no link to end");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: lorvcap_check OUTPUT-FILE\n");
        return 2;
    }
    LorvcapExports e;
    const std::string missing = LoadLorvcapExports(e);
    if (!missing.empty()) {
        std::fprintf(stderr, "lorvcap_check: not found: %s\n", missing.c_str());
        return 1;
    }
    Check(e.dllMain(nullptr, DLL_THREAD_ATTACH, nullptr) == TRUE, "DllMain returns 1");
    CheckDecoderSettings(e);
    CheckWithoutCamera(e);

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::fprintf(stderr, "lorvcap_check: cannot create %s\n", argv[1]);
        return 1;
    }
    const int written = WriteDecodeCases(out, e.decodeFrame);
    Check(std::fclose(out) == 0 && written, "the decoded pictures are written");
    return failures == 0 ? 0 : 1;
}
