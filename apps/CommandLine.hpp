#pragma once

// Command-line pieces the tools share: number and motor-identifier parsing,
// the messages for bad options, and the version line.

#include <cstdio>
#include <functional>
#include <string>

struct option;

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

// The robot description installed with the tools (<prefix>/bin/../share/
// qel_m4/urdf), or else the one in the source tree they were built from.
std::string defaultUrdf();

// `text` as a finite number; throws UsageError naming `what` otherwise.
double parseNumber(const std::string& text, const std::string& what);

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

}  // namespace qel::tools
