// Calls all 17 exports of lorvcap on what works without a camera, and decodes the fixed cases
// of decode_cases.h through the exported DecodeFrame into OUTPUT-FILE. On Windows the exports
// come from lorvcap.dll by name. Checks go to stderr (exit status 1 when one fails); the
// pictures' hashes go to stdout, for a comparison of two builds. --leave also calls
// Leave_USS720_W9966_SAA7111 after the failed bring-up (Windows answers its calls on the
// closed channel with an error; the Linux stand-in's verifier stops them).
//   lorvcap_check OUTPUT-FILE [--leave]
#include <cstdio>
#include <string>

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

// No camera: bring-up fails and a context that cannot start refuses every step. Nothing here
// may reach the closed channel: the stand-in's verifier stops a call on its null handle.
void CheckWithoutCamera(const LorvcapExports& e, bool leave)
{
    Check(e.enter() == 0, "Enter_USS720_W9966_SAA7111 fails without a device");
    CaptureContext* refused = e.allocContext(642, 240, 0);
    Check(refused != nullptr && refused->width == 642 && refused->height == 240,
          "AllocCaptureContext returns a record with the size");
    if (refused == nullptr)
        return;
    Check(e.startCapture(refused) == 0, "StartCapture refuses a width beyond 640");
    e.setCropCenter(refused, 100, 60);
    e.setZoomFactor(refused, 48);
    e.setPanCtrlSize(refused, 460, 240);
    e.setPanAreaCenter(refused, 10, 10);
    Check(refused->capturing == 0 && refused->fillBuffer == nullptr,
          "the geometry setters leave a refused context as it was");
    Check(e.startStreaming(refused) == 0, "StartStreaming refuses a context that never started");
    Check(e.captureFrame(refused) == 0, "CaptureFrame refuses a context that never started");
    Check(e.stopStreaming(refused) == 0, "StopStreaming refuses a context that is not streaming");
    Check(e.stopCapture(refused) == 0, "StopCapture refuses a context that never started");
    Check(e.freeContext(refused) == nullptr, "FreeCaptureContext returns null");
    // After a failed bring-up, Leave still turns to the link over the closed channel.
    if (leave)
        Check(e.leave() == 0, "Leave_USS720_W9966_SAA7111 fails with no link to end");
}

}  // namespace

int main(int argc, char** argv)
{
    const bool leave = argc == 3 && std::string(argv[2]) == "--leave";
    if (argc != 2 && !leave) {
        std::fprintf(stderr, "usage: lorvcap_check OUTPUT-FILE [--leave]\n");
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
    CheckWithoutCamera(e, leave);

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::fprintf(stderr, "lorvcap_check: cannot create %s\n", argv[1]);
        return 1;
    }
    const int written = WriteDecodeCases(out, e.decodeFrame);
    Check(std::fclose(out) == 0 && written, "the decoded pictures are written");
    return failures == 0 ? 0 : 1;
}
