// The library's output in Python: its level, folding of repeated lines, and
// routing of every line to the standard logging module (logger "qel_m4").
//
// The library hands its lines to logging from its own output thread, never
// from the control thread: that one thread waits for the GIL, while the
// threads of the arm go on. Every call here that waits for the output thread
// (changing the sink, flushing) releases the GIL first, since the output
// thread may be waiting for it.
#include "output_binding.hpp"

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <string>

#include "qel/output/Output.hpp"
#include "int_enum.hpp"

namespace py = pybind11;

namespace qel::python {
namespace {

using output::Level;

// Python's numbers for the library's levels; trace sits below DEBUG.
int pythonLevel(Level level) {
    switch (level) {
        case Level::kTrace:
            return 5;
        case Level::kDebug:
            return 10;
        case Level::kInfo:
            return 20;
        case Level::kWarning:
            return 30;
        case Level::kError:
            return 40;
    }
    return 40;
}

// Set while the library's lines go to logging. Cleared by the interpreter's
// exit hook before the interpreter goes, so that the output thread never
// reaches for a GIL that no longer exists.
std::atomic<bool> g_to_logging{false};

// On the output thread.
void toLogging(Level level, const char* text) {
    if (!g_to_logging.load() || !Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    try {
        py::module_::import("logging").attr("getLogger")("qel_m4").attr("log")(pythonLevel(level), text);
    } catch (py::error_already_set& e) {
        // A failing handler must not end the output thread.
        e.discard_as_unraisable("qel_m4 output");
    }
}

// Call with the GIL held.
void useLogging(bool enable) {
    py::gil_scoped_release release;
    if (enable) {
        if (g_to_logging.exchange(true)) return;
        output::setSink(&toLogging);
    } else {
        if (!g_to_logging.load()) return;
        output::setSink(nullptr);
        // Lines written before reach logging while it is still wanted.
        output::flush();
        g_to_logging.store(false);
    }
}

Level toLevel(const py::handle& value) {
    if (py::isinstance<py::str>(value)) {
        Level level;
        const std::string name = value.cast<std::string>();
        if (!output::parseLevel(name.c_str(), &level)) {
            throw py::value_error("unknown output level '" + name +
                                  "'; expected trace, debug, info, warning or error");
        }
        return level;
    }
    const int number = value.cast<int>();
    if (number < 0 || number > 4) {
        throw py::value_error("output level must be 0 (trace) to 4 (error), got " +
                              std::to_string(number));
    }
    return static_cast<Level>(number);
}

}  // namespace

void bindOutput(py::module_& m) {
    py::object output_level = makeIntEnum(
        "OutputLevel", {{"TRACE", 0}, {"DEBUG", 1}, {"INFO", 2}, {"WARNING", 3}, {"ERROR", 4}},
        "Severity of the library's lines: TRACE (the banner and other lines written\n"
        "every control cycle), DEBUG, INFO (progress), WARNING, ERROR.");
    m.attr("OutputLevel") = output_level;

    m.def(
        "set_output_level",
        [](const py::object& level) { output::setMinimumLevel(toLevel(level)); },
        py::arg("level"),
        "Drops the library's lines below `level` (an OutputLevel, 0 to 4, or a name\n"
        "such as 'warning'). The default, TRACE, lets every line through. Raises\n"
        "ValueError for anything else.");
    m.def(
        "get_output_level",
        [output_level]() { return output_level(static_cast<int>(output::minimumLevel())); },
        "The current minimum level as an OutputLevel.");
    m.def(
        "set_repeat_interval",
        [](double seconds) {
            if (!(seconds >= 0.0) || seconds > 86400.0) {
                throw py::value_error("repeat interval must be 0 to 86400 seconds");
            }
            output::setRepeatInterval(std::chrono::milliseconds(static_cast<long>(seconds * 1000.0)));
        },
        py::arg("seconds"),
        "Lines that repeat every control cycle (the banner, the offline report,\n"
        "refused transmissions, solver failures of the reachable-point search) pass\n"
        "at most once per `seconds`, with a count of the folded ones; 0 (the\n"
        "default) passes every line. Raises ValueError outside 0 to 86400.");
    m.def(
        "use_python_logging", &useLogging,
        py::arg("enable") = true,
        "True: every line of the library goes to logging.getLogger('qel_m4') instead\n"
        "of the process's standard output and error, at the matching logging level\n"
        "(TRACE is 5, below DEBUG). Lines reach logging shortly after they are\n"
        "written, from the library's output thread; flush_output() waits for them.\n"
        "False: back to the standard streams.");
    m.def(
        "flush_output",
        [] {
            py::gil_scoped_release release;
            output::flush();
        },
        "Waits until every line written so far has reached logging or the process's\n"
        "standard output and error. Lines are written by a thread of the library,\n"
        "shortly after the call that wrote them; call this before comparing or\n"
        "handing on what was printed.");

    // Logging must be let go before the interpreter is.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { useLogging(false); }));
}

}  // namespace qel::python
