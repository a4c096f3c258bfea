#include "support/Hdf5Reader.hpp"

#include <hdf5.h>

#include <algorithm>
#include <stdexcept>

namespace qel::test {
namespace {

// An attribute of the file or of one of its datasets, open while this lives.
class Attribute {
public:
    Attribute(hid_t file, const std::string& name, const std::string& dataset)
        : owner_(dataset.empty() ? file : H5Dopen2(file, dataset.c_str(), H5P_DEFAULT)), own_owner_(!dataset.empty()) {
        id_ = owner_ >= 0 ? H5Aopen(owner_, name.c_str(), H5P_DEFAULT) : -1;
        if (id_ < 0) {
            close();
            throw std::runtime_error("no attribute " + name + " on '" + dataset + "'");
        }
        const hid_t space = H5Aget_space(id_);
        count_ = static_cast<std::size_t>(H5Sget_simple_extent_npoints(space));
        H5Sclose(space);
    }
    ~Attribute() { close(); }
    Attribute(const Attribute&) = delete;
    Attribute& operator=(const Attribute&) = delete;
    hid_t id() const { return id_; }
    std::size_t count() const { return count_; }

private:
    void close() {
        if (id_ >= 0) H5Aclose(id_);
        if (own_owner_ && owner_ >= 0) H5Dclose(owner_);
        id_ = -1;
        owner_ = -1;
    }
    hid_t owner_;
    bool own_owner_;
    hid_t id_ = -1;
    std::size_t count_ = 0;
};

}  // namespace

std::size_t Hdf5Dataset::width() const {
    std::size_t n = 1;
    for (std::size_t i = 1; i < shape.size(); ++i) n *= shape[i];
    return n;
}

Hdf5Reader::Hdf5Reader(const std::string& path) {
    file_ = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file_ < 0) throw std::runtime_error("cannot open HDF5 file " + path);
}

Hdf5Reader::~Hdf5Reader() { H5Fclose(file_); }

bool Hdf5Reader::has(const std::string& dataset) const {
    // Checked level by level: H5Lexists wants every parent to exist.
    std::size_t at = 0;
    while (true) {
        const std::size_t slash = dataset.find('/', at);
        const std::string part = dataset.substr(0, slash);
        if (H5Lexists(file_, part.c_str(), H5P_DEFAULT) <= 0) return false;
        if (slash == std::string::npos) return true;
        at = slash + 1;
    }
}

Hdf5Dataset Hdf5Reader::read(const std::string& dataset) const {
    if (!has(dataset)) throw std::runtime_error("no dataset " + dataset);
    const hid_t id = H5Dopen2(file_, dataset.c_str(), H5P_DEFAULT);
    const hid_t space = H5Dget_space(id);
    const int rank = H5Sget_simple_extent_ndims(space);
    std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
    H5Sget_simple_extent_dims(space, dims.data(), nullptr);
    Hdf5Dataset out;
    std::size_t count = 1;
    for (const hsize_t d : dims) {
        out.shape.push_back(static_cast<std::size_t>(d));
        count *= static_cast<std::size_t>(d);
    }
    out.values.resize(count);
    if (count > 0) H5Dread(id, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.values.data());
    H5Sclose(space);
    H5Dclose(id);
    if (H5Aexists_by_name(file_, dataset.c_str(), "unit", H5P_DEFAULT) > 0) out.unit = text("unit", dataset);
    return out;
}

std::vector<int64_t> Hdf5Reader::integers(const std::string& dataset) const {
    const std::size_t count = read(dataset).values.size();
    std::vector<int64_t> out(count);
    const hid_t id = H5Dopen2(file_, dataset.c_str(), H5P_DEFAULT);
    if (count > 0) H5Dread(id, H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data());
    H5Dclose(id);
    return out;
}

std::string Hdf5Reader::text(const std::string& name, const std::string& dataset) const {
    const std::vector<std::string> all = texts(name, dataset);
    if (all.size() != 1) throw std::runtime_error("attribute " + name + " is not one text");
    return all[0];
}

std::vector<std::string> Hdf5Reader::texts(const std::string& name, const std::string& dataset) const {
    const Attribute attribute(file_, name, dataset);
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    std::vector<char*> raw(attribute.count(), nullptr);
    const bool read = H5Aread(attribute.id(), type, raw.data()) >= 0;
    H5Tclose(type);
    if (!read) throw std::runtime_error("attribute " + name + " is not text");
    std::vector<std::string> out;
    for (char* s : raw) {
        out.emplace_back(s != nullptr ? s : "");
        H5free_memory(s);
    }
    return out;
}

std::vector<double> Hdf5Reader::numbers(const std::string& name, const std::string& dataset) const {
    const Attribute attribute(file_, name, dataset);
    std::vector<double> out(attribute.count());
    if (H5Aread(attribute.id(), H5T_NATIVE_DOUBLE, out.data()) < 0) {
        throw std::runtime_error("attribute " + name + " is not a number");
    }
    return out;
}

std::vector<std::string> Hdf5Reader::datasets() const {
    std::vector<std::string> out;
    H5Ovisit(
        file_, H5_INDEX_NAME, H5_ITER_INC,
        [](hid_t, const char* name, const H5O_info_t* info, void* data) -> herr_t {
            if (info->type == H5O_TYPE_DATASET) static_cast<std::vector<std::string>*>(data)->push_back(name);
            return 0;
        },
        &out);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace qel::test
