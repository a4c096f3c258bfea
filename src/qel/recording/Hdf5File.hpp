#pragma once

// A small writer of HDF5 files of growing tables: datasets that gain rows as
// a recording goes on (chunked, shuffled and deflate-compressed), with string
// and number attributes on the file and on each dataset, and its reading
// counterpart. They keep the HDF5 library out of every other header. Not for
// the control thread: every call does file I/O and may allocate.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel::recording {

class Hdf5File {
public:
    enum class Type { kU8, kI32, kU32, kI64, kU64, kF64 };
    // A dataset of this file, as dataset() returns it.
    using Dataset = std::size_t;
    // The file itself as the owner of attributes.
    static constexpr Dataset kRoot = static_cast<Dataset>(-1);

    // Creates the file at `path`, replacing one that exists. Throws
    // std::runtime_error naming the path if it cannot be created.
    explicit Hdf5File(const std::string& path);
    // Closes the file; errors are swallowed here (call close() to see them).
    ~Hdf5File();
    Hdf5File(const Hdf5File&) = delete;
    Hdf5File& operator=(const Hdf5File&) = delete;

    // A new dataset at `path` ("a/b/c"; missing groups are created) with rows
    // of `row_shape` elements of `type` (empty: one element per row), no rows
    // yet, stored in chunks of `chunk_rows` rows. Throws std::runtime_error.
    Dataset dataset(const std::string& path, Type type, const std::vector<std::size_t>& row_shape,
                    std::size_t chunk_rows);
    // The same with its "unit" and "description" attributes and, unless
    // empty, "columns" naming the entries of a row.
    Dataset describedDataset(const std::string& path, Type type, const std::vector<std::size_t>& row_shape,
                             std::size_t chunk_rows, const std::string& unit, const std::string& description,
                             const std::vector<std::string>& columns);
    // Appends `rows` rows, packed in `data` in the dataset's element type.
    // Throws std::runtime_error (the dataset then holds the rows before).
    void append(Dataset dataset, const void* data, std::size_t rows);

    // Attributes of `owner` (kRoot or a dataset); an existing one is replaced.
    // Strings are stored as variable-length UTF-8. Throw std::runtime_error.
    void attribute(Dataset owner, const std::string& name, const std::string& value);
    void attribute(Dataset owner, const std::string& name, const std::vector<std::string>& values);
    void attribute(Dataset owner, const std::string& name, int64_t value);
    void attribute(Dataset owner, const std::string& name, const std::vector<int64_t>& values);
    void attribute(Dataset owner, const std::string& name, double value);

    // Writes what is buffered to the disk. Throws std::runtime_error.
    void flush();
    // Closes every dataset and the file; later calls do nothing. Throws
    // std::runtime_error if the file could not be completed.
    void close();

    // The HDF5 library's version, e.g. "1.10.8".
    static std::string libraryVersion();

private:
    struct Table {
        int64_t id;
        Type type;
        std::vector<unsigned long long> row_shape;
        std::size_t rows;
    };

    int64_t ownerId(Dataset owner) const;
    [[noreturn]] void fail(const std::string& what) const;

    std::string path_;
    int64_t file_ = -1;
    std::vector<Table> tables_;
};

// An HDF5 file opened read-only, for what the library reads back (a
// recording to replay). Not for the control thread either.
class Hdf5Input {
public:
    // Throws std::runtime_error naming the path if it cannot be opened as an
    // HDF5 file.
    explicit Hdf5Input(const std::string& path);
    ~Hdf5Input();
    Hdf5Input(const Hdf5Input&) = delete;
    Hdf5Input& operator=(const Hdf5Input&) = delete;

    // Whether the dataset exists ("a/b/c").
    bool has(const std::string& dataset) const;
    // The whole dataset as numbers, row-major, and in `shape` its dimensions,
    // rows first. Throws std::runtime_error naming the dataset if it is
    // missing or does not hold numbers.
    std::vector<double> read(const std::string& dataset, std::vector<std::size_t>* shape) const;
    // The same for integers, exactly (time stamps in ns outgrow a double's
    // 53 bits after 104 days).
    std::vector<int64_t> readIntegers(const std::string& dataset, std::vector<std::size_t>* shape) const;
    // A text or number attribute of the file; false (and `value` untouched)
    // if there is none of that kind.
    bool attribute(const std::string& name, std::string* value) const;
    bool attribute(const std::string& name, double* value) const;

private:
    [[noreturn]] void fail(const std::string& what) const;

    std::string path_;
    int64_t file_ = -1;
};

}  // namespace qel::recording
