// Conversions between the library's byte strings and Python's texts.
#include "bindings.hpp"

namespace qzpy {

py::str text(const std::string& bytes) {
    PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

py::dict dict(const std::map<std::string, std::string>& rows) {
    py::dict out;
    for (const auto& [key, value] : rows) out[text(key)] = text(value);
    return out;
}

std::string path(const py::object& value) {
    std::string encoded = py::bytes(py::module_::import("os").attr("fsencode")(value));
    // The system would read the name only up to the first null byte: another file.
    if (encoded.find('\0') != std::string::npos) throw py::value_error("embedded null byte in path");
    return encoded;
}

py::object stateOf(int value) { return py::module_::import("qzws").attr("State")(value); }

py::object fileResultOf(int value) { return py::module_::import("qzws").attr("FileResult")(value); }

}  // namespace qzpy
