#pragma once
// Where one file stands in an attempt to send it, and the steps allowed
// between phases. The road of an upload:
//
//   eWaiting > eOpening > eSending > eAwaitingReply > eChecking > eListing > eDone
//
// eAwaitingReply is skipped where the server confirms a transfer before
// its last byte was read, eSending too where a resume finds every byte on
// the server already. eChecking is repeated once where the server did not
// answer its checks in time. eListing waits for the listing of its folder,
// which may still find it missing (eFailed) or of another size (eWaiting);
// where no listing can be had it is skipped. From any phase of an attempt the file may go
// back to eWaiting (another attempt) or to eFailed; a file waiting for its
// attempt fails with the others when the server stays away. A step outside the table is a fault of the
// engine: debug builds stop on it, release builds log it and take it.
//
//   FilePhase phase;                              // eWaiting
//   phase.moveTo(EFilePhase::eOpening);

#include <cstdint>

namespace qz {

enum class EFilePhase : std::uint8_t {
    eWaiting,        // queued, or back in the queue for another attempt
    eOpening,        // the request is on its connection, no byte read yet
    eSending,        // its bytes are read for its connection
    eAwaitingReply,  // every byte is out; the server's reply to the upload is due
    eChecking,       // stored; the server is asked for its size (and hash)
    eListing,        // stored and checked; its folder's listing is due
    eDone,
    eFailed,
};

const char* to_string(EFilePhase phase);

// Whether the table allows the step from `from` to `to`.
bool allowedStep(EFilePhase from, EFilePhase to);

class FilePhase {
public:
    EFilePhase get() const { return phase_; }
    bool is(EFilePhase phase) const { return phase_ == phase; }
    void moveTo(EFilePhase next);

private:
    EFilePhase phase_ = EFilePhase::eWaiting;
};

}  // namespace qz
