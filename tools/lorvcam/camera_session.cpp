#include <stdexcept>

#include "camera_stack.h"
#include "capture_api.h"

namespace lorvcam {

CameraSession::CameraSession()
{
    if (!Enter_USS720_W9966_SAA7111())
        throw std::runtime_error("the camera did not come up (Enter_USS720_W9966_SAA7111 failed); "
                                 "--log shows the driver's and the library's reasons.");
}

CameraSession::~CameraSession() { Leave_USS720_W9966_SAA7111(); }

}  // namespace lorvcam
