// The compiled part of the Python package qzws; qzws/__init__.py gives the
// public names.
#include "bindings.hpp"
#include "qz/ws.hpp"
#include "qzws_version.hpp"

PYBIND11_MODULE(_qzws, m) {
    m.doc() = "Compiled part of qzws; import qzws instead.";
    m.attr("__version__") = QZWS_VERSION;
    m.def(
        "state_text", [](int state) { return qz::to_string(static_cast<qz::WS::EState>(state)); },
        "C++ qz::to_string.");
    m.def(
        "file_result_text", [](int result) { return qz::to_string(static_cast<qz::EFileResult>(result)); },
        "C++ qz::to_string.");
    qzpy::bindErrors(m);
    qzpy::bindStats(m);
    qzpy::bindClient(m);
}
