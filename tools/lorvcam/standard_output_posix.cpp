#include "standard_output.h"

#include <unistd.h>

namespace lorvcam {

std::FILE* TakeStandardOutput()
{
    std::fflush(stdout);
    const int stream = ::dup(STDOUT_FILENO);
    if (stream < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return nullptr;
    return ::fdopen(stream, "wb");
}

}  // namespace lorvcam
