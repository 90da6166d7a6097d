// Standard output for a picture stream, apart from everything else the process prints.
#pragma once

#include <cstdio>

namespace lorvcam {

// The stream gets standard output to itself, in binary: the library prints its port counters
// with printf, and those lines must not land in the middle of a picture stream. Everything
// else printed to standard output from now on goes to standard error. nullptr on failure.
std::FILE* TakeStandardOutput();

}  // namespace lorvcam
