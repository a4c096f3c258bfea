#pragma once

// What the tools that drive the arm share: stop signals that end a session
// cleanly, their exit statuses, and the start-up of the arm with progress
// lines and Ctrl-C cancelling the homing.

#include <signal.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// Everything the arm is started with.
struct ArmStart {
    std::string urdf;  // empty: defaultUrdf() (CommandLine.hpp)
    std::string can = "vcan0";
    int type = 0;
};

// Exit statuses every tool that drives the arm shares: its output cannot be
// written, the arm could not be started, and 128 + the signal number (130 for
// SIGINT, 143 for SIGTERM) after a stop signal, as a shell reports a killed
// program.
inline constexpr int kExitOutput = 3;
inline constexpr int kExitArmStart = 4;
inline constexpr int kExitInterruptedBase = 128;

// Catches the stop signals (catchStopSignals), then constructs the
// interface, which enables the motors and homes the arm, on a worker thread
// with the stop signals blocked, while this thread prints "  homing... N s"
// twice a second; a stop signal cancels the homing (the arm is damped).
// When the arm did not start, prints why ("<program>: the arm could not be
// started: ...", or the interruption), stores the tool's exit status
// (kExitArmStart or kExitInterruptedBase + the signal) and returns null.
std::unique_ptr<m4::InterfacesThread> startArm(const ArmStart& start, const char* program, int* exit_status);
// The same for several arms, each on its own bus, started and homed at once
// (one worker thread each). If one cannot be started the others are
// cancelled and damped, the first failure is printed ("<program>: the arm on
// <bus> could not be started: ...") and the result is empty.
std::vector<std::unique_ptr<m4::InterfacesThread>> startArms(const std::vector<ArmStart>& starts, const char* program,
                                                             int* exit_status);

// Why runSession returned.
enum class SessionEnd { kStopSignal, kDuration, kStep };

// The main loop of a tool that runs until it is stopped: every 20 ms calls
// `step` (false ends the session) and every 5 s `progress` with the seconds
// since the start, until a stop signal, the end of `duration_s` (0: none) or
// `step`. Prints "<SIGNAL>: <stopping>." after a stop signal.
SessionEnd runSession(double duration_s, const std::function<bool()>& step,
                      const std::function<void(double seconds)>& progress, const char* stopping);

}  // namespace qel::tools
