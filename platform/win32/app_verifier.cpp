#include "app_verifier.h"

#include <cstdio>
#include <cstdlib>

#include "heap.h"
#include "session.h"

namespace platform::win32 {

void VerifierStop(std::string_view what) {
    std::fprintf(stderr, "APP VERIFIER: %.*s\n", static_cast<int>(what.size()), what.data());
    std::fflush(stderr);
    std::abort();
}

void CheckSessionEnd() {
    CheckHeapAtSessionEnd();
    if (const std::shared_ptr<Session> session = CurrentSession()) session->handles.CheckNoneOpen();
}

}  // namespace platform::win32
