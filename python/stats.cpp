// The engine's statistics as read-only Python objects: Stats for the run,
// FileStats for each file. They are copies, so a Stats kept from a progress
// call still tells what was true at that call.
#include "bindings.hpp"
#include "qz/stats.hpp"

namespace qzpy {

namespace {

using Run = qz::GlobalStateAndStats;
using File = qz::TransferStats;

// One file's record; new fields of qz::TransferStats belong here.
void bindFileRecord(py::class_<File>& c) {
    c.def_property_readonly(
         "local", [](const File& f) { return text(f.local.full()); },
         "Local path as queued (C++ local.full()); bytes that are not UTF-8 as "
         "surrogate escapes, see os.fsencode.")
        .def_property_readonly(
            "remote", [](const File& f) { return text(f.remote.full()); },
            "Name on the transfer server (C++ remote.full()).")
        .def_property_readonly(
            "file_size", [](const File& f) { return f.fileSize; }, "Bytes, as measured when queued (C++ fileSize).")
        .def_property_readonly(
            "bytes_sent", [](const File& f) { return f.bytesSent; },
            "Bytes the server holds of this file (C++ bytesSent).")
        .def_property_readonly(
            "attempts", [](const File& f) { return f.attempts; }, "Transfers started for this file (C++ attempts).")
        .def_property_readonly(
            "result", [](const File& f) { return fileResultOf(static_cast<int>(f.result)); },
            "A FileResult: PENDING, SENDING, DONE or FAILED (C++ result).")
        .def_property_readonly(
            "error_text", [](const File& f) { return text(f.errorText); },
            "Why the last attempt failed, \"\" if none (C++ errorText).")
        .def_property_readonly(
            "via_link", [](const File& f) { return f.viaLink; },
            "True when the file was reached through a symbolic link (C++ viaLink).")
        .def_property_readonly(
            "sha256", [](const File& f) { return f.sha256; },
            "SHA-256 of the content sent, lower-case hex; \"\" until the file is done "
            "(C++ sha256).")
        .def_property_readonly(
            "verified_by_hash", [](const File& f) { return f.verifiedByHash; },
            "True when the server's own SHA-256 of the stored file matched (C++ verifiedByHash).")
        .def_property_readonly(
            "verified_by", [](const File& f) { return qz::to_string(f.verifiedBy); },
            "What proved the file's arrival: \"hash\", \"size\", \"listing\" or \"transfer reply\" "
            "(nothing was compared); \"\" until it is stored (C++ verifiedBy).");
}

}  // namespace

void bindStats(py::module_& m) {
    py::class_<File> file(m, "FileStats", "What the engine knows about one queued file (C++ qz::TransferStats).");
    file.attr("__module__") = "qzws";
    bindFileRecord(file);
    file.def("__repr__", [](const File& f) {
        return py::str("<FileStats {!r} {}/{} bytes {}>")
            .format(text(f.remote.full()), f.bytesSent, f.fileSize, text(qz::to_string(f.result)));
    });

    py::class_<Run> run(m, "Stats",
                        "Totals and per-file records of an upload (C++ qz::GlobalStateAndStats), as handed to "
                        "the progress callback and returned by WS.upload_queued_files.");
    run.attr("__module__") = "qzws";
    run.def_property_readonly(
           "total_bytes_transferred", [](const Run& s) { return s.totalBytesTransferred; },
           "Bytes that reached the server (C++ totalBytesTransferred).")
        .def_property_readonly(
            "total_bytes", [](const Run& s) { return s.totalBytes; }, "Bytes queued (C++ totalBytes).")
        .def_property_readonly(
            "files_done", [](const Run& s) { return s.filesDone; }, "C++ filesDone.")
        .def_property_readonly(
            "files_failed", [](const Run& s) { return s.filesFailed; }, "C++ filesFailed.")
        .def_property_readonly(
            "files_total", [](const Run& s) { return s.filesTotal; }, "C++ filesTotal.")
        .def_property_readonly(
            "current_rate", [](const Run& s) { return s.currentRate; },
            "Recent rate in bits per second (C++ currentRate).")
        .def_property_readonly(
            "elapsed_seconds", [](const Run& s) { return s.elapsedSeconds; },
            "Seconds since the upload began (C++ elapsedSeconds).")
        .def_property_readonly(
            "finished", [](const Run& s) { return s.finished; }, "True in the final progress call (C++ finished).")
        .def_property_readonly(
            "files",
            [](const Run& s) {
                py::dict out;
                for (const auto& [number, record] : s.fileMap) out[py::int_(number)] = py::cast(record);
                return out;
            },
            "FileStats by the engine's file number, from 1 in queue order, which is also the order of "
            "iteration (C++ fileMap).")
        .def_property_readonly(
            "skipped",
            [](const Run& s) {
                py::list out;
                for (const auto& entry : s.skipped) out.append(py::make_tuple(text(entry.local), text(entry.reason)));
                return out;
            },
            "(local path, reason) of each entry the queue skipped with a notice: links to folders "
            "not followed, loops, dangling links (C++ skipped).")
        .def("__repr__", [](const Run& s) {
            return py::str("<Stats {}/{} bytes, {}/{} files{}>")
                .format(s.totalBytesTransferred, s.totalBytes, s.filesDone, s.filesTotal,
                        s.finished ? ", finished" : "");
        });
}

}  // namespace qzpy
