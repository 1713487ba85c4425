// Errors of the library as Python exceptions. The classes live in
// qzws/__init__.py, so that they can be documented and subclassed there.
#include <curlpp/Exception.hpp>

#include <cerrno>
#include <cstring>

#include "bindings.hpp"
#include "qz/exception.hpp"

namespace qzpy {

namespace {

// Sets the pending Python error to an instance of the qzws class `name`.
void raise(const char* name, const py::tuple& arguments) {
    py::object type = py::module_::import("qzws").attr(name);
    PyErr_SetObject(type.ptr(), type(*arguments).ptr());
}

// The engine refuses a path that does not exist with the system's words
// for it and names the path in the diagnostics.
bool namesMissingPath(const qz::Exception& e) {
    static const std::string missing = std::string(": ") + std::strerror(ENOENT);
    const std::string message = e.what();
    return e.diagnostics.count("path") != 0 && message.size() >= missing.size() &&
           message.compare(message.size() - missing.size(), missing.size(), missing) == 0;
}

}  // namespace

void bindErrors(py::module_&) {
    // pybind11 takes translators of exactly this signature.
    // NOLINTNEXTLINE(performance-unnecessary-value-param)
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const qz::Exception& e) {
            raise(namesMissingPath(e) ? "PathNotFoundError" : "Error",
                  py::make_tuple(text(e.what()), text(e.operation()), dict(e.diagnostics)));
        } catch (const SettingRefused& e) {
            raise("SettingError", py::make_tuple(text(e.message), "setX", dict(e.diagnostics)));
        } catch (const curlpp::RuntimeError& e) {
            raise("TransportError", py::make_tuple(text(e.what())));
        } catch (const curlpp::LogicError& e) {
            raise("TransportError", py::make_tuple(text(e.what())));
        }
    });
}

}  // namespace qzpy
