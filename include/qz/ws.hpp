#pragma once
// qz::WS: one client of a job server. It logs in, creates a job from an order
// form, queues local files, uploads them through the transfer engine and
// finalizes the job.
//
//   qz::WS::initialize_third_party_libs();          // once per process
//   qz::WS ws;
//   ws.login("https://jobs.example.net/app/", "alice", "secret")
//     .createJob("Upload", {{"project", "north"}})
//     .queueRecursiveDirectory("/data/run1");
//   qz::GlobalStateAndStats done = ws.uploadQueuedFiles(onProgress, nullptr);
//
// Every operation returns the client, except where noted. Errors that the
// client detects itself are raised as qz::Exception with the message in
// `message` and the diagnostic map of get_map; errors of libcurl (curlpp's
// runtime errors) and of the engine pass through as they are. A client is
// used by one thread at a time; it starts no thread.

#include <libxml/tree.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "qz/engine.hpp"

namespace qz {

class WS {
public:
    using StringMap = std::map<std::string, std::string>;

    // Ample for any honest answer; what stops a server that never ends one.
    static constexpr std::uint64_t kDefaultMaxAnswerSize = 256u * 1024u * 1024u;

    // The client's place in the life of a job; see to_string for the texts.
    enum EState : std::int32_t {
        eUnknown = 0,
        eLoginDone = 1,
        eJobCreated = 2,
        eFileQueue = 3,
        eUploading = 4,
        eUploadDone = 5,
        eLogDone = 6,
        eFinalizeDone = 7,
        eFinished = 8,
    };

    // A client in state "unknown" with a fresh key and cookie file name.
    // Creates no file and sends nothing.
    WS();
    // Resets the client, which removes its cookie file.
    ~WS();
    WS(const WS&) = delete;
    WS& operator=(const WS&) = delete;

    // --- lifecycle -------------------------------------------------------
    // Removes the cookie file, forgets the login and the job, restores the
    // default settings, and draws a new key and cookie file name.
    WS& reset();
    // The same as reset; nothing is sent to the server.
    WS& logout();
    EState get_state() const { return state; }

    // --- diagnostics -----------------------------------------------------
    // The whole client as a flat table (state, job, last request, library
    // versions, engine settings from "job created" on). Sets `message` to
    // "unhandled error" when it is empty.
    StringMap get_map();
    // Versions of this library and of what it works with: nine rows.
    static StringMap library_info();

    // --- settings --------------------------------------------------------
    // Sets up libcurl and libxml2; call once per process before any request.
    static void initialize_third_party_libs();
    // Keys: "verbose"/"debug" (on, yes, true), "sslverifyhost",
    // "sslverifypeer", "useragent", "baseurl", "timeout" and "connecttimeout"
    // (seconds; 0, the default, waits for ever), "maxanswersize" (bytes of one
    // answer; 0 is unlimited, default 268435456). An unknown key, a TLS level
    // or size that is not a plain decimal number (blanks, an optional sign,
    // digits), a negative size, or a time-out value without digits (or
    // negative), is reported in `message` and changes nothing.
    WS& setX(const StringMap& settings);
    // Fills in "useragent", "cookies" (the cookie file name), "timeout",
    // "connecttimeout" and "maxanswersize" where the caller put those keys;
    // other keys are left alone.
    WS& getX(StringMap& settings);

    // --- scrambling of values sent to the server ---------------------------
    std::string encrypt(const std::string& text);
    std::string decrypt(const std::string& text);

    // --- the job server ----------------------------------------------------
    // One GET (empty body) or POST to `url`, which must be http or https
    // (redirects are not followed); returns the parsed XML answer or null.
    // An answer longer than `maxAnswerSize` ends the request with an error.
    // The caller frees the document with xmlFreeDoc.
    xmlDoc* send_request(const std::string& url, const std::string& body);
    // "unknown" -> "login done" when the server reports success.
    WS& login(const std::string& baseUrl, const std::string& username, const std::string& password);
    // "login done" -> "job created", from an order form of the login answer.
    WS& createJob(const std::string& orderForm, const StringMap& fields);
    // Keep-alive: one request whose answer is thrown away.
    WS& doNothing();
    // "upload done" -> "log done": sends the engine's summary log.
    WS& uploadSummaryLog(const GlobalStateAndStats& stats);
    // "log done" -> "finalize done": reports the files, sizes and total.
    WS& finalizeJob(const GlobalStateAndStats& stats);
    // Configures the engine options from the answer's "ftp" element.
    WS& set_options(xmlDoc* answer);

    // --- files -------------------------------------------------------------
    // A file lands under its base name. A refused path (missing, unreadable,
    // a remote name the job could not report, or one that another queued
    // file already lands on) raises the engine's qz::Exception; nothing of
    // that call is queued.
    WS& queueSingleFile(const std::string& path);
    // Everything below the folder lands under `remote` ("." keeps the
    // relative paths as they are; "run1" puts them under a folder of that
    // name). Links to folders follow control.setFolderLinks.
    WS& queueRecursiveDirectory(const std::string& path, const std::string& remote = ".");
    // "file queue" -> ... -> "finished": connects, uploads with progress
    // callbacks, sends the summary log and finalizes the job. Returns the
    // engine's statistics of the upload.
    GlobalStateAndStats uploadQueuedFiles(StatsCallback callback, void* user);

    // --- the client's record, readable by the host -------------------------
    std::string recentUrl;    // URL of the most recent request
    std::string xmlResponse;  // most recent answer that parsed as XML
    std::string rawResponse;  // most recent answer, as received or de-scrambled
    std::int64_t httpResponseCode = -1;
    bool successFlag = false;
    std::string message;  // text of the last error or report
    // The answer to the most recent summary log upload, and whether it
    // reported success: the upload run sends the log and the finalization
    // in one call, after which the fields above describe the finalization.
    std::string summaryLogResponse;
    bool summaryLogSuccess = false;
    EState state = eUnknown;
    bool verbose = false;  // libcurl verbose output and debug dumps
    std::int32_t sslVerifyHost = 2;
    std::int32_t sslVerifyPeer = 1;
    std::string baseUrl;
    std::string loginUsername;
    std::string loginPassword;
    std::string userAgent;
    std::int32_t requestTimeout = 0;                      // seconds for a whole request; 0: none
    std::int32_t connectTimeout = 0;                      // seconds to connect; 0: libcurl's default
    std::uint64_t maxAnswerSize = kDefaultMaxAnswerSize;  // bytes of one answer; 0: no limit
    std::string cookieFile;                               // in the current working directory
    std::string encryptionKey;                            // decimal digits
    std::string orderFormName;
    std::string orderFormType;
    std::string jobId;
    std::string ftpUsername;
    std::uint64_t bandwidthStart = 0;  // bits per second
    std::uint64_t bandwidthMax = 0;    // bits per second
    bool secure = false;
    // Asked while a request to the job server waits, at least about once a
    // second; true abandons the request with libcurl's "callback aborted"
    // error (curlpp::RuntimeError). A host stops on the user's interrupt
    // with it. Empty: a request waits for its time-outs only.
    std::function<bool()> interrupted;
    Options options;
    Control control;

private:
    // The port as the job server's "ftp" element gave it ("p1"). The engine
    // only ever sees its low 16 bits, so the upload checks the text itself
    // before connecting; empty until set_options applied one.
    std::string ftpPortText;

    // The cookie file name this client drew and holds against other clients
    // of the process, whatever the host has since put into `cookieFile`.
    std::string heldCookieFile;

    // Stores `text` in `message`, builds the diagnostic map (plus `extra`,
    // which replaces rows of the same key) and raises it.
    [[noreturn]] void fail(int line, const char* operation, const std::string& text, const StringMap& extra = {});
};

// Display text of a state: "unknown", "login done", "job created",
// "file queue", "uploading", "upload done", "log done", "finalize done",
// "finished"; "?" for any other value.
std::string to_string(WS::EState state);

}  // namespace qz
