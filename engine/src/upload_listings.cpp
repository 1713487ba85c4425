// The stored files checked against the listings of their folders, once no
// file is left to send: a round lists every folder that stored files went
// to, one listing per folder on whichever connection is free.
#include <algorithm>

#include "control_report.hpp"
#include "qz/quoted.hpp"
#include "upload_loop.hpp"

namespace qz {

namespace {

bool plainAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string shown(const std::string& folder) { return folder.empty() ? "the login folder" : quoted(folder); }

}  // namespace

// A round starts once every file is stored or given up: a file sent again
// after its listing comes back for the next round.
void UploadLoop::listFolders() {
    if (storedUnlisted_ == 0 || !pending_.empty() || !checksWaiting_.empty() || lanes_.carryingFiles() ||
        !checks_.idle()) {
        return;
    }
    storedUnlisted_ = 0;
    for (const ListingFinding& f : checks_.startRound(context_.files)) applyFinding(f);
    lanes_.nudge();
}

// The upload ends without (more) listings: the stored files stand on
// their other checks.
void UploadLoop::skipListings() {
    if (storedUnlisted_ > 0) {
        storedUnlisted_ = 0;
        for (const ListingFinding& f : checks_.startRound(context_.files)) applyFinding(f);
    }
    for (const ListingFinding& f : checks_.drop()) applyFinding(f);
}

std::optional<PipelineJob> UploadLoop::nextListing() {
    if (givenUp_) return std::nullopt;
    return checks_.next();
}

void UploadLoop::listed(const PipelineOutcome& outcome) {
    if (outcome.end == EPipelineEnd::eChecked || outcome.answered) policy_.reached();
    for (const ListingFinding& f : checks_.listed(outcome, context_.files)) applyFinding(f);
    if (const std::string why = checks_.takeNote(); !why.empty()) note(Logging::EType::eWarnings, why);
    if (checks_.anyDue()) lanes_.nudge();
}

void UploadLoop::applyFinding(const ListingFinding& f) {
    QueuedFile& record = file(f.number);
    if (record.phase() != EFilePhase::eListing) return;
    const TransferStats& st = record.entry();
    switch (f.how) {
        case EListed::eConfirmed:
            finish(f.number, st.verifiedBy == EVerifiedBy::eTransferReply ? EVerifiedBy::eListing : st.verifiedBy);
            return;
        case EListed::eNamed:
        case EListed::eUnchecked: finish(f.number, st.verifiedBy); return;
        case EListed::eOtherSize: {
            if (st.verifiedBy == EVerifiedBy::eHash) {
                // The server's SHA-256 of the stored bytes outweighs a listing that may lag behind.
                note(Logging::EType::eWarnings, "the listing of " + shown(f.listedIn) + " shows " +
                                                    quoted(st.remote.full()) + " with " + std::to_string(f.size) +
                                                    " bytes, but the server's SHA-256 of it matched");
                finish(f.number, st.verifiedBy);
                return;
            }
            const std::string why = "the listing of " + shown(f.listedIn) + " shows " + quoted(st.remote.full()) +
                                    " with " + std::to_string(f.size) + " bytes, not " + std::to_string(st.fileSize);
            context_.lastError = why;
            record.serverHoldsNothing();
            retryOrFail(f.number, why, EFailure::eTransient, false, false);
            return;
        }
        case EListed::eMissing:
            fail(f.number, quoted(st.local.full()) + ": the server did not store " + quoted(st.remote.full()) +
                               " under that name (" +
                               (f.folder.empty() ? std::string("it") : "its folder " + quoted(f.folder)) +
                               " is not in the listing of " + shown(f.listedIn) + ")");
            return;
    }
}

void UploadLoop::finish(unsigned long number, EVerifiedBy how) {
    QueuedFile& record = file(number);
    const TransferStats& st = record.entry();
    if (how == EVerifiedBy::eTransferReply && context_.requireVerified) {
        fail(number, quoted(st.local.full()) + " as " + quoted(st.remote.full()) +
                         " could not be verified: the server gave neither its size nor its SHA-256, and no "
                         "listing showed its size");
        return;
    }
    record.done(how);
    ++context_.stats.filesDone;
}

// Names the server may take in another character set than UTF-8 are
// stored under other names: the listings find them, but the log says why
// at the start.
void UploadLoop::featuresKnown(const FtpFeatures& features) {
    if (features.utf8 || namesWarned_) return;
    namesWarned_ = true;
    std::size_t other = 0;
    for (const auto& [number, entry] : context_.stats.fileMap) {
        if (entry.result != EFileResult::eDone && !plainAscii(entry.remote.full())) ++other;
    }
    if (other == 0) return;
    note(Logging::EType::eWarnings, "the server " + context_.connections.server() +
                                        " does not list UTF8 in its FEAT answer: " + std::to_string(other) +
                                        " name(s) that are not plain ASCII may be stored differently");
}

}  // namespace qz
