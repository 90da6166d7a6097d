// `lorvcam view`: the camera live in a window, with zoom, pan, picture controls and snapshots.
#pragma once

#include "options.h"

namespace lorvcam {

// Shows the camera until the window is closed; returns the exit status. Builds without SDL2
// say that the command is not available.
int RunView(const Command& command);

}  // namespace lorvcam
