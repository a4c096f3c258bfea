#pragma once

// Reads back the HDF5 files the recorder writes, with the HDF5 C library
// directly, so that a test checks the file as any reader would see it rather
// than through the writer's own code.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel::test {

// One dataset read whole: its shape and its values converted to double
// (every integer the recorder writes fits a double exactly).
struct Hdf5Dataset {
    std::vector<std::size_t> shape;  // rows first
    std::vector<double> values;      // row-major
    std::string unit;                // its "unit" attribute, empty if none

    std::size_t rows() const { return shape.empty() ? 0 : shape[0]; }
    // Elements per row.
    std::size_t width() const;
    double at(std::size_t row, std::size_t column = 0) const { return values[row * width() + column]; }
};

// An HDF5 file opened read-only. Throws std::runtime_error if it cannot be
// opened, and for a dataset or attribute that is not there.
class Hdf5Reader {
public:
    explicit Hdf5Reader(const std::string& path);
    ~Hdf5Reader();
    Hdf5Reader(const Hdf5Reader&) = delete;
    Hdf5Reader& operator=(const Hdf5Reader&) = delete;

    bool has(const std::string& dataset) const;
    Hdf5Dataset read(const std::string& dataset) const;
    // An integer dataset's values exactly (a double holds only 53 bits).
    std::vector<int64_t> integers(const std::string& dataset) const;
    // Attributes of the file (dataset empty) or of a dataset.
    std::string text(const std::string& name, const std::string& dataset = "") const;
    std::vector<std::string> texts(const std::string& name, const std::string& dataset = "") const;
    std::vector<double> numbers(const std::string& name, const std::string& dataset = "") const;
    // Every dataset's path, sorted ("cycle", "measured/position", ...).
    std::vector<std::string> datasets() const;

private:
    int64_t file_;
};

}  // namespace qel::test
