#include "standard_output.h"

#include <fcntl.h>
#include <io.h>

namespace lorvcam {

std::FILE* TakeStandardOutput()
{
    std::fflush(stdout);
    const int stream = _dup(_fileno(stdout));
    if (stream < 0 || _dup2(_fileno(stderr), _fileno(stdout)) < 0)
        return nullptr;
    // The C runtime would otherwise write every 0x0A byte of a picture as 0x0D 0x0A.
    if (_setmode(stream, _O_BINARY) < 0)
        return nullptr;
    return _fdopen(stream, "wb");
}

}  // namespace lorvcam
