// What the requests come to: for each file, the server's count and hash
// check it, a failure is retried, resumed or named; for the upload, a
// summary that names the files that could not be sent.
#include <sys/stat.h>

#include <utility>

#include "qz/log.hpp"
#include "qz/quoted.hpp"
#include "qz/rates.hpp"
#include "server_hash.hpp"
#include "upload_loop.hpp"

namespace qz {

namespace {

constexpr std::size_t kNamedFailures = 20;

}  // namespace

// The server's own count of the stored bytes checks every file. It is
// asked in a request of its own: libcurl waits for the replies to commands
// that follow a transfer without serving the other connections, while
// commands that precede one run alongside them.
void UploadLoop::startCheck(Slot& slot, std::uint64_t uploaded) {
    Sending& f = slot.file;
    // Asked again (see hashOverdue), on a fresh connection: libcurl closed
    // the one that timed out.
    const bool again = f.phase.is(EFilePhase::eChecking);
    f.phase.moveTo(EFilePhase::eChecking);
    f.uploaded = uploaded;
    Channel& c = *slot.channel;
    f.mark = {uploaded, c.replies, Clock::now()};
    session_.prepareCommands(c);
    // "*" keeps servers without SIZE usable: the byte count checks then.
    std::vector<std::string> commands = {"*SIZE " + f.remotePath};
    // A fresh connection is in ASCII mode, in which servers refuse SIZE.
    if (again) commands.insert(commands.begin(), "*TYPE I");
    if (hashCheck()) {
        // The selection lasts for the connection only, and libcurl may have
        // opened this one on its own since the login selected it: asked for
        // here, the reply is SHA-256 (or refused), never another algorithm.
        // HASH comes last, so that its reply is the request's last one.
        commands.insert(commands.end(), {"*OPTS HASH SHA-256", "*HASH " + f.remotePath});
        c.waitForRepliesUpTo(silenceAllowed(f));
    }
    c.setCommands(CURLOPT_QUOTE, commands);
    session_.add(c);
}

std::chrono::seconds UploadLoop::silenceAllowed(const Sending& f) const {
    const std::chrono::seconds usual(stallSeconds());
    return f.phase.is(EFilePhase::eChecking) && hashCheck() ? hashReplyWait(usual, f.size) : usual;
}

// The server holds every byte but sent no hash in time. Sending the file
// again would only have it hash the same bytes again, as slowly, while it
// may still be busy with the first: it is asked once more, and then the
// file counts as verified by its size, as on a server that hashes nothing.
// Its size matched, its SHA-256 was taken while sending; a slow server is
// no sign of a damaged copy.
bool UploadLoop::hashOverdue(Slot& slot, CURLcode result) {
    const Sending& f = slot.file;
    const Channel& c = *slot.channel;
    if (!f.phase.is(EFilePhase::eChecking) || result != CURLE_OPERATION_TIMEDOUT || !hashCheck() || c.lastSize < 0 ||
        static_cast<std::uint64_t>(c.lastSize) != f.size) {
        return false;
    }
    policy_.reached();
    if (!std::exchange(tally(f.number).hashAskedAgain, true)) {
        note(Logging::EType::eWarnings, "asking again for the SHA-256 of " + quoted(entry(f).remote.full()) +
                                            ": the server sent none within " +
                                            std::to_string(silenceAllowed(f).count()) + " s");
        startCheck(slot, f.uploaded);
        return true;
    }
    sendingTo_.erase(f.remotePath);
    impl_.heldByServer.erase(f.number);
    std::string fault;
    slot.file.sha256 = slot.file.digest->finish(fault);
    if (!fault.empty()) {
        fail(f.number, quoted(entry(f).local.full()) + " " + fault);
        return true;
    }
    done(f, {EVerified::eBySize, "verified by size, the server did not hash it in time"});
    return true;
}

// How a stored file of the right size is verified. When the server's
// SHA-256 is not the one taken while sending (or its reply cannot be
// read), the attempt failed: the file goes again from byte 0.
UploadLoop::Verification UploadLoop::verify(const Sending& f, bool hashAsked, const std::string& line) {
    if (!hashAsked) return {EVerified::eBySize, "verified by size"};
    const HashReply hash = readHashReply(line, f.size);
    if (hash.kind == EHashReply::eRefused) {
        return {EVerified::eBySize, "verified by size, the server did not hash it: " + line};
    }
    if (hash.kind == EHashReply::eHash && hash.digest == f.sha256) return {EVerified::eByHash, "verified by hash"};
    const std::string why = hash.kind == EHashReply::eHash ? "the server's SHA-256 of the stored file is " +
                                                                 hash.digest + ", the file's is " + f.sha256
                                                           : "the server's reply to HASH cannot be read: " + line;
    tally(f.number).confirmed = 0;
    retryOrFail(f.number, why, EFailure::eTransient, false);
    return {EVerified::eFailed, why};
}

// A request ended, or was taken off its connection with `stall` saying why.
void UploadLoop::finish(Slot& slot, CURLcode result, const std::string& stall) {
    conclude(slot, result, stall);
    // Stored: the server is asked for its count (and hash) now, on the same connection.
    if (slot.channel->busy) return;
    // Blocks still queued for an attempt that ended are of no use.
    slot.file.digest.reset();
    const EFileResult outcome = entry(slot.file).result;
    slot.file.phase.moveTo(outcome == EFileResult::eDone     ? EFilePhase::eDone
                           : outcome == EFileResult::eFailed ? EFilePhase::eFailed
                                                             : EFilePhase::eWaiting);
}

// What the ended request means for its file: checked, done, retried or failed.
void UploadLoop::conclude(Slot& slot, CURLcode result, const std::string& stall) {
    Sending f = slot.file;
    struct stat info {};
    if (!f.phase.is(EFilePhase::eChecking) && f.localFault.empty() && ::fstat(f.fd, &info) == 0 &&
        (static_cast<std::uint64_t>(info.st_size) != f.size || info.st_mtim.tv_sec != f.modified.tv_sec ||
         info.st_mtim.tv_nsec != f.modified.tv_nsec)) {
        f.localFault = quoted(entry(f).local.full()) + " changed during the upload";
    }
    // A resume that found every byte on the server read none of them.
    const bool uploadEnded = result == CURLE_OK && stall.empty() && !f.phase.is(EFilePhase::eChecking);
    if (uploadEnded && f.localFault.empty()) hashUpTo(f, f.size);
    closeFile(slot);
    TransferStats& st = entry(f);
    Channel& c = *slot.channel;
    const std::uint64_t uploaded = uploadedBy(slot);
    if (uploadEnded && f.localFault.empty()) {
        startCheck(slot, uploaded);
        return;
    }
    if (hashOverdue(slot, result)) return;
    sendingTo_.erase(f.remotePath);
    if (!f.localFault.empty()) {
        // Whatever the server holds is not the file as it is now.
        impl_.heldByServer.erase(f.number);
        fail(f.number, f.localFault);
        return;
    }
    if (result == CURLE_OK && stall.empty()) {
        policy_.reached();
        const std::uint64_t held = c.lastSize >= 0 ? static_cast<std::uint64_t>(c.lastSize) : f.offset + uploaded;
        if (held == f.size) {
            impl_.heldByServer.erase(f.number);
            // Hashed meanwhile by the worker; wanted only now.
            std::string fault;
            f.sha256 = slot.file.sha256 = f.digest->finish(fault);
            if (!fault.empty()) {
                fail(f.number, quoted(st.local.full()) + " " + fault);
                return;
            }
            const Verification verified = verify(slot.file, hashCheck(), c.lastReply);
            if (verified.how == EVerified::eFailed) return;
            done(slot.file, verified);
            return;
        }
        // The server's copy is not ours to resume: it is sent anew.
        impl_.heldByServer.erase(f.number);
        retryOrFail(f.number,
                    "the server holds " + std::to_string(held) + " of its " + std::to_string(f.size) + " bytes",
                    EFailure::eTransient, false);
        return;
    }
    // Asked to store it, the server may hold a part.
    const bool stored = !f.phase.is(EFilePhase::eOpening) || f.resumed;
    if (stored) impl_.heldByServer[f.number] = f.modified;
    if (stall.empty() && storageRefused(result, c.lastReply)) {
        refused(slot, result);
        return;
    }
    if (stall.empty() && serviceUnavailable(c.lastReply)) {
        const std::string why = "the server " + session_.server() + " is not available (it said: " + c.lastReply + ")";
        impl_.lastError = why;
        retryOrFail(f.number, why, EFailure::eUnreachable, stored);
        return;
    }
    // libcurl's own timeouts (no reply, no connection) are stalls as well.
    const std::string stalled = !stall.empty() || result != CURLE_OPERATION_TIMEDOUT
                                    ? stall
                                    : "the transfer stalled at byte " + std::to_string(f.offset + uploaded) + " on " +
                                          session_.server() + ": " + c.describe(result);
    // Not a word from the server during the whole attempt: it is away,
    // which is no fault of this file.
    const bool answered = c.answers != f.answersAtStart;
    const std::string why = !stalled.empty() ? stalled
                            : !answered && droppedUnheard(result)
                                ? "the server " + session_.server() + " closed the connection before it said a word (" +
                                      c.describe(result) + ")"
                                : c.describe(result);
    impl_.lastError = why;
    // 522: the server refused the data connection's TLS session (it wants
    // the control connection's resumed, which TLS 1.3 tickets defeat).
    // The server drops that control connection; a fresh one works at once.
    if (stalled.empty() && c.lastReply.rfind("522 ", 0) == 0) {
        retryOrFail(f.number, why, EFailure::eTransient, false, true);
        return;
    }
    if (stalled.empty() && !worthRetrying(result, c.lastReply)) {
        if (answered) policy_.reached();
        fail(f.number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + ": " + why);
        return;
    }
    if (limiter_.backOff()) rateChanged(true);
    const EFailure failure = answered ? EFailure::eTransient : EFailure::eUnreachable;
    // A stalled transfer has waited its time already.
    retryOrFail(f.number, why, failure, stored, !stalled.empty());
}

void UploadLoop::done(const Sending& f, const Verification& verified) {
    TransferStats& st = entry(f);
    st.result = EFileResult::eDone;
    st.bytesSent = f.size;
    st.errorText.clear();
    st.sha256 = f.sha256;
    st.verifiedByHash = verified.how == EVerified::eByHash;
    ++stats_.filesDone;
    note(Logging::EType::eTransfers, "sent " + quoted(st.remote.full()) + " (" + std::to_string(f.size) +
                                         " bytes, SHA-256 " + f.sha256 + ", " + verified.text + ")");
}

// The server said it has no room for the file. Refused before a byte of
// this attempt went, the file fails. Refused on the way, the file is
// resumed once at once: the resume learns (SIZE) what the server kept,
// and goes on should room have come back.
void UploadLoop::refused(Slot& slot, CURLcode result) {
    const Sending& f = slot.file;
    const Channel& c = *slot.channel;
    TransferStats& st = entry(f);
    policy_.reached();
    const std::string reply = c.lastReply.empty() ? c.describe(result) : c.lastReply;
    const std::string why = "cannot store " + quoted(st.remote.full()) + " on " + session_.server() + ": " + reply;
    impl_.lastError = why;
    if (!f.phase.is(EFilePhase::eOpening) && !std::exchange(tally(f.number).refusedOnce, true)) {
        retryOrFail(f.number, why, EFailure::eTransient, true, true);
        return;
    }
    fail(f.number, quoted(st.local.full()) + ": " + why);
}

void UploadLoop::retryOrFail(unsigned long number, const std::string& why, EFailure failure, bool resume, bool atOnce) {
    TransferStats& st = stats_.fileMap.at(number);
    const Clock::time_point now = Clock::now();
    FileTally& t = tally(number);
    if (failure == EFailure::eTransient) ++t.answeredAttempts;
    const RetryDecision decision = givenUp_ ? RetryDecision{ERetry::eGiveUp, {}}
                                            : policy_.afterFailure(failure, t.answeredAttempts, now);
    if (decision.action == ERetry::eGiveUp) {
        giveUp(why, now);
        fail(number,
             quoted(st.local.full()) + " as " + quoted(st.remote.full()) + " was not sent: " + unreachableText_);
        return;
    }
    if (decision.action == ERetry::eFailFile) {
        fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) + ": " + why + " (gave up after " +
                         std::to_string(t.attempts) + " attempts)");
        return;
    }
    st.result = EFileResult::ePending;
    st.bytesSent = t.confirmed;
    st.errorText = why;
    if (failure == EFailure::eUnreachable) {
        // One line per round of attempts, not one per file.
        if (policy_.nextAttemptAt() != loggedRound_) {
            loggedRound_ = policy_.nextAttemptAt();
            note(Logging::EType::eWarnings, "cannot reach " + session_.server() + " (for " +
                                                secondsText(policy_.unreachableFor(now)) + " s now, waiting up to " +
                                                std::to_string(policy_.timeout().count()) + " s); trying again in " +
                                                secondsText(decision.pause) + " s after: " + why);
        }
    } else {
        note(Logging::EType::eWarnings, "retrying " + quoted(st.remote.full()) + " (attempt " +
                                            std::to_string(t.attempts + 1) + ") after: " + why);
    }
    const auto pause = atOnce && failure != EFailure::eUnreachable ? std::chrono::milliseconds(0) : decision.pause;
    pending_.push_back({number, now + pause, resume});
}

// The server stayed unreachable for the whole timeout: every file not
// yet sent fails, named, and the upload ends.
void UploadLoop::giveUp(const std::string& why, Clock::time_point now) {
    if (givenUp_) return;
    givenUp_ = true;
    unreachableText_ = "the server " + session_.server() + " could not be reached for " +
                       secondsText(policy_.unreachableFor(now)) + " s (the last attempt: " + why + ")";
    note(Logging::EType::eWarnings, "giving up: " + unreachableText_);
    for (const auto& p : pending_) {
        const TransferStats& st = stats_.fileMap.at(p.number);
        fail(p.number,
             quoted(st.local.full()) + " as " + quoted(st.remote.full()) + " was not sent: " + unreachableText_);
    }
    pending_.clear();
}

void UploadLoop::fail(unsigned long number, const std::string& why) {
    TransferStats& st = stats_.fileMap.at(number);
    st.result = EFileResult::eFailed;
    st.errorText = why;
    st.bytesSent = tally(number).confirmed;
    impl_.lastError = why;
    ++stats_.filesFailed;
    note(Logging::EType::eTransfers, "failed " + quoted(st.remote.full()) + ": " + why);
}

// A server that cannot be reached for the folders is waited for as for a
// file; one that answers but fails them leaves the files meant for them to
// fail by name.
void UploadLoop::foldersFailed(bool answered, const std::string& why, Clock::time_point now) {
    const EFailure failure = answered ? EFailure::eTransient : EFailure::eUnreachable;
    if (failure == EFailure::eTransient) ++folderAttempts_;
    const RetryDecision decision = policy_.afterFailure(failure, folderAttempts_, now);
    if (decision.action == ERetry::eRetry) {
        foldersNotBefore_ = now + decision.pause;
        note(Logging::EType::eWarnings,
             "could not create folders, trying again in " + secondsText(decision.pause) + " s: " + why);
        return;
    }
    foldersMade_ = true;
    if (decision.action == ERetry::eGiveUp) {
        giveUp(why, now);
        return;
    }
    note(Logging::EType::eWarnings, "could not create folders: " + why);
}

void UploadLoop::summarize() {
    note(Logging::EType::eSummary,
         "sent " + std::to_string(stats_.filesDone) + " of " + std::to_string(stats_.filesTotal) + " files, " +
             std::to_string(stats_.totalBytesTransferred) + " of " + std::to_string(stats_.totalBytes) + " bytes in " +
             std::to_string(stats_.elapsedSeconds) + " s (" + formatTransferRate(stats_.currentRate) + ")");
    if (stats_.filesFailed == 0) return;
    std::string names;
    std::size_t named = 0;
    for (const auto& [number, e] : stats_.fileMap) {
        if (e.result != EFileResult::eFailed) continue;
        if (named++ == kNamedFailures) {
            names += "; and " + std::to_string(stats_.filesFailed - kNamedFailures) + " more";
            break;
        }
        names += (named > 1 ? "; " : "") + e.errorText;
    }
    const std::string message = "could not send " + std::to_string(stats_.filesFailed) + " of " +
                                std::to_string(stats_.filesTotal) + " files: " + names;
    note(Logging::EType::eSummary, message);
    raise(__LINE__, "upload", message,
          {{"files failed", std::to_string(stats_.filesFailed)},
           {"files done", std::to_string(stats_.filesDone)},
           {"ftp server", session_.server()}});
}

}  // namespace qz
