#pragma once

// What the tools that drive the arm share: stop signals that end a session
// cleanly, the robot description they find by default, and the start-up of
// the arm with progress lines and Ctrl-C cancelling the homing.

#include <signal.h>

#include <memory>
#include <string>

#include "qel/controller/ControllerOptions.hpp"
#include "qel/interfaces/InterfacesThread.hpp"

namespace qel::tools {

// SIGINT and SIGTERM from now on only note the first signal (stopRequested,
// stopSignal); everything that stops the arm then runs on the main thread,
// where destroying the interface damps the arm as in a normal shutdown.
void catchStopSignals();
bool stopRequested();
// The first stop signal's number, 0 while none came.
int stopSignal();
// "SIGINT" or "SIGTERM".
const char* stopSignalName();

// Blocks the stop signals in the calling thread for its lifetime; threads
// started meanwhile inherit the block. The library's threads must never take
// a signal: an interrupted wait of the CAN receive thread counts as a silent
// second on the bus.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

// The robot description next to the installed program (<prefix>/bin/../share
// /qel_m4/urdf), or else the one in the source tree the tools were built from.
std::string defaultUrdf();

// Everything the arm is started with.
struct ArmStart {
    std::string urdf;
    std::string can = "vcan0";
    int type = 0;
};

// How startArm ended.
enum class StartOutcome { kStarted, kFailed, kInterrupted };

// Constructs the interface, which enables the motors and homes the arm, on a
// worker thread with the stop signals blocked, while this thread prints
// "  homing... N s" twice a second; a stop signal cancels the homing (the arm
// is damped). Prints why it did not start ("<program>: the arm could not be
// started: ...", or the interruption) and returns null then.
std::unique_ptr<m4::InterfacesThread> startArm(const ArmStart& start, const char* program, StartOutcome* outcome);

}  // namespace qel::tools
