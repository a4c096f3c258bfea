// The library's output in Python: its level, folding of repeated lines, and
// routing of every line to the standard logging module (logger "qel_m4").
//
// Lines are written on the library's own threads, the control thread among
// them, which must never wait for the GIL. So the sink only copies a line into
// a fixed ring, and a pump thread hands the lines to logging under the GIL.
#include "output_binding.hpp"

#include <pybind11/pybind11.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

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

class LoggingPump {
public:
    static LoggingPump& instance() {
        // Leaked on purpose: the pump may still be asked to stop from an
        // interpreter exit hook after static destruction has begun.
        static LoggingPump* pump = new LoggingPump;
        return *pump;
    }

    // Call with the GIL held.
    void start() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (running_) return;
        stop_ = false;
        running_ = true;
        worker_ = std::thread([this] { run(); });
        output::setSink([this](Level level, const char* text) { push(level, text); });
    }

    // Call with the GIL held; waits for the pump without it.
    void stop() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (!running_) return;
        }
        output::setSink(nullptr);
        drain();
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        {
            py::gil_scoped_release release;
            worker_.join();
        }
        std::lock_guard<std::mutex> guard(mutex_);
        running_ = false;
    }

    bool running() {
        std::lock_guard<std::mutex> guard(mutex_);
        return running_;
    }

    // Waits (without the GIL) until every line written so far has reached
    // logging.
    void drain() {
        py::gil_scoped_release release;
        std::unique_lock<std::mutex> lock(mutex_);
        const unsigned long target = pushed_;
        drained_.wait(lock, [&] { return !running_ || delivered_ >= target; });
    }

private:
    static constexpr std::size_t kSlots = 256;
    struct Slot {
        Level level;
        char text[output::kMaxMessage + 1];
    };

    // On the writing thread: a copy into the ring, nothing else.
    void push(Level level, const char* text) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (pushed_ - popped_ >= kSlots) {
                ++dropped_;
                return;
            }
            Slot& slot = ring_[pushed_ % kSlots];
            slot.level = level;
            std::strncpy(slot.text, text, output::kMaxMessage);
            slot.text[output::kMaxMessage] = '\0';
            ++pushed_;
        }
        wake_.notify_one();
    }

    void run() {
        Slot slot;
        for (;;) {
            unsigned long dropped = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || pushed_ != popped_; });
                if (pushed_ == popped_) return;  // stopping, and nothing left
                slot = ring_[popped_ % kSlots];
                ++popped_;
                dropped = dropped_;
                dropped_ = 0;
            }
            if (!Py_IsInitialized()) return;
            {
                py::gil_scoped_acquire gil;
                try {
                    py::object logger = py::module_::import("logging").attr("getLogger")("qel_m4");
                    if (dropped != 0) {
                        logger.attr("log")(30, std::to_string(dropped) +
                                                   " lines were dropped: logging fell behind");
                    }
                    logger.attr("log")(pythonLevel(slot.level), slot.text);
                } catch (py::error_already_set& e) {
                    // A failing handler must not end the pump.
                    e.discard_as_unraisable("qel_m4 output");
                }
            }
            {
                std::lock_guard<std::mutex> guard(mutex_);
                ++delivered_;
            }
            drained_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::array<Slot, kSlots> ring_{};
    unsigned long pushed_ = 0;
    unsigned long popped_ = 0;
    unsigned long delivered_ = 0;
    unsigned long dropped_ = 0;
    bool stop_ = false;
    bool running_ = false;
    std::thread worker_;
};

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
        "use_python_logging",
        [](bool enable) {
            if (enable) {
                LoggingPump::instance().start();
            } else {
                LoggingPump::instance().stop();
            }
        },
        py::arg("enable") = true,
        "True: every line of the library goes to logging.getLogger('qel_m4') instead\n"
        "of the process's standard output and error, at the matching logging level\n"
        "(TRACE is 5, below DEBUG). Lines reach logging shortly after they are\n"
        "written, from a thread of the module's own; flush_output() waits for them.\n"
        "False: back to the standard streams.");
    m.def(
        "flush_output", [] { LoggingPump::instance().drain(); },
        "Waits until every line written so far has reached logging (no-op unless\n"
        "use_python_logging is on).");

    // The pump must be gone before the interpreter is.
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { LoggingPump::instance().stop(); }));
}

}  // namespace qel::python
