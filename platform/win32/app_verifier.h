// The stand-in's Application Verifier (heaps, handles and in-flight I/O), always on. A stop
// prints "APP VERIFIER: <what>" and aborts the process, as a verifier stop breaks into the
// debugger on Windows; tests observe it with EXPECT_DEATH. Calls that Windows answers with an
// error even under the verifier keep answering with it.
#pragma once

#include <string_view>

namespace platform::win32 {

[[noreturn]] void VerifierStop(std::string_view what);

// The end of a session that wants leak checks (a machine shutting down): stops on a damaged
// guard of any live block, then on any Local/Global block or handle still open in it.
void CheckSessionEnd();

}  // namespace platform::win32
