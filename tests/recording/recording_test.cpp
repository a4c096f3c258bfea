// The recording files and the recorder thread without an arm: cycles written
// out are read back with the HDF5 library directly (and as CSV text) and
// compared with what went in, column by column, with the units and the
// arm's description the documentation promises; a recorder held back by a
// reader that does not read loses cycles that show as counted gaps, while its
// producer never waits; a latch writes the two seconds before it.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qel/recording/CycleRecorder.hpp"
#include "qel/recording/CycleWriter.hpp"
#include "support/CanRecorder.hpp"
#include "support/CommandFrames.hpp"
#include "support/Hdf5Reader.hpp"

namespace qel::recording {
namespace {

using namespace std::chrono_literals;
using test::eventually;

// The arm as a recording must describe it, written out here.
constexpr int kMotorIds[7] = {1, 2, 4, 5, 6, 7, 8};
constexpr double kTorqueRange[7] = {28, 28, 28, 10, 10, 10, 10};
const std::vector<std::string> kJoints{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"};

// Every dataset of a recording with its unit and row shape.
struct Expected {
    const char* path;
    const char* unit;
    std::vector<std::size_t> row;
};
const std::vector<Expected> kDatasets{
    {"command/frames", "", {7}},
    {"command/k_d", "N*m*s/rad", {7}},
    {"command/k_p", "N*m/rad", {7}},
    {"command/payload", "", {7, 8}},
    {"command/position", "rad", {7}},
    {"command/torque", "N*m", {7}},
    {"command/velocity", "rad/s", {7}},
    {"cycle", "", {}},
    {"errors/codes", "", {16}},
    {"errors/count", "", {}},
    {"fault_latched", "", {}},
    {"measured/current", "current units", {7}},
    {"measured/position", "rad", {7}},
    {"measured/velocity", "rad/s", {7}},
    {"state", "", {}},
    {"target/gripper_fast", "", {}},
    {"target/gripper_mode", "", {}},
    {"target/gripper_torque", "current units", {}},
    {"target/joint_position", "rad", {7}},
    {"target/pose", "m, m, m, rad, rad, rad", {6}},
    {"time/late_ns", "ns", {}},
    {"time/monotonic_ns", "ns", {}},
    {"time/system_ns", "ns", {}},
    {"time/work_ns", "ns", {}},
};

RecordingLayout testLayout() {
    RecordingLayout layout;
    layout.library_version = "9.8.7";
    layout.robot_variant = 3;
    layout.can_interface = "vcan9";
    for (std::size_t i = 0; i < 7; ++i) {
        layout.motor_ids[i] = kMotorIds[i];
        layout.torque_range[i] = kTorqueRange[i];
    }
    layout.gripper_zero = -1.75;
    return layout;
}

// Whether motor j was commanded in the n-th made-up cycle.
bool commanded(uint64_t n, std::size_t j) { return (n + j) % 5 != 0; }

// A made-up cycle whose every field depends on `n`, cycle index `cycle`.
CycleSample sample(uint64_t n, uint64_t cycle, bool latched = false) {
    CycleSample s;
    s.cycle = cycle;
    s.monotonic_ns = 1'000'000'000 + static_cast<int64_t>(cycle) * 5'000'000;
    s.system_ns = 1'700'000'000'000'000'000 + static_cast<int64_t>(cycle) * 5'000'000;
    s.late_ns = static_cast<int64_t>(n % 97) * 1000;
    s.work_ns = 400'000 + static_cast<int64_t>(n % 13);
    s.state = static_cast<int32_t>(n % 6);
    s.fault_latched = latched ? 1 : 0;
    s.gripper_mode = n % 2;
    s.gripper_fast = (n / 2) % 2;
    s.gripper_torque = 0.01 * static_cast<double>(n);
    for (std::size_t j = 0; j < 7; ++j) {
        s.joint_target[j] = 0.001 * static_cast<double>(n) + static_cast<double>(j);
        s.position[j] = -0.002 * static_cast<double>(n) + static_cast<double>(j);
        s.velocity[j] = 0.5 + static_cast<double>(j) * 0.25;
        s.current[j] = -static_cast<double>(j) - 0.125;
        if (commanded(n, j)) {
            s.sent[j].frames = static_cast<uint8_t>(1 + (n + j) % 2);
            for (int k = 0; k < 8; ++k) s.sent[j].data[k] = static_cast<uint8_t>(n * 7 + j * 13 + static_cast<uint64_t>(k) * 31);
        }
    }
    for (std::size_t k = 0; k < 6; ++k) s.pose_target[k] = 0.1 * static_cast<double>(k) + 1e-4 * static_cast<double>(n);
    s.code_count = static_cast<uint32_t>(n % 3);
    for (uint32_t k = 0; k < s.code_count; ++k) s.codes[k] = 32 + static_cast<int32_t>(k) * 10;
    return s;
}

std::string scratchDir() {
    char name[] = "/tmp/qel-recording-test.XXXXXX";
    const char* made = mkdtemp(name);
    return made != nullptr ? made : "";
}

void removeTree(const std::string& dir) { std::system(("rm -rf '" + dir + "'").c_str()); }

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) out.push_back(part);
    if (!text.empty() && text.back() == separator && separator == ',') out.push_back("");  // an empty last field
    return out;
}

TEST(RecordingFile, HdfHoldsEveryColumnWithItsUnitAndTheArmsDescription) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/cycles.h5";
    // 450 cycles, indices 100 to 104 lost.
    std::vector<CycleSample> cycles;
    for (uint64_t n = 0; n < 450; ++n) {
        if (n >= 100 && n < 105) continue;
        cycles.push_back(sample(n, n));
    }
    CycleTally tally;
    {
        const auto writer = openCycleWriter(path, RecordingFormat::kHdf5, testLayout());
        for (std::size_t at = 0; at < cycles.size(); at += 37) {
            const std::size_t count = std::min<std::size_t>(37, cycles.size() - at);
            writer->append(&cycles[at], count);
            tally.add(&cycles[at], count);
        }
        writer->finish(tally.written(), tally.lost());
    }
    EXPECT_EQ(tally.written(), 445u);
    EXPECT_EQ(tally.lost(), 5u);

    test::Hdf5Reader file(path);
    std::vector<std::string> names;
    for (const Expected& e : kDatasets) names.push_back(e.path);
    EXPECT_EQ(file.datasets(), names);
    for (const Expected& e : kDatasets) {
        SCOPED_TRACE(e.path);
        const test::Hdf5Dataset data = file.read(e.path);
        std::vector<std::size_t> shape{cycles.size()};
        shape.insert(shape.end(), e.row.begin(), e.row.end());
        EXPECT_EQ(data.shape, shape);
        EXPECT_EQ(data.unit, e.unit);
        EXPECT_FALSE(file.text("description", e.path).empty());
        if (e.row == std::vector<std::size_t>{7}) {
            EXPECT_EQ(file.texts("columns", e.path), kJoints);
        }
    }
    EXPECT_EQ(file.texts("columns", "target/pose"),
              (std::vector<std::string>{"x", "y", "z", "roll", "pitch", "yaw"}));

    EXPECT_EQ(file.text("library_version"), "9.8.7");
    EXPECT_EQ(file.numbers("robot_variant"), std::vector<double>{3});
    EXPECT_EQ(file.text("can_interface"), "vcan9");
    EXPECT_EQ(file.texts("joint_names"), kJoints);
    EXPECT_EQ(file.numbers("motor_ids"), (std::vector<double>{1, 2, 4, 5, 6, 7, 8}));
    EXPECT_EQ(file.numbers("gripper_zero"), std::vector<double>{-1.75});
    EXPECT_EQ(file.numbers("cycle_rate_hz"), std::vector<double>{200});
    EXPECT_EQ(file.numbers("cycles_written"), std::vector<double>{445});
    EXPECT_EQ(file.numbers("cycles_lost"), std::vector<double>{5});
    EXPECT_FALSE(file.text("hdf5_version").empty());

    const auto cycle = file.read("cycle");
    const auto monotonic = file.read("time/monotonic_ns");
    const std::vector<int64_t> system = file.integers("time/system_ns");
    const auto late = file.read("time/late_ns");
    const auto work = file.read("time/work_ns");
    const auto state = file.read("state");
    const auto mode = file.read("target/gripper_mode");
    const auto fast = file.read("target/gripper_fast");
    const auto torque_target = file.read("target/gripper_torque");
    const auto targets = file.read("target/joint_position");
    const auto pose = file.read("target/pose");
    const auto frames = file.read("command/frames");
    const auto payload = file.read("command/payload");
    const auto k_p = file.read("command/k_p");
    const auto k_d = file.read("command/k_d");
    const auto position = file.read("command/position");
    const auto velocity = file.read("command/velocity");
    const auto torque = file.read("command/torque");
    const auto measured = file.read("measured/position");
    const auto speed = file.read("measured/velocity");
    const auto current = file.read("measured/current");
    const auto count = file.read("errors/count");
    const auto codes = file.read("errors/codes");
    for (std::size_t r = 0; r < cycles.size(); ++r) {
        const CycleSample& s = cycles[r];
        const uint64_t n = s.cycle;  // made with n == cycle
        SCOPED_TRACE("row " + std::to_string(r));
        ASSERT_EQ(cycle.at(r), static_cast<double>(s.cycle));
        EXPECT_EQ(system[r], s.system_ns);
        EXPECT_EQ(monotonic.at(r), static_cast<double>(s.monotonic_ns));
        EXPECT_EQ(late.at(r), static_cast<double>(s.late_ns));
        EXPECT_EQ(work.at(r), static_cast<double>(s.work_ns));
        EXPECT_EQ(state.at(r), static_cast<double>(n % 6));
        EXPECT_EQ(mode.at(r), static_cast<double>(n % 2));
        EXPECT_EQ(fast.at(r), static_cast<double>((n / 2) % 2));
        EXPECT_EQ(torque_target.at(r), 0.01 * static_cast<double>(n));
        for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(pose.at(r, k), s.pose_target[k]);
        for (std::size_t j = 0; j < 7; ++j) {
            EXPECT_EQ(targets.at(r, j), s.joint_target[j]);
            EXPECT_EQ(measured.at(r, j), s.position[j]);
            EXPECT_EQ(speed.at(r, j), s.velocity[j]);
            EXPECT_EQ(current.at(r, j), s.current[j]);
            EXPECT_EQ(frames.at(r, j), static_cast<double>(s.sent[j].frames));
            for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(payload.at(r, 8 * j + k), s.sent[j].data[k]);
            if (!commanded(n, j)) {
                EXPECT_TRUE(std::isnan(k_p.at(r, j)) && std::isnan(k_d.at(r, j)) &&
                            std::isnan(position.at(r, j)) && std::isnan(velocity.at(r, j)) &&
                            std::isnan(torque.at(r, j)))
                    << "motor " << j + 1 << " not commanded";
                continue;
            }
            const test::DecodedCommand c = test::decodeCommandBytes(s.sent[j].data, kTorqueRange[j]);
            EXPECT_NEAR(k_p.at(r, j), c.k_p, 1e-4);
            EXPECT_NEAR(k_d.at(r, j), c.k_d, 1e-6);
            EXPECT_NEAR(position.at(r, j), c.position, 1e-5);
            EXPECT_NEAR(velocity.at(r, j), c.velocity, 1e-5);
            EXPECT_NEAR(torque.at(r, j), c.torque, 1e-5);
        }
        EXPECT_EQ(count.at(r), static_cast<double>(n % 3));
        for (std::size_t k = 0; k < 16; ++k) {
            EXPECT_EQ(codes.at(r, k), k < n % 3 ? 32.0 + 10.0 * static_cast<double>(k) : 0.0);
        }
    }
    removeTree(dir);
}

TEST(RecordingFile, CsvHasOneNamedFieldPerValueAndOneLinePerCycle) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/cycles.csv";
    std::vector<CycleSample> cycles;
    for (uint64_t n = 0; n < 12; ++n) cycles.push_back(sample(n, n + 40));
    cycles[5].code_count = 2;
    cycles[5].codes[0] = 25;
    cycles[5].codes[1] = 32;
    {
        const auto writer = openCycleWriter(path, RecordingFormat::kCsv, testLayout());
        writer->append(cycles.data(), cycles.size());
        writer->finish(cycles.size(), 0);
    }
    std::ifstream in(path);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    const std::vector<std::string> header = split(line, ',');
    // 7 scalars, 7 + 3 + 6 targets, 6 x 7 commands, 3 x 7 measurements, 2 for the codes.
    ASSERT_EQ(header.size(), 88u);
    EXPECT_EQ(header[0], "cycle");
    auto column = [&](const std::string& name) {
        for (std::size_t i = 0; i < header.size(); ++i) {
            if (header[i] == name) return i;
        }
        ADD_FAILURE() << "no column " << name;
        return std::size_t{0};
    };
    std::vector<std::vector<std::string>> rows;
    while (std::getline(in, line)) rows.push_back(split(line, ','));
    ASSERT_EQ(rows.size(), cycles.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        SCOPED_TRACE("row " + std::to_string(r));
        const CycleSample& s = cycles[r];
        ASSERT_EQ(rows[r].size(), header.size());
        EXPECT_EQ(rows[r][column("cycle")], std::to_string(s.cycle));
        EXPECT_DOUBLE_EQ(std::stod(rows[r][column("measured/position/joint3")]), s.position[2]);
        EXPECT_DOUBLE_EQ(std::stod(rows[r][column("target/pose/yaw")]), s.pose_target[5]);
        EXPECT_EQ(rows[r][column("time/system_ns")], std::to_string(s.system_ns));
        if (commanded(r, 6)) {
            EXPECT_NEAR(std::stod(rows[r][column("command/torque/gripper")]),
                        test::decodeCommandBytes(s.sent[6].data, 10.0).torque, 1e-5);
        } else {
            EXPECT_EQ(rows[r][column("command/torque/gripper")], "nan");
        }
    }
    EXPECT_EQ(rows[5][column("errors/codes")], "25 32");
    EXPECT_EQ(rows[5][column("errors/count")], "2");
    EXPECT_EQ(rows[0][column("errors/codes")], "");
    removeTree(dir);
}

// The recorder's file is a pipe nobody reads yet: the recorder thread blocks
// in its write, as it would on a stalled disk.
class StalledReader {
public:
    explicit StalledReader(const std::string& path) : path_(path) {
        mkfifo(path.c_str(), 0600);
        fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    }
    ~StalledReader() {
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Starts reading everything until the writer closes.
    void release() {
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        reader_ = std::thread([this] {
            char buffer[65536];
            ssize_t n;
            while ((n = read(fd_, buffer, sizeof buffer)) != 0) {
                if (n > 0) text_.append(buffer, static_cast<std::size_t>(n));
            }
        });
    }
    // What was read, once the writer has closed.
    std::string text() {
        reader_.join();
        return text_;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::thread reader_;
    std::string text_;
};

TEST(CycleRecorder, ACycleTheRecorderCannotTakeIsDroppedCountedAndAGapNeverAWait) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/stalled.csv";
    StalledReader pipe(path);
    ASSERT_TRUE(pipe.ok());
    CycleRecorder recorder(testLayout());
    recorder.start(path, RecordingFormat::kCsv);

    // The producer plays the control thread: it pushes, one cycle after the
    // other, until the queue overflows behind the blocked recorder. Had a
    // push waited for the recorder, this loop would never end.
    uint64_t pushed = 0;
    ASSERT_TRUE(eventually([&] {
        for (int i = 0; i < 64; ++i) recorder.push(sample(pushed, pushed)), ++pushed;
        return recorder.droppedCycles() >= 500;
    }, 60s));
    const uint64_t dropped = recorder.droppedCycles();
    EXPECT_GE(pushed - dropped, CycleRecorder::kQueueCycles) << "the queue held its whole capacity first";

    // The reader catches up: everything queued is written, then later cycles
    // again.
    pipe.release();
    ASSERT_TRUE(eventually([&] { return recorder.status().written == pushed - dropped; }, 30s));
    for (int i = 0; i < 10; ++i) recorder.push(sample(pushed, pushed)), ++pushed;
    ASSERT_TRUE(eventually([&] { return recorder.status().written == pushed - dropped; }, 30s));
    const RecordingStatus status = recorder.stop();
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.written, pushed - dropped);
    EXPECT_EQ(status.lost, dropped);
    EXPECT_EQ(recorder.droppedCycles(), dropped);

    // In the file: every cycle but the dropped ones, which form one gap.
    const std::vector<std::string> lines = split(pipe.text(), '\n');
    ASSERT_EQ(lines.size(), 1 + pushed - dropped);
    uint64_t previous = 0;
    uint64_t gaps = 0;
    uint64_t missing = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const uint64_t cycle = std::stoull(lines[i].substr(0, lines[i].find(',')));
        if (i > 1 && cycle != previous + 1) {
            ++gaps;
            missing += cycle - previous - 1;
        }
        previous = cycle;
    }
    EXPECT_EQ(gaps, 1u);
    EXPECT_EQ(missing, dropped);
    EXPECT_EQ(previous, pushed - 1);
    removeTree(dir);
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> out;
    FILE* list = popen(("ls '" + dir + "'").c_str(), "r");
    char line[512];
    while (list != nullptr && std::fgets(line, sizeof line, list) != nullptr) {
        std::string name(line);
        if (!name.empty() && name.back() == '\n') name.pop_back();
        out.push_back(name);
    }
    if (list != nullptr) pclose(list);
    return out;
}

TEST(CycleRecorder, EachLatchWritesTheTwoSecondsBeforeIt) {
    const std::string dir = scratchDir();
    CycleRecorder recorder(testLayout());
    recorder.setDumpFolder(dir);
    EXPECT_EQ(recorder.dumpFolder(), dir);
    // Cycles 0 to 599 (index 300 lost); latched from 500 to 519 and again at 580.
    for (uint64_t n = 0; n < 600; ++n) {
        if (n == 300) continue;
        recorder.push(sample(n, n, (n >= 500 && n < 520) || n >= 580));
    }
    recorder.stop();  // takes everything pushed so far
    std::vector<std::string> dumps = filesIn(dir);
    ASSERT_EQ(dumps.size(), 2u);
    ASSERT_NE(dumps[0].find("-cycle500.h5"), std::string::npos) << dumps[0];
    ASSERT_NE(dumps[1].find("-cycle580.h5"), std::string::npos) << dumps[1];
    EXPECT_EQ(dumps[0].rfind("fault-", 0), 0u);
    EXPECT_EQ(recorder.lastDump(), dir + "/" + dumps[1]);

    struct Case {
        std::string name;
        uint64_t first;
        uint64_t last;
        uint64_t lost;
    };
    // 400 entries each, and each spans the lost index 300.
    for (const Case& c : {Case{dumps[0], 100, 500, 1}, Case{dumps[1], 180, 580, 1}}) {
        SCOPED_TRACE(c.name);
        test::Hdf5Reader file(dir + "/" + c.name);
        const auto cycle = file.read("cycle");
        const auto latched = file.read("fault_latched");
        ASSERT_EQ(cycle.rows(), 400u) << "two seconds at 200 Hz";
        EXPECT_EQ(cycle.at(0), static_cast<double>(c.first));
        EXPECT_EQ(cycle.at(399), static_cast<double>(c.last));
        EXPECT_EQ(latched.at(399), 1.0) << "ends with the cycle that latched";
        EXPECT_EQ(latched.at(398), 0.0);
        EXPECT_EQ(file.numbers("cycles_lost"), std::vector<double>{static_cast<double>(c.lost)});
        EXPECT_EQ(file.text("library_version"), "9.8.7");
    }

    // Switched off: a later latch writes nothing.
    recorder.setDumpFolder("");
    for (uint64_t n = 600; n < 700; ++n) recorder.push(sample(n, n, n >= 650));
    recorder.stop();
    EXPECT_EQ(filesIn(dir).size(), 2u);

    // Not a writable folder: refused, the setting kept.
    const std::string file_path = dir + "/" + dumps[0];
    EXPECT_THROW(recorder.setDumpFolder(dir + "/missing"), std::invalid_argument);
    EXPECT_THROW(recorder.setDumpFolder(file_path), std::invalid_argument);
    EXPECT_EQ(recorder.dumpFolder(), "");
    removeTree(dir);
}

TEST(CycleRecorder, HostMistakesAreRefusedAndAFailingFileEndsItsRecording) {
    const std::string dir = scratchDir();
    CycleRecorder recorder(testLayout());
    EXPECT_THROW(recorder.start("", RecordingFormat::kHdf5), std::invalid_argument);
    try {
        recorder.start(dir + "/missing/x.h5", RecordingFormat::kHdf5);
        ADD_FAILURE() << "a file in a missing folder was created";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(dir + "/missing/x.h5"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(recorder.status().active);

    // Cycles handed over before the start belong to the time before it.
    for (uint64_t n = 0; n < 10; ++n) recorder.push(sample(n, n));
    recorder.start(dir + "/a.h5", RecordingFormat::kHdf5);
    EXPECT_THROW(recorder.start(dir + "/b.h5", RecordingFormat::kHdf5), std::invalid_argument);
    for (uint64_t n = 10; n < 40; ++n) recorder.push(sample(n, n));
    const RecordingStatus first = recorder.stop();
    EXPECT_EQ(first.path, dir + "/a.h5");
    EXPECT_EQ(first.written, 30u);
    EXPECT_EQ(first.lost, 0u);
    EXPECT_FALSE(first.active);
    EXPECT_EQ(test::Hdf5Reader(dir + "/a.h5").read("cycle").at(0), 10.0);
    EXPECT_EQ(access((dir + "/b.h5").c_str(), F_OK), -1) << "the refused start created nothing";
    EXPECT_EQ(recorder.stop().written, 30u) << "stopping again reports the last recording";

    // A device that is always full: the recording stops by itself and says why.
    recorder.start("/dev/full", RecordingFormat::kCsv);
    ASSERT_TRUE(eventually([&] {
        for (uint64_t n = 0; n < 20; ++n) recorder.push(sample(n, n));
        return !recorder.status().active;
    }, 30s));
    const RecordingStatus failed = recorder.stop();
    EXPECT_FALSE(failed.active);
    EXPECT_NE(failed.error.find("/dev/full"), std::string::npos) << failed.error;
    removeTree(dir);
}

}  // namespace
}  // namespace qel::recording
