#include "qel/recording/Hdf5File.hpp"

#include <hdf5.h>

#include <functional>
#include <mutex>
#include <stdexcept>
#include <type_traits>

namespace qel::recording {
namespace {

static_assert(std::is_same_v<hid_t, int64_t>, "dataset handles are kept as int64_t");
static_assert(std::is_same_v<hsize_t, unsigned long long>, "row shapes are kept as unsigned long long");

// Our calls are serialised even where the library was built without its own
// lock: two controllers in one process record from two threads.
std::mutex& libraryMutex() {
    static std::mutex mutex;
    return mutex;
}

// While it exists: the library lock held and the library's own error printing
// off on this thread (failures come back as exceptions with the library's
// innermost message instead).
class Call {
public:
    Call() : lock_(libraryMutex()) {
        H5Eget_auto2(H5E_DEFAULT, &saved_function_, &saved_data_);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~Call() { H5Eset_auto2(H5E_DEFAULT, saved_function_, saved_data_); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

private:
    std::lock_guard<std::mutex> lock_;
    H5E_auto2_t saved_function_ = nullptr;
    void* saved_data_ = nullptr;
};

// The innermost error description on this thread's stack, or empty.
std::string libraryMessage() {
    std::string message;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned, const H5E_error2_t* error, void* out) -> herr_t {
            auto* text = static_cast<std::string*>(out);
            if (text->empty() && error->desc != nullptr) *text = error->desc;
            return 0;
        },
        &message);
    H5Eclear2(H5E_DEFAULT);
    return message;
}

hid_t nativeType(Hdf5File::Type type) {
    switch (type) {
        case Hdf5File::Type::kU8: return H5T_NATIVE_UINT8;
        case Hdf5File::Type::kI32: return H5T_NATIVE_INT32;
        case Hdf5File::Type::kU32: return H5T_NATIVE_UINT32;
        case Hdf5File::Type::kI64: return H5T_NATIVE_INT64;
        case Hdf5File::Type::kU64: return H5T_NATIVE_UINT64;
        case Hdf5File::Type::kF64: return H5T_NATIVE_DOUBLE;
    }
    return H5T_NATIVE_DOUBLE;
}

// Closes an identifier at the end of a scope.
class Handle {
public:
    Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    ~Handle() {
        if (id_ >= 0) close_(id_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    hid_t get() const { return id_; }
    bool ok() const { return id_ >= 0; }

private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

hid_t utf8String() {
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    return type;
}

}  // namespace

Hdf5File::Hdf5File(const std::string& path) : path_(path) {
    Call call;
    file_ = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    if (file_ < 0) fail("cannot create the file");
}

Hdf5File::~Hdf5File() {
    try {
        close();
    } catch (const std::exception&) {
        // The owner did not ask; a destructor must not throw.
    }
}

void Hdf5File::fail(const std::string& what) const {
    const std::string detail = libraryMessage();
    throw std::runtime_error("HDF5 file '" + path_ + "': " + what + (detail.empty() ? "" : " (" + detail + ")"));
}

int64_t Hdf5File::ownerId(Dataset owner) const {
    if (owner == kRoot) return file_;
    if (owner >= tables_.size()) throw std::invalid_argument("no such dataset");
    return tables_[owner].id;
}

Hdf5File::Dataset Hdf5File::dataset(const std::string& path, Type type,
                                    const std::vector<std::size_t>& row_shape, std::size_t chunk_rows) {
    Call call;
    std::vector<hsize_t> dims{0};
    std::vector<hsize_t> max_dims{H5S_UNLIMITED};
    std::vector<hsize_t> chunk{chunk_rows > 0 ? chunk_rows : 1};
    for (const std::size_t n : row_shape) {
        dims.push_back(n);
        max_dims.push_back(n);
        chunk.push_back(n);
    }
    const Handle space(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), max_dims.data()), H5Sclose);
    const Handle create(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    const Handle link(H5Pcreate(H5P_LINK_CREATE), H5Pclose);
    if (!space.ok() || !create.ok() || !link.ok()) fail("cannot describe dataset '" + path + "'");
    H5Pset_chunk(create.get(), static_cast<int>(chunk.size()), chunk.data());
    // Shuffling the bytes first makes slowly changing numbers compress well.
    H5Pset_shuffle(create.get());
    if (H5Zfilter_avail(H5Z_FILTER_DEFLATE) > 0) H5Pset_deflate(create.get(), 4);
    H5Pset_create_intermediate_group(link.get(), 1);
    const hid_t id = H5Dcreate2(file_, path.c_str(), nativeType(type), space.get(), link.get(),
                                create.get(), H5P_DEFAULT);
    if (id < 0) fail("cannot create dataset '" + path + "'");
    tables_.push_back({id, type, std::vector<hsize_t>(dims.begin() + 1, dims.end()), 0});
    return tables_.size() - 1;
}

Hdf5File::Dataset Hdf5File::describedDataset(const std::string& path, Type type,
                                             const std::vector<std::size_t>& row_shape, std::size_t chunk_rows,
                                             const std::string& unit, const std::string& description,
                                             const std::vector<std::string>& columns) {
    const Dataset id = dataset(path, type, row_shape, chunk_rows);
    attribute(id, "unit", unit);
    attribute(id, "description", description);
    if (!columns.empty()) attribute(id, "columns", columns);
    return id;
}

void Hdf5File::append(Dataset dataset, const void* data, std::size_t rows) {
    if (rows == 0) return;
    Call call;
    Table& table = tables_.at(dataset);
    std::vector<hsize_t> size{table.rows + rows};
    std::vector<hsize_t> start{table.rows};
    std::vector<hsize_t> count{rows};
    for (const hsize_t n : table.row_shape) {
        size.push_back(n);
        start.push_back(0);
        count.push_back(n);
    }
    if (H5Dset_extent(table.id, size.data()) < 0) fail("cannot extend a dataset");
    const Handle file_space(H5Dget_space(table.id), H5Sclose);
    const Handle memory_space(H5Screate_simple(static_cast<int>(count.size()), count.data(), nullptr), H5Sclose);
    if (!file_space.ok() || !memory_space.ok() ||
        H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr) < 0 ||
        H5Dwrite(table.id, nativeType(table.type), memory_space.get(), file_space.get(), H5P_DEFAULT, data) < 0) {
        fail("cannot write rows");
    }
    table.rows += rows;
}

void Hdf5File::attribute(Dataset owner, const std::string& name, const std::string& value) {
    Call call;
    const hid_t id = ownerId(owner);
    const Handle type(utf8String(), H5Tclose);
    const Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    if (H5Aexists(id, name.c_str()) > 0) H5Adelete(id, name.c_str());
    const Handle attribute(H5Acreate2(id, name.c_str(), type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    const char* text = value.c_str();
    if (!attribute.ok() || H5Awrite(attribute.get(), type.get(), &text) < 0) fail("cannot write attribute '" + name + "'");
}

void Hdf5File::attribute(Dataset owner, const std::string& name, const std::vector<std::string>& values) {
    Call call;
    const hid_t id = ownerId(owner);
    const Handle type(utf8String(), H5Tclose);
    const hsize_t n = values.size();
    const Handle space(H5Screate_simple(1, &n, nullptr), H5Sclose);
    if (H5Aexists(id, name.c_str()) > 0) H5Adelete(id, name.c_str());
    const Handle attribute(H5Acreate2(id, name.c_str(), type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    std::vector<const char*> texts;
    for (const std::string& value : values) texts.push_back(value.c_str());
    if (!attribute.ok() || H5Awrite(attribute.get(), type.get(), texts.data()) < 0) {
        fail("cannot write attribute '" + name + "'");
    }
}

void Hdf5File::attribute(Dataset owner, const std::string& name, int64_t value) {
    attribute(owner, name, std::vector<int64_t>{value});
}

void Hdf5File::attribute(Dataset owner, const std::string& name, const std::vector<int64_t>& values) {
    Call call;
    const hid_t id = ownerId(owner);
    const hsize_t n = values.size();
    // A single number is stored as a scalar, as readers expect of one.
    const Handle space(n == 1 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr), H5Sclose);
    if (H5Aexists(id, name.c_str()) > 0) H5Adelete(id, name.c_str());
    const Handle attribute(H5Acreate2(id, name.c_str(), H5T_NATIVE_INT64, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                           H5Aclose);
    if (!attribute.ok() || H5Awrite(attribute.get(), H5T_NATIVE_INT64, values.data()) < 0) {
        fail("cannot write attribute '" + name + "'");
    }
}

void Hdf5File::attribute(Dataset owner, const std::string& name, double value) {
    Call call;
    const hid_t id = ownerId(owner);
    const Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    if (H5Aexists(id, name.c_str()) > 0) H5Adelete(id, name.c_str());
    const Handle attribute(H5Acreate2(id, name.c_str(), H5T_NATIVE_DOUBLE, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                           H5Aclose);
    if (!attribute.ok() || H5Awrite(attribute.get(), H5T_NATIVE_DOUBLE, &value) < 0) {
        fail("cannot write attribute '" + name + "'");
    }
}

void Hdf5File::flush() {
    if (file_ < 0) return;
    Call call;
    if (H5Fflush(file_, H5F_SCOPE_LOCAL) < 0) fail("cannot flush");
}

void Hdf5File::close() {
    if (file_ < 0) return;
    Call call;
    bool ok = true;
    for (const Table& table : tables_) ok = H5Dclose(table.id) >= 0 && ok;
    tables_.clear();
    ok = H5Fclose(file_) >= 0 && ok;
    file_ = -1;
    if (!ok) fail("cannot complete the file");
}

Hdf5Input::Hdf5Input(const std::string& path) : path_(path) {
    Call call;
    if (H5Fis_hdf5(path.c_str()) <= 0) fail("cannot be opened as an HDF5 file");
    file_ = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file_ < 0) fail("cannot be opened");
}

Hdf5Input::~Hdf5Input() {
    Call call;
    if (file_ >= 0) H5Fclose(file_);
}

void Hdf5Input::fail(const std::string& what) const {
    const std::string detail = libraryMessage();
    throw std::runtime_error("HDF5 file '" + path_ + "': " + what + (detail.empty() ? "" : " (" + detail + ")"));
}

bool Hdf5Input::has(const std::string& dataset) const {
    Call call;
    // Level by level: H5Lexists wants every parent to exist.
    for (std::size_t at = 0;;) {
        const std::size_t slash = dataset.find('/', at);
        if (H5Lexists(file_, dataset.substr(0, slash).c_str(), H5P_DEFAULT) <= 0) return false;
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    const Handle object(H5Oopen(file_, dataset.c_str(), H5P_DEFAULT), H5Oclose);
    return object.ok() && H5Iget_type(object.get()) == H5I_DATASET;
}

namespace {

// Reads a whole dataset of numbers as `memory_type` (a native type of T).
template <typename T>
std::vector<T> readAll(hid_t file, const std::string& dataset, hid_t memory_type, std::vector<std::size_t>* shape,
                       const std::function<void(const std::string&)>& fail) {
    const Handle id(H5Dopen2(file, dataset.c_str(), H5P_DEFAULT), H5Dclose);
    const Handle space(id.ok() ? H5Dget_space(id.get()) : -1, H5Sclose);
    const Handle type(id.ok() ? H5Dget_type(id.get()) : -1, H5Tclose);
    if (!space.ok() || !type.ok()) fail("cannot open dataset '" + dataset + "'");
    const H5T_class_t kind = H5Tget_class(type.get());
    if (kind != H5T_INTEGER && kind != H5T_FLOAT) fail("dataset '" + dataset + "' does not hold numbers");
    const int rank = H5Sget_simple_extent_ndims(space.get());
    std::vector<hsize_t> dims(rank > 0 ? static_cast<std::size_t>(rank) : 0);
    if (rank > 0) H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
    shape->assign(dims.begin(), dims.end());
    std::size_t count = 1;
    for (const hsize_t d : dims) count *= static_cast<std::size_t>(d);
    std::vector<T> values(count);
    if (count > 0 && H5Dread(id.get(), memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0) {
        fail("cannot read dataset '" + dataset + "'");
    }
    return values;
}

}  // namespace

std::vector<double> Hdf5Input::read(const std::string& dataset, std::vector<std::size_t>* shape) const {
    if (!has(dataset)) fail("has no dataset '" + dataset + "'");
    Call call;
    return readAll<double>(file_, dataset, H5T_NATIVE_DOUBLE, shape, [this](const std::string& what) { fail(what); });
}

std::vector<int64_t> Hdf5Input::readIntegers(const std::string& dataset, std::vector<std::size_t>* shape) const {
    if (!has(dataset)) fail("has no dataset '" + dataset + "'");
    Call call;
    return readAll<int64_t>(file_, dataset, H5T_NATIVE_INT64, shape, [this](const std::string& what) { fail(what); });
}

bool Hdf5Input::attribute(const std::string& name, std::string* value) const {
    Call call;
    if (H5Aexists(file_, name.c_str()) <= 0) return false;
    const Handle attribute(H5Aopen(file_, name.c_str(), H5P_DEFAULT), H5Aclose);
    const Handle stored(attribute.ok() ? H5Aget_type(attribute.get()) : -1, H5Tclose);
    const Handle space(attribute.ok() ? H5Aget_space(attribute.get()) : -1, H5Sclose);
    if (!stored.ok() || !space.ok() || H5Tget_class(stored.get()) != H5T_STRING ||
        H5Tis_variable_str(stored.get()) <= 0 || H5Sget_simple_extent_npoints(space.get()) != 1) {
        return false;
    }
    const Handle type(utf8String(), H5Tclose);
    char* text = nullptr;
    if (H5Aread(attribute.get(), type.get(), &text) < 0) return false;
    *value = text != nullptr ? text : "";
    H5free_memory(text);
    return true;
}

bool Hdf5Input::attribute(const std::string& name, double* value) const {
    Call call;
    if (H5Aexists(file_, name.c_str()) <= 0) return false;
    const Handle attribute(H5Aopen(file_, name.c_str(), H5P_DEFAULT), H5Aclose);
    const Handle stored(attribute.ok() ? H5Aget_type(attribute.get()) : -1, H5Tclose);
    const Handle space(attribute.ok() ? H5Aget_space(attribute.get()) : -1, H5Sclose);
    if (!stored.ok() || !space.ok() || H5Sget_simple_extent_npoints(space.get()) != 1) return false;
    const H5T_class_t kind = H5Tget_class(stored.get());
    if (kind != H5T_INTEGER && kind != H5T_FLOAT) return false;
    return H5Aread(attribute.get(), H5T_NATIVE_DOUBLE, value) >= 0;
}

std::string Hdf5File::libraryVersion() {
    unsigned major = 0, minor = 0, release = 0;
    H5get_libversion(&major, &minor, &release);
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release);
}

}  // namespace qel::recording
