// qzws.WS: the client, with the GIL released while it waits on the network.
//
// One qz::WS must be used by one thread at a time. Python threads can reach
// the same object at once once the GIL is released, so every call holds the
// client's lock; it is recursive because a progress callback may call back
// into the client on the same thread.
#include <pybind11/stl.h>

#include <libxml/parser.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "qz/ws.hpp"

namespace qzpy {

namespace {

struct Client {
    qz::WS ws;
    std::recursive_mutex busy;
};

// Thrown through the library when a call must stop for Python: Ctrl-C, or
// an exception of the progress callable. The Python error itself waits in
// the Call until the GIL is back.
struct StoppedForPython {};

// One call into the client from Python. It runs without the GIL and under
// the client's lock, and stops within about a second at Ctrl-C: wherever
// the library waits (a request to the job server, the upload's progress
// reports) it asks whether the interpreter has a signal to handle, which
// takes the GIL only for that moment. Signals reach Python's handlers on
// the main thread only; on any other thread the check finds none.
class Call {
public:
    explicit Call(Client& c) : client_(c) {}

    template <class Work>
    auto run(Work&& work) {
        using Result = decltype(work(client_.ws));
        std::optional<std::conditional_t<std::is_void_v<Result>, int, Result>> result;
        try {
            py::gil_scoped_release released;
            std::lock_guard<std::recursive_mutex> hold(client_.busy);
            // A progress callable may call into the client again: the inner
            // call checks for itself and hands the check back when it ends.
            struct Hook {
                qz::WS& ws;
                std::function<bool()> outer;
                ~Hook() { ws.interrupted = std::move(outer); }
            } hook{client_.ws, std::move(client_.ws.interrupted)};
            client_.ws.interrupted = [this] { return mustStop(); };
            if constexpr (std::is_void_v<Result>) {
                work(client_.ws);
                result = 0;
            } else {
                result = work(client_.ws);
            }
        } catch (...) {
            // What stopped the call for Python is what the caller sees, not
            // the library's words about the abandoned request.
            throwStored();
            throw;
        }
        // The library may have caught an abandoned request and gone on.
        throwStored();
        if constexpr (!std::is_void_v<Result>) return std::move(*result);
    }

    // Needs the GIL. Keeps the Python error that is pending now.
    void store() {
        if (!stored_) stored_.emplace();
    }
    bool stopped() const { return stored_.has_value(); }

    // Without the GIL: true once a signal handler raised (KeyboardInterrupt).
    bool mustStop() {
        if (stopped()) return true;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) store();
        return stopped();
    }

private:
    void throwStored() {
        if (!stored_) return;
        py::error_already_set error = std::move(*stored_);
        stored_.reset();
        throw error;
    }

    Client& client_;
    std::optional<py::error_already_set> stored_;
};

// Runs `work` on the client as one Call; the result is turned into Python
// objects only after the GIL is back.
template <class Work>
auto locked(Client& c, Work&& work) {
    return Call(c).run(std::forward<Work>(work));
}

// A call that returns the client, for chaining; defined with kSelf, so
// that Python gets back the very object it called.
template <class Work>
Client& chained(Client& self, Work&& work) {
    locked(self, [&](qz::WS& ws) { work(ws); });
    return self;
}

constexpr auto kSelf = py::return_value_policy::reference;

// Warnings go to the logger "qzws", where the host's logging set-up decides
// what becomes of them. Needs the GIL.
void warn(const py::str& line) { py::module_::import("logging").attr("getLogger")("qzws").attr("warning")("%s", line); }

struct Progress {
    Call& call;
    py::object callable;
    // Transfers started per file number, as last reported: a rise past the
    // first is a retry, worth a warning.
    std::map<unsigned long, int> attempts;
};

// Runs on the calling thread at least every 200 ms while files are sent,
// with or without a progress callable: the moment to stop at Ctrl-C.
void onProgress(const qz::GlobalStateAndStats& stats, void* user) {
    auto& progress = *static_cast<Progress*>(user);
    if (progress.call.mustStop()) throw StoppedForPython{};
    std::vector<const qz::TransferStats*> retried;
    for (const auto& [number, file] : stats.fileMap) {
        int& seen = progress.attempts[number];
        if (file.attempts > 1 && file.attempts > seen) retried.push_back(&file);
        seen = file.attempts;
    }
    if (progress.callable.is_none() && retried.empty()) return;
    py::gil_scoped_acquire gil;
    try {
        for (const auto* file : retried) {
            warn(py::str("{}: attempt {} after: {}")
                     .format(text(file->remote.full()), file->attempts, text(file->errorText)));
        }
        if (!progress.callable.is_none()) progress.callable(qz::GlobalStateAndStats(stats));
    } catch (py::error_already_set& e) {
        e.restore();
        progress.call.store();
        throw StoppedForPython{};
    }
}

// Files that count as arrived on the server's transfer reply alone:
// nothing of them was compared.
void warnUnverified(const qz::GlobalStateAndStats& stats) {
    std::size_t unverified = 0;
    for (const auto& [number, file] : stats.fileMap) {
        if (file.result == qz::EFileResult::eDone && file.verifiedBy == qz::EVerifiedBy::eTransferReply) ++unverified;
    }
    if (unverified > 0) {
        warn(py::str("{} of {} files are confirmed only by the server's transfer reply: it gave neither their size "
                     "nor their SHA-256, and no listing showed their size")
                 .format(unverified, stats.fileMap.size()));
    }
}

void warnSkipped(const qz::GlobalStateAndStats& stats, std::size_t from) {
    for (std::size_t i = from; i < stats.skipped.size(); ++i) {
        warn(py::str("skipped {}: {}").format(text(stats.skipped[i].local), text(stats.skipped[i].reason)));
    }
}

qz::GlobalStateAndStats upload(Client& c, py::object callable) {
    // Found out now rather than at the first progress call, with the job half sent.
    if (!callable.is_none() && !PyCallable_Check(callable.ptr())) throw py::type_error("progress is not callable");
    Call call(c);
    Progress progress{call, std::move(callable), {}};
    auto result = call.run([&](qz::WS& ws) -> std::optional<qz::GlobalStateAndStats> {
        // The engine keeps the callback; it must not outlive `progress`.
        struct Unhook {
            qz::Control& control;
            ~Unhook() { control.setStatsCallback(nullptr, nullptr); }
        } unhook{ws.control};
        try {
            return ws.uploadQueuedFiles(onProgress, &progress);
        } catch (const StoppedForPython&) {
            return std::nullopt;
        }
    });
    warnUnverified(*result);
    return std::move(*result);
}

using StringMap = qz::WS::StringMap;

// The time-outs the command line uses too: a job server that stops
// answering costs minutes, not for ever.
const StringMap kDefaultSettings = {{"connecttimeout", "30"}, {"timeout", "600"}};

void restart(qz::WS& ws) {
    ws.reset();
    ws.setX(kDefaultSettings);
}

// Settings as Python hands them: a mapping and keywords, with str, int or
// bool values ({"timeout": 60}, verbose=True).
StringMap settingsOf(const py::object& settings, const py::kwargs& more) {
    StringMap out;
    auto add = [&out](const py::handle& key, const py::handle& value) {
        const auto name = py::cast<std::string>(key);
        if (py::isinstance<py::bool_>(value)) {
            out[name] = value.cast<bool>() ? "true" : "false";
        } else if (py::isinstance<py::int_>(value)) {
            out[name] = py::str(value).cast<std::string>();
        } else if (py::isinstance<py::str>(value)) {
            out[name] = value.cast<std::string>();
        } else {
            throw py::type_error("setting \"" + name + "\" takes a str, an int or a bool, not " +
                                 py::str(value.get_type().attr("__name__")).cast<std::string>());
        }
    };
    if (!settings.is_none()) {
        for (const auto& [key, value] : py::dict(settings)) add(key, value);
    }
    for (const auto& [key, value] : more) add(key, value);
    return out;
}

Client& setX(Client& self, const py::object& settings, const py::kwargs& more) {
    const StringMap chosen = settingsOf(settings, more);
    std::optional<SettingRefused> refused;
    chained(self, [&](qz::WS& ws) {
        // `message` keeps its text unless this call refuses something.
        std::string before = std::move(ws.message);
        ws.message.clear();
        ws.setX(chosen);
        if (ws.message.empty()) {
            ws.message = std::move(before);
        } else {
            refused = SettingRefused{ws.message, ws.get_map()};
        }
    });
    if (refused) throw *std::move(refused);
    return self;
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

// The client's record, readable by the host.
void bindRecord(py::class_<Client>& c) {
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

}  // namespace

void bindClient(py::module_& m) {
    py::class_<Client> c(m, "WS", R"(One client of a job server (C++ qz::WS).

It logs in, creates a job from an order form, queues local files, uploads
them through the transfer engine and finalizes the job:

    with qzws.WS() as ws:
        ws.login(url, user, password).create_job("Upload", {"project": "north"})
        ws.queue_recursive_directory("/data/run1")
        stats = ws.upload_queued_files(progress=lambda s: print(s.total_bytes_transferred))

Operations that return the client can be chained. Errors that the client
detects are raised as qzws.Error, libcurl's as qzws.TransportError. While a
call waits on the network other Python threads run; calls on one client
from several threads take turns. Ctrl-C stops any call within about a
second. Used in a `with` statement, the client logs out at the end, which
removes its cookie file.)");

    c.attr("__module__") = "qzws";
    c.def(py::init([] {
              auto client = std::make_unique<Client>();
              client->ws.setX(kDefaultSettings);
              return client;
          }),
          "A client in state UNKNOWN with a fresh key and the time-outs \"connecttimeout\" 30 and "
          "\"timeout\" 600 (seconds); creates no file and sends nothing.")
        .def(
            "__enter__", [](Client& self) -> Client& { return self; }, kSelf)
        .def(
            "__exit__",
            [](Client& self, const py::args&) {
                chained(self, restart);
                return false;
            },
            "Logs out, which removes the cookie file; an exception passes on.")
        .def(
            "close", [](Client& self) { chained(self, restart); },
            "The same as logout, for contextlib.closing and the like.")
        .def_static("initialize_third_party_libs", &qz::WS::initialize_third_party_libs,
                    "Sets up libcurl and libxml2; call once per process before any request "
                    "(C++ initialize_third_party_libs).")
        .def_static(
            "library_info", [] { return dict(qz::WS::library_info()); },
            "Versions of the library and of what it works with: nine rows (C++ library_info).")
        .def(
            "reset", [](Client& self) -> Client& { return chained(self, restart); }, kSelf,
            "Removes the cookie file, forgets the login and the job, restores the default settings "
            "(C++ reset).")
        .def(
            "logout", [](Client& self) -> Client& { return chained(self, restart); }, kSelf,
            "The same as reset; nothing is sent to the server (C++ logout).")
        .def(
            "get_state", [](Client& self) { return stateOf(locked(self, [](qz::WS& ws) { return ws.get_state(); })); },
            "The client's place in the life of a job, a State (C++ get_state).")
        .def(
            "get_map", [](Client& self) { return dict(locked(self, [](qz::WS& ws) { return ws.get_map(); })); },
            "The whole client as a flat dict of texts (C++ get_map).")
        .def("set_x", &setX, kSelf, py::arg("settings") = py::none(),
             "Settings by key, from a dict and keywords; values are str, int or bool: "
             "set_x(timeout=60, verbose=True). Keys: \"verbose\", \"sslverifyhost\", \"sslverifypeer\", "
             "\"useragent\", \"baseurl\", \"timeout\", \"connecttimeout\", \"maxanswersize\". An unknown key "
             "or a refused value raises SettingError (also a ValueError) with the text of `message`; "
             "the other keys are set (C++ setX).")
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
                return chained(self, [&](qz::WS& ws) {
                    // A second login starts afresh, with this package's defaults.
                    if (ws.state > qz::WS::eUnknown) restart(ws);
                    ws.login(url, user, password);
                    if (ws.state == qz::WS::eLoginDone) return;
                    if (ws.message.empty()) ws.message = "the server did not confirm the login";
                    throw qz::Exception(__FILE__, __LINE__, "login", ws.message, ws.get_map());
                });
            },
            kSelf, py::arg("base_url"), py::arg("username"), py::arg("password"),
            "UNKNOWN -> LOGIN_DONE; raises Error when the server does not report success (C++ login, "
            "which leaves the state UNKNOWN then).")
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
                std::size_t skippedBefore = 0;
                chained(self, [&](qz::WS& ws) {
                    skippedBefore = ws.control.getGlobalStateAndStats().skipped.size();
                    ws.control.setFolderLinks(followLinks ? qz::eFollowFolderLinks : qz::eSkipFolderLinks);
                    ws.queueRecursiveDirectory(local, remote);
                });
                warnSkipped(locked(self, [](qz::WS& ws) { return ws.control.getGlobalStateAndStats(); }),
                            skippedBefore);
                return self;
            },
            kSelf, py::arg("path"), py::arg("remote") = ".", py::arg("follow_links") = false,
            "Queues every file below a folder, by its relative path under `remote` (\".\": the top). Links "
            "to folders are skipped with a notice (Stats.skipped) unless follow_links (C++ "
            "queueRecursiveDirectory, Control::setFolderLinks). Each skipped entry is also a warning of the "
            "logger \"qzws\".")
        .def("upload_queued_files", &upload, py::arg("progress") = py::none(),
             R"(FILE_QUEUE -> ... -> FINISHED: connects, uploads, sends the summary log
and finalizes the job; returns the final Stats (C++ uploadQueuedFiles).

`progress` is any callable taking a Stats; it runs on the calling thread a
few times a second and once at the end. An exception it raises, and Ctrl-C
(KeyboardInterrupt) with or without it, stops the upload, leaves the job
unfinished on the server and reaches the caller. Retries and files checked
by their size only are warnings of the logger "qzws".)")
        .def_property_readonly(
            "stats",
            [](Client& self) { return locked(self, [](qz::WS& ws) { return ws.control.getGlobalStateAndStats(); }); },
            "The engine's statistics now, also after a failed upload: which files arrived "
            "(C++ control.getGlobalStateAndStats()).")
        .def_property_readonly(
            "state", [](Client& self) { return stateOf(locked(self, [](qz::WS& ws) { return ws.state; })); },
            "The same as get_state() (C++ state).");

    bindRecord(c);
}

}  // namespace qzpy
