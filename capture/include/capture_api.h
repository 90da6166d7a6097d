// lorvcap's exported interface: the 17 exports and the CaptureContext record that the
// application shares with the library. Field order and widths are part of the interface:
// with 32-bit pointers and handles the record is 516 bytes.
#pragma once

#include <windows.h>

#define LORVCAP_API extern "C"

typedef struct CaptureContext {
    LONG width;   // output image size in pixels
    LONG height;
    LONG mode;    // capture mode 0 to 4
    LONG frameBytes;  // one raw frame as the camera sends it, trailer included
    BYTE* fillBuffer;   // receives the frame now being read
    BYTE* readyBuffer;  // holds the last completed frame
    BYTE* outputImage;  // written by the application
    BYTE* workBuffer;
    DWORD rateStartTick;
    LONG rateFrameCount;
    LONG framesPerSecond;
    LONG framesPerSecondHundredths;
    LONG secondPartOffset;    // offset of the correction layer in modes 2 to 4
    LONG outputBitsPerPixel;  // 16 or 24, written by the application
    LONG frameTailBytes;
    LONG frameAlignedBytes;
    LONG framePhase;
    LONG nextFramePhase;
    LONG carryBytes;
    BYTE carry[64];  // head of the next frame that arrived with the previous read
    OVERLAPPED overlapped;
    HANDLE device;
    LONG streaming;
    LONG readPending;
    BYTE reserved1[64];
    BYTE controllerRegs[32];         // controller registers 0x00 to 0x1F as to be programmed
    BYTE controllerRegsApplied[32];  // registers 0x00 to 0x11 as last programmed
    LONG refWidth;
    LONG refHeight;
    LONG sourceWidth;
    LONG sourceHeight;
    LONG scaleUnit;
    LONG sourceLeft;
    LONG sourceTop;
    LONG marginLeft;
    LONG marginTop;
    LONG zoomMin;
    LONG zoomMax;
    LONG wantedWidth;
    LONG wantedHeight;
    LONG panCtrlWidth;
    LONG panCtrlHeight;
    LONG zoomFactor;
    LONG windowWidth;
    LONG windowHeight;
    LONG windowOuterWidth;
    LONG windowOuterHeight;
    LONG captureWidth;
    LONG captureHeight;
    LONG frameWidth;
    LONG frameHeight;
    LONG scaleY;
    LONG scaleX;
    LONG panViewWidth;
    LONG panViewHeight;
    LONG panViewLeft;
    LONG panViewTop;
    LONG panViewRight;
    LONG panViewBottom;
    LONG panCenterX;
    LONG panCenterY;
    LONG cropLeft;
    LONG cropTop;
    LONG cropRight;
    LONG cropBottom;
    LONG cropCenterX;
    LONG cropCenterY;
    LONG doubleSize;  // written by the application
    LONG windowStartX;
    LONG windowStartY;
    LONG windowEndX;
    LONG windowEndY;
    LONG bufferBytes;
    LONG captureImageBytes;
    BYTE* fillFrame;
    BYTE* readyFrame;
    BYTE* workImage;
    LONG reserved2;
    LONG capturing;
    LONG reserved3;
    LONG zoomChanged;
} CaptureContext;

// Camera bring-up and shutdown, video-decoder settings.
LORVCAP_API int WINAPI Enter_USS720_W9966_SAA7111(void);
LORVCAP_API int WINAPI Leave_USS720_W9966_SAA7111(void);
LORVCAP_API void WINAPI SetSAA7111Reg(int index, int value);
LORVCAP_API int WINAPI GetSAA7111Reg(int index);

// Capture context and lifecycle.
LORVCAP_API CaptureContext* WINAPI AllocCaptureContext(int width, int height, int mode);
LORVCAP_API HLOCAL WINAPI FreeCaptureContext(CaptureContext* context);
LORVCAP_API int WINAPI StartCapture(CaptureContext* context);
LORVCAP_API int WINAPI StopCapture(CaptureContext* context);
LORVCAP_API int WINAPI StartStreaming(CaptureContext* context);
LORVCAP_API int WINAPI StopStreaming(CaptureContext* context);
LORVCAP_API int WINAPI CaptureFrame(CaptureContext* context);
LORVCAP_API void WINAPI DecodeFrame(CaptureContext* context);

// Capture window geometry.
LORVCAP_API void WINAPI SetCropCenter(CaptureContext* context, int x, int y);
LORVCAP_API void WINAPI SetZoomFactor(CaptureContext* context, int zoom);
LORVCAP_API void WINAPI SetPanCtrlSize(CaptureContext* context, int width, int height);
LORVCAP_API void WINAPI SetPanAreaCenter(CaptureContext* context, int x, int y);

LORVCAP_API BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);
