#pragma once
// The parts of the Python module qzws._qzws, one function per concern; the
// module definition (module.cpp) calls them in this order.

#include <pybind11/pybind11.h>

#include <map>
#include <string>

namespace qzpy {

namespace py = pybind11;

// Texts cross into Python as str without losing a byte: what is not UTF-8
// (a server's words, a file name) arrives as surrogate escapes, the way
// os.fsdecode gives names, and os.fsencode gives the bytes back.
py::str text(const std::string& bytes);
py::dict dict(const std::map<std::string, std::string>& rows);
// A path from Python (str, bytes or os.PathLike) as the bytes the system uses.
std::string path(const py::object& value);

// Settings that the client refused, raised as qzws.SettingError.
struct SettingRefused {
    std::string message;
    std::map<std::string, std::string> diagnostics;
};

// qz::Exception and libcurl's errors become qzws.Error and its subclasses.
void bindErrors(py::module_& m);
// The engine's statistics: Stats with FileStats per file.
void bindStats(py::module_& m);
// The client, WS.
void bindClient(py::module_& m);

// Instances of the enumerations defined in qzws/__init__.py.
py::object stateOf(int value);
py::object fileResultOf(int value);

}  // namespace qzpy
