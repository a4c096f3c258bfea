#include "support/LessonFile.hpp"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "qel/recording/CycleWriter.hpp"
#include "support/CommandCycles.hpp"

namespace qel::test {

LessonFile::LessonFile(std::string path, int variant, std::size_t rows, const Fill& fill) : path_(std::move(path)) {
    recording::RecordingLayout layout;
    layout.library_version = "test";
    layout.robot_variant = variant;
    layout.cycle_rate_hz = 200.0;
    std::copy(kCommandMotorIds, kCommandMotorIds + 7, layout.motor_ids.begin());
    std::copy(kCommandTorqueRange, kCommandTorqueRange + 7, layout.torque_range.begin());
    std::vector<recording::CycleSample> samples(rows);
    for (std::size_t k = 0; k < rows; ++k) {
        recording::CycleSample& s = samples[k];
        s.cycle = 101 + k;
        s.monotonic_ns = 1'000'000'000 + static_cast<int64_t>(k) * 5'000'000;
        s.state = 3;
        const double at_rest[7] = {0.0, 0.3, 0.3, 0.0, 0.0, 0.0, 0.0};
        std::copy(at_rest, at_rest + 7, s.position);
        fill(k, s);
    }
    const auto writer = recording::openCycleWriter(path_, recording::RecordingFormat::kHdf5, layout);
    writer->append(samples.data(), samples.size());
    writer->finish(rows, 0);
}

LessonFile::~LessonFile() { unlink(path_.c_str()); }

}  // namespace qel::test
