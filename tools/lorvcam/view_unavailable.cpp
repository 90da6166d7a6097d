#include <iostream>

#include "view.h"

namespace lorvcam {

int RunView(const Command&)
{
    std::cerr << "lorvcam: view is not available in this build (it was built without SDL2).\n";
    return 1;
}

}  // namespace lorvcam
