#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

namespace qel::python {

// A Python IntEnum of the module with these members and this docstring, so
// that values compare and print as the names hosts read in the docs.
inline pybind11::object makeIntEnum(const char* name,
                                    std::initializer_list<std::pair<const char*, int>> members,
                                    const char* doc) {
    pybind11::dict values;
    for (const auto& [member, value] : members) values[member] = value;
    pybind11::object type = pybind11::module_::import("enum").attr("IntEnum")(
        name, values, pybind11::arg("module") = "qel_m4");
    type.attr("__doc__") = doc;
    return type;
}

// A namedtuple type of the module with these fields and this docstring.
inline pybind11::object makeNamedTuple(const char* name, std::initializer_list<const char*> fields,
                                       const char* doc) {
    pybind11::tuple names(fields.size());
    std::size_t i = 0;
    for (const char* field : fields) names[i++] = field;
    pybind11::object type = pybind11::module_::import("collections").attr("namedtuple")(name, names);
    type.attr("__module__") = "qel_m4";
    type.attr("__doc__") = doc;
    return type;
}

}  // namespace qel::python
