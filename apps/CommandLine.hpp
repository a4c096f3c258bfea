#pragma once

// Command-line pieces the tools share: number and motor-identifier parsing,
// the messages for bad options, and the version line.

#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "qel/controller/ControllerOptions.hpp"

namespace qel::tools {

// A command-line mistake; the tool prints it with its usage and exits 2.
struct UsageError {
    std::string message;
};

// Exit status of every tool for a bad command line.
inline constexpr int kExitUsage = 2;

// The project version the tools were built from, e.g. "0.1.0".
const char* projectVersion();

// Writes "<program> <version>" and a line end to standard output.
void printVersion(const char* program);

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it
// starts from then on, and returns the two as a set for sigtimedwait: the
// tools take their stop signals synchronously on the main thread, and no
// other thread (the CAN receive thread least of all, whose interrupted wait
// would count as a silent second on the bus) ever takes one.
sigset_t blockStopSignals();

// The robot description installed with the tools (<prefix>/bin/../share/
// qel_m4/urdf), or else the one in the source tree they were built from.
std::string defaultUrdf();

// Whether a file can be created (or replaced) at `path`, checked before the
// arm is started; if not, says why on standard error after "<program>: ".
bool outputWritable(const std::string& path, const char* program);

// `text` as a finite number; throws UsageError naming `what` otherwise.
double parseNumber(const std::string& text, const std::string& what);

// `text` as a --duration: seconds above 0 and at most 1e6; throws
// UsageError otherwise.
double parseDuration(const std::string& text);

// `text` as one of the arm's motor identifiers (1, 2, 4, 5, 6, 7, 8); throws
// UsageError otherwise, saying which identifiers exist.
int parseMotorId(const std::string& text);

// Runs getopt_long over argv with `options` (and -h as the one short option)
// and calls handle(option, value) for each, value empty for options without
// one. handle returns false to end the run early (after --help, say). Throws
// UsageError for an unknown option, a missing or unexpected value, or what
// handle throws. Returns false if handle ended the run; argv[optind] is then,
// or after true, the first word that is no option.
bool parseOptions(int argc, char** argv, const option* options,
                  const std::function<bool(int option, const std::string& value)>& handle);

// Runs a tool's `parse`, which returns false when the run is already done
// (help or version printed). On a UsageError prints "<program>: <message>"
// and then `usage` to standard error. Returns -1 when the tool goes on, else
// its exit status: 0 after help or version, kExitUsage after a mistake.
int parseOrExit(const char* program, const std::function<bool()>& parse, void (*usage)(FILE* to));

// The message for what getopt_long reported as a bad option: `result` is its
// return value (':' for a missing value, '?' for an unknown option; the option
// string must start with ':' so that the two differ).
std::string badOptionMessage(int result, char** argv);

// The real-time options of the tools that run the arm (docs/realtime.md):
//   --realtime        control thread SCHED_FIFO 80, receive thread 81, timer
//                     slack 1 µs, memory locked; a refused setting is an error
//   --rt-priority N   as --realtime with the control thread at N (1 to 98)
//                     and the receive thread at N + 1
//   --rt-cpu N        pin the control and receive threads to CPU N
enum RealtimeOption { kOptionRealtime = 3000, kOptionRtPriority, kOptionRtCpu };

// `options` (ending in its all-zero entry) with the real-time options added.
std::vector<option> withRealtimeOptions(const option* options);

// Applies real-time option `code` with `value` to `realtime`; false if `code`
// is none of them. Throws UsageError for a bad value.
bool applyRealtimeOption(int code, const std::string& value, m4::RealtimeOptions* realtime);

// Their lines for a tool's --help.
extern const char* const kRealtimeUsage;

}  // namespace qel::tools
