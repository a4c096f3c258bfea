#include "qel/recording/CycleWriter.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "qel/recording/Hdf5File.hpp"

namespace qel::recording {
namespace {

// Rows gathered before each write: one second at 200 Hz, so that the file
// sees a few large writes rather than many small ones.
constexpr std::size_t kBufferedRows = 200;
constexpr std::size_t kChunkRows = 200;

std::vector<std::string> names(const char* const* first, std::size_t count) {
    return std::vector<std::string>(first, first + count);
}

class Hdf5CycleWriter : public CycleWriter {
public:
    Hdf5CycleWriter(const std::string& path, const RecordingLayout& layout) : file_(path), layout_(layout) {
        writeFileIdentity(file_, "qel_m4 cycle recording", layout.library_version, layout.robot_variant,
                          layout.cycle_rate_hz);
        file_.attribute(Hdf5File::kRoot, "can_interface", layout.can_interface);
        file_.attribute(Hdf5File::kRoot, "motor_ids",
                        std::vector<int64_t>(layout.motor_ids.begin(), layout.motor_ids.end()));
        file_.attribute(Hdf5File::kRoot, "gripper_zero", layout.gripper_zero);
        for (const CycleColumn& column : kCycleColumns) {
            std::vector<std::string> columns;
            if (column.entries == CycleColumn::Entries::kMotors || column.entries == CycleColumn::Entries::kPayload) {
                columns = jointNames();
            } else if (column.entries == CycleColumn::Entries::kPose) {
                columns = names(kPoseNames.data(), kPoseNames.size());
            }
            datasets_.push_back(file_.describedDataset(column.path, column.type, rowShape(column), kChunkRows,
                                                       column.unit, column.meaning, columns));
        }
        pending_.reserve(kBufferedRows);
    }

    void append(const CycleSample* samples, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            pending_.push_back(samples[i]);
            if (pending_.size() >= kBufferedRows) writePending();
        }
    }

    void flush() override {
        writePending();
        file_.flush();
    }

    void finish(uint64_t written, uint64_t lost) override {
        writePending();
        file_.attribute(Hdf5File::kRoot, "cycles_written", static_cast<int64_t>(written));
        file_.attribute(Hdf5File::kRoot, "cycles_lost", static_cast<int64_t>(lost));
        file_.close();
    }

private:
    void writePending() {
        if (pending_.empty()) return;
        for (std::size_t c = 0; c < kCycleColumns.size(); ++c) {
            const CycleColumn& column = kCycleColumns[c];
            const std::size_t row_bytes = rowElements(column) * elementBytes(column.type);
            buffer_.resize(row_bytes * pending_.size());
            for (std::size_t r = 0; r < pending_.size(); ++r) {
                column.fill(pending_[r], layout_, buffer_.data() + r * row_bytes);
            }
            file_.append(datasets_[c], buffer_.data(), pending_.size());
        }
        pending_.clear();
    }

    Hdf5File file_;
    RecordingLayout layout_;
    std::vector<Hdf5File::Dataset> datasets_;
    std::vector<CycleSample> pending_;
    std::vector<unsigned char> buffer_;
};

// The element of type T at `at`, printed as `Printed` with `format`.
template <typename T, typename Printed = T>
void appendAs(std::string& line, const unsigned char* at, const char* format) {
    T value;
    std::memcpy(&value, at, sizeof value);
    char text[40];
    std::snprintf(text, sizeof text, format, static_cast<Printed>(value));
    line += text;
}

// One element of a packed row as CSV text.
void appendElement(std::string& line, Hdf5File::Type type, const unsigned char* at) {
    switch (type) {
        case Hdf5File::Type::kU8: return appendAs<uint8_t, unsigned>(line, at, "%u");
        case Hdf5File::Type::kI32: return appendAs<int32_t>(line, at, "%" PRId32);
        case Hdf5File::Type::kU32: return appendAs<uint32_t>(line, at, "%" PRIu32);
        case Hdf5File::Type::kI64: return appendAs<int64_t>(line, at, "%" PRId64);
        case Hdf5File::Type::kU64: return appendAs<uint64_t>(line, at, "%" PRIu64);
        // Nine digits: every value that crossed the wire (single precision)
        // comes back exactly; a quick look needs no more.
        case Hdf5File::Type::kF64: return appendAs<double>(line, at, "%.9g");
    }
}

class CsvCycleWriter : public CycleWriter {
public:
    CsvCycleWriter(const std::string& path, const RecordingLayout& layout) : path_(path), layout_(layout) {
        file_.reset(std::fopen(path.c_str(), "w"));
        if (!file_) fail("cannot create the file");
        std::string header;
        for (const CycleColumn& column : kCycleColumns) {
            if (column.csv == CycleColumn::Csv::kOmitted) continue;
            const std::vector<std::string> entries = entryNames(column);
            for (const std::string& entry : entries) {
                if (!header.empty()) header += ',';
                header += column.path;
                if (!entry.empty()) header += "/" + entry;
            }
        }
        header += '\n';
        write(header);
    }

    void append(const CycleSample* samples, std::size_t count) override {
        std::string line;
        std::vector<unsigned char> row;
        for (std::size_t i = 0; i < count; ++i) {
            line.clear();
            for (const CycleColumn& column : kCycleColumns) {
                if (column.csv == CycleColumn::Csv::kOmitted) continue;
                const std::size_t elements = rowElements(column);
                const std::size_t bytes = elementBytes(column.type);
                row.resize(elements * bytes);
                column.fill(samples[i], layout_, row.data());
                if (!line.empty()) line += ',';
                if (column.csv == CycleColumn::Csv::kSpaced) {
                    // Codes are never 0: the zeros only pad the row.
                    bool first = true;
                    for (std::size_t e = 0; e < elements; ++e) {
                        int32_t code;
                        std::memcpy(&code, row.data() + e * bytes, sizeof code);
                        if (code == 0) continue;
                        if (!first) line += ' ';
                        appendElement(line, column.type, row.data() + e * bytes);
                        first = false;
                    }
                    continue;
                }
                for (std::size_t e = 0; e < elements; ++e) {
                    if (e > 0) line += ',';
                    appendElement(line, column.type, row.data() + e * bytes);
                }
            }
            line += '\n';
            write(line);
        }
    }

    void flush() override {
        if (std::fflush(file_.get()) != 0) fail("cannot write");
    }

    void finish(uint64_t, uint64_t) override {
        if (!file_) return;
        if (std::fclose(file_.release()) != 0) fail("cannot complete the file");
    }

private:
    static std::vector<std::string> entryNames(const CycleColumn& column) {
        switch (column.entries) {
            case CycleColumn::Entries::kMotors: return names(kJointNames.data(), kJointNames.size());
            case CycleColumn::Entries::kPose: return names(kPoseNames.data(), kPoseNames.size());
            default: return {""};
        }
    }

    void write(const std::string& text) {
        if (std::fwrite(text.data(), 1, text.size(), file_.get()) != text.size()) fail("cannot write");
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("CSV file '" + path_ + "': " + what + ": " + std::strerror(errno));
    }

    std::string path_;
    RecordingLayout layout_;
    std::unique_ptr<FILE, int (*)(FILE*)> file_{nullptr, &std::fclose};
};

}  // namespace

std::unique_ptr<CycleWriter> openCycleWriter(const std::string& path, RecordingFormat format,
                                             const RecordingLayout& layout) {
    if (format == RecordingFormat::kCsv) return std::make_unique<CsvCycleWriter>(path, layout);
    return std::make_unique<Hdf5CycleWriter>(path, layout);
}

void CycleTally::add(const CycleSample* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const uint64_t cycle = samples[i].cycle;
        if (written_ > 0 && cycle > last_ + 1) lost_ += cycle - last_ - 1;
        last_ = cycle;
        ++written_;
    }
}

}  // namespace qel::recording
