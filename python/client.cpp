// qzws.WS: the client, with the GIL released while it waits on the network.
//
// One qz::WS must be used by one thread at a time. Python threads can reach
// the same object at once once the GIL is released, so every call holds the
// client's lock; it is recursive because a progress callback may call back
// into the client on the same thread.
#include <pybind11/stl.h>

#include <libxml/parser.h>

#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include "bindings.hpp"
#include "qz/ws.hpp"

namespace qzpy {

namespace {

struct Client {
    qz::WS ws;
    std::recursive_mutex busy;
};

// Runs `work` on the client without the GIL and with the client's lock; the
// result is turned into Python objects only after the GIL is back.
template <class Work>
auto locked(Client& c, Work&& work) {
    py::gil_scoped_release released;
    std::lock_guard<std::recursive_mutex> hold(c.busy);
    return work(c.ws);
}

// A call that returns the client, for chaining; defined with kSelf, so
// that Python gets back the very object it called.
template <class Work>
Client& chained(Client& self, Work&& work) {
    locked(self, [&](qz::WS& ws) {
        work(ws);
        return 0;
    });
    return self;
}

constexpr auto kSelf = py::return_value_policy::reference;

// Thrown through the engine when the Python callback raised; the Python
// error itself waits in Progress until the GIL is back.
struct CallbackRaised {};

struct Progress {
    py::object callable;
    std::optional<py::error_already_set> raised;
};

void onProgress(const qz::GlobalStateAndStats& stats, void* user) {
    auto& progress = *static_cast<Progress*>(user);
    py::gil_scoped_acquire gil;
    try {
        progress.callable(qz::GlobalStateAndStats(stats));
    } catch (py::error_already_set& e) {
        progress.raised = std::move(e);
        throw CallbackRaised{};
    }
}

qz::GlobalStateAndStats upload(Client& c, py::object callable) {
    // Found out now rather than at the first progress call, with the job half sent.
    if (!callable.is_none() && !PyCallable_Check(callable.ptr())) throw py::type_error("progress is not callable");
    Progress progress{std::move(callable), std::nullopt};
    std::optional<qz::GlobalStateAndStats> result;
    {
        py::gil_scoped_release released;
        std::lock_guard<std::recursive_mutex> hold(c.busy);
        // The engine keeps the callback; it must not outlive `progress`.
        struct Unhook {
            qz::Control& control;
            ~Unhook() { control.setStatsCallback(nullptr, nullptr); }
        } unhook{c.ws.control};
        try {
            result = c.ws.uploadQueuedFiles(progress.callable.is_none() ? nullptr : onProgress, &progress);
        } catch (const CallbackRaised&) {
        }
    }
    if (progress.raised) {
        py::error_already_set raised = std::move(*progress.raised);
        progress.raised.reset();
        throw raised;
    }
    return std::move(*result);
}

// Defines a read-only property for a field of qz::WS.
template <class Field>
void field(py::class_<Client>& c, const char* name, Field qz::WS::*member, const char* doc) {
    c.def_property_readonly(
        name,
        [member](Client& self) -> py::object {
            auto value = locked(self, [member](qz::WS& ws) { return ws.*member; });
            if constexpr (std::is_same_v<Field, std::string>) {
                return text(value);
            } else {
                return py::cast(value);
            }
        },
        doc);
}

using StringMap = qz::WS::StringMap;

}  // namespace

void bindClient(py::module_& m) {
    py::class_<Client> c(m, "WS", R"(One client of a job server (C++ qz::WS).

It logs in, creates a job from an order form, queues local files, uploads
them through the transfer engine and finalizes the job:

    ws = qzws.WS()
    ws.login(url, user, password).create_job("Upload", {"project": "north"})
    ws.queue_recursive_directory("/data/run1")
    stats = ws.upload_queued_files(progress=lambda s: print(s.total_bytes_transferred))

Operations that return the client can be chained. Errors that the client
detects are raised as qzws.Error, libcurl's as qzws.TransportError. While a
call waits on the network other Python threads run; calls on one client
from several threads take turns.)");

    c.def(py::init<>(), "A client in state UNKNOWN with a fresh key; creates no file and sends nothing.")
        .def_static("initialize_third_party_libs", &qz::WS::initialize_third_party_libs,
                    "Sets up libcurl and libxml2; call once per process before any request "
                    "(C++ initialize_third_party_libs).")
        .def_static(
            "library_info", [] { return dict(qz::WS::library_info()); },
            "Versions of the library and of what it works with: nine rows (C++ library_info).")
        .def(
            "reset", [](Client& self) -> Client& { return chained(self, [](qz::WS& ws) { ws.reset(); }); }, kSelf,
            "Removes the cookie file, forgets the login and the job, restores the default settings "
            "(C++ reset).")
        .def(
            "logout", [](Client& self) -> Client& { return chained(self, [](qz::WS& ws) { ws.logout(); }); }, kSelf,
            "The same as reset; nothing is sent to the server (C++ logout).")
        .def(
            "get_state", [](Client& self) { return stateOf(locked(self, [](qz::WS& ws) { return ws.get_state(); })); },
            "The client's place in the life of a job, a State (C++ get_state).")
        .def(
            "get_map", [](Client& self) { return dict(locked(self, [](qz::WS& ws) { return ws.get_map(); })); },
            "The whole client as a flat dict of texts (C++ get_map).")
        .def(
            "set_x",
            [](Client& self, const StringMap& settings) -> Client& {
                return chained(self, [&](qz::WS& ws) { ws.setX(settings); });
            },
            kSelf, py::arg("settings"),
            "Settings by key: \"verbose\", \"sslverifyhost\", \"sslverifypeer\", \"useragent\", \"baseurl\", "
            "\"timeout\", \"connecttimeout\". What is refused is reported in `message` (C++ setX).")
        .def(
            "get_x",
            [](Client& self, StringMap settings) {
                return dict(locked(self, [&](qz::WS& ws) {
                    ws.getX(settings);
                    return settings;
                }));
            },
            py::arg("settings"),
            "Returns `settings` with \"useragent\", \"cookies\", \"timeout\" and \"connecttimeout\" filled in "
            "where the caller put those keys (C++ getX).")
        .def(
            "encrypt",
            [](Client& self, const std::string& value) {
                return text(locked(self, [&](qz::WS& ws) { return ws.encrypt(value); }));
            },
            py::arg("text"), "Scrambles a value with the client's key (C++ encrypt).")
        .def(
            "decrypt",
            [](Client& self, const std::string& value) {
                return text(locked(self, [&](qz::WS& ws) { return ws.decrypt(value); }));
            },
            py::arg("text"), "Undoes encrypt (C++ decrypt).")
        .def(
            "send_request",
            [](Client& self, const std::string& url, const std::string& body) -> py::object {
                auto answer = locked(self, [&](qz::WS& ws) -> std::optional<std::string> {
                    std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc(ws.send_request(url, body), xmlFreeDoc);
                    if (!doc) return std::nullopt;
                    return ws.xmlResponse;
                });
                if (!answer) return py::none();
                return text(*answer);
            },
            py::arg("url"), py::arg("body") = "",
            "One GET (empty body) or POST; returns the XML answer as text, or None when it was not XML "
            "(C++ send_request, which returns the parsed document).")
        .def(
            "login",
            [](Client& self, const std::string& url, const std::string& user, const std::string& password) -> Client& {
                return chained(self, [&](qz::WS& ws) { ws.login(url, user, password); });
            },
            kSelf, py::arg("base_url"), py::arg("username"), py::arg("password"),
            "UNKNOWN -> LOGIN_DONE when the server reports success (C++ login).")
        .def(
            "create_job",
            [](Client& self, const std::string& form, const StringMap& fields) -> Client& {
                return chained(self, [&](qz::WS& ws) { ws.createJob(form, fields); });
            },
            kSelf, py::arg("order_form"), py::arg("fields") = StringMap(),
            "LOGIN_DONE -> JOB_CREATED, from an order form of the login answer (C++ createJob).")
        .def(
            "do_nothing", [](Client& self) -> Client& { return chained(self, [](qz::WS& ws) { ws.doNothing(); }); },
            kSelf, "Keep-alive: one request whose answer is thrown away (C++ doNothing).")
        .def(
            "upload_summary_log",
            [](Client& self, const qz::GlobalStateAndStats& stats) -> Client& {
                return chained(self, [&](qz::WS& ws) { ws.uploadSummaryLog(stats); });
            },
            kSelf, py::arg("stats"), "UPLOAD_DONE -> LOG_DONE: sends the engine's summary log (C++ uploadSummaryLog).")
        .def(
            "finalize_job",
            [](Client& self, const qz::GlobalStateAndStats& stats) -> Client& {
                return chained(self, [&](qz::WS& ws) { ws.finalizeJob(stats); });
            },
            kSelf, py::arg("stats"), "LOG_DONE -> FINALIZE_DONE: reports the files, sizes and total (C++ finalizeJob).")
        .def(
            "set_options",
            [](Client& self, const std::string& answer) -> Client& {
                return chained(self, [&](qz::WS& ws) {
                    std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc(
                        xmlReadMemory(answer.data(), static_cast<int>(answer.size()), nullptr, nullptr,
                                      XML_PARSE_NONET),
                        xmlFreeDoc);
                    if (!doc) throw py::value_error("set_options: the answer is not XML");
                    ws.set_options(doc.get());
                });
            },
            kSelf, py::arg("answer"),
            "Configures the engine from the \"ftp\" element of an XML answer given as text (C++ set_options).")
        .def(
            "queue_single_file",
            [](Client& self, const py::object& file) -> Client& {
                const std::string local = path(file);
                return chained(self, [&](qz::WS& ws) { ws.queueSingleFile(local); });
            },
            kSelf, py::arg("path"), "Queues one regular file under its base name (C++ queueSingleFile).")
        .def(
            "queue_recursive_directory",
            [](Client& self, const py::object& folder, const std::string& remote, bool followLinks) -> Client& {
                const std::string local = path(folder);
                return chained(self, [&](qz::WS& ws) {
                    ws.control.setFolderLinks(followLinks ? qz::eFollowFolderLinks : qz::eSkipFolderLinks);
                    ws.queueRecursiveDirectory(local, remote);
                });
            },
            kSelf, py::arg("path"), py::arg("remote") = ".", py::arg("follow_links") = false,
            "Queues every file below a folder, by its relative path under `remote` (\".\": the top). Links "
            "to folders are skipped with a notice (Stats.skipped) unless follow_links (C++ "
            "queueRecursiveDirectory, Control::setFolderLinks).")
        .def("upload_queued_files", &upload, py::arg("progress") = py::none(),
             R"(FILE_QUEUE -> ... -> FINISHED: connects, uploads, sends the summary log
and finalizes the job; returns the final Stats (C++ uploadQueuedFiles).

`progress` is any callable taking a Stats; it runs on the calling thread a
few times a second and once at the end. An exception it raises stops the
upload, leaves the job unfinished on the server and reaches the caller.)")
        .def_property_readonly(
            "stats",
            [](Client& self) { return locked(self, [](qz::WS& ws) { return ws.control.getGlobalStateAndStats(); }); },
            "The engine's statistics now, also after a failed upload: which files arrived "
            "(C++ control.getGlobalStateAndStats()).")
        .def_property_readonly(
            "state", [](Client& self) { return stateOf(locked(self, [](qz::WS& ws) { return ws.state; })); },
            "The same as get_state() (C++ state).");

    field(c, "recent_url", &qz::WS::recentUrl, "URL of the most recent request (C++ recentUrl).");
    field(c, "xml_response", &qz::WS::xmlResponse, "Most recent answer that parsed as XML (C++ xmlResponse).");
    field(c, "raw_response", &qz::WS::rawResponse,
          "Most recent answer, as received or de-scrambled (C++ rawResponse).");
    field(c, "http_response_code", &qz::WS::httpResponseCode,
          "HTTP code of the most recent answer (C++ httpResponseCode).");
    field(c, "success_flag", &qz::WS::successFlag,
          "Whether the most recent answer reported success (C++ successFlag).");
    field(c, "message", &qz::WS::message, "Text of the last error or report (C++ message).");
    field(c, "verbose", &qz::WS::verbose, "libcurl verbose output and debug dumps (C++ verbose).");
    field(c, "ssl_verify_host", &qz::WS::sslVerifyHost, "C++ sslVerifyHost.");
    field(c, "ssl_verify_peer", &qz::WS::sslVerifyPeer, "C++ sslVerifyPeer.");
    field(c, "base_url", &qz::WS::baseUrl, "C++ baseUrl.");
    field(c, "login_username", &qz::WS::loginUsername, "C++ loginUsername.");
    field(c, "user_agent", &qz::WS::userAgent, "C++ userAgent.");
    field(c, "request_timeout", &qz::WS::requestTimeout, "Seconds for a whole request, 0: none (C++ requestTimeout).");
    field(c, "connect_timeout", &qz::WS::connectTimeout,
          "Seconds to connect, 0: libcurl's default (C++ connectTimeout).");
    field(c, "cookie_file", &qz::WS::cookieFile, "In the current working directory (C++ cookieFile).");
    field(c, "order_form_name", &qz::WS::orderFormName, "C++ orderFormName.");
    field(c, "order_form_type", &qz::WS::orderFormType, "C++ orderFormType.");
    field(c, "job_id", &qz::WS::jobId, "C++ jobId.");
    field(c, "ftp_username", &qz::WS::ftpUsername, "C++ ftpUsername.");
    field(c, "bandwidth_start", &qz::WS::bandwidthStart, "Bits per second (C++ bandwidthStart).");
    field(c, "bandwidth_max", &qz::WS::bandwidthMax, "Bits per second (C++ bandwidthMax).");
    field(c, "secure", &qz::WS::secure, "C++ secure.");
}

}  // namespace qzpy
