#include <stdexcept>

#include "camera_backend.h"
#include "capture_api.h"

namespace lorvcam {

CameraSession::CameraSession(const CameraBackend& backend)
{
    if (!Enter_USS720_W9966_SAA7111())
        throw std::runtime_error("the camera did not come up (Enter_USS720_W9966_SAA7111 failed); " +
                                 backend.ReasonsHint());
}

CameraSession::~CameraSession() { Leave_USS720_W9966_SAA7111(); }

}  // namespace lorvcam
