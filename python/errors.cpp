// Errors of the library as Python exceptions. The classes live in
// qzws/__init__.py, so that they can be documented and subclassed there.
#include <curlpp/Exception.hpp>

#include "bindings.hpp"
#include "qz/exception.hpp"

namespace qzpy {

namespace {

// Sets the pending Python error to an instance of the qzws class `name`.
void raise(const char* name, const py::tuple& arguments) {
    py::object type = py::module_::import("qzws").attr(name);
    PyErr_SetObject(type.ptr(), type(*arguments).ptr());
}

}  // namespace

void bindErrors(py::module_&) {
    // pybind11 takes translators of exactly this signature.
    // NOLINTNEXTLINE(performance-unnecessary-value-param)
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const qz::Exception& e) {
            raise("Error", py::make_tuple(text(e.what()), text(e.operation()), dict(e.diagnostics)));
        } catch (const curlpp::RuntimeError& e) {
            raise("TransportError", py::make_tuple(text(e.what())));
        } catch (const curlpp::LogicError& e) {
            raise("TransportError", py::make_tuple(text(e.what())));
        }
    });
}

}  // namespace qzpy
