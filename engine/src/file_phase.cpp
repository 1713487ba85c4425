#include "file_phase.hpp"

#include <cassert>
#include <string>

#include "control_report.hpp"

namespace qz {

namespace {

constexpr int kPhases = static_cast<int>(EFilePhase::eFailed) + 1;

// kSteps[from][to]
constexpr bool kSteps[kPhases][kPhases] = {
    //              Waiting Opening Sending Awaiting Checking Listing Done   Failed
    /* Waiting  */ {false, true, false, false, false, false, false, true},
    /* Opening  */ {true, false, true, false, true, false, false, true},
    /* Sending  */ {true, false, false, true, true, false, false, true},
    /* Awaiting */ {true, false, false, false, true, false, false, true},
    /* Checking */ {true, false, false, false, true, true, true, true},
    /* Listing  */ {true, false, false, false, false, false, true, true},
    /* Done     */ {false, false, false, false, false, false, false, false},
    /* Failed   */ {false, false, false, false, false, false, false, false},
};

}  // namespace

const char* to_string(EFilePhase phase) {
    switch (phase) {
        case EFilePhase::eWaiting: return "waiting";
        case EFilePhase::eOpening: return "opening";
        case EFilePhase::eSending: return "sending";
        case EFilePhase::eAwaitingReply: return "awaiting reply";
        case EFilePhase::eChecking: return "checking";
        case EFilePhase::eListing: return "listing";
        case EFilePhase::eDone: return "done";
        case EFilePhase::eFailed: return "failed";
    }
    return "unknown";
}

bool allowedStep(EFilePhase from, EFilePhase to) { return kSteps[static_cast<int>(from)][static_cast<int>(to)]; }

void FilePhase::moveTo(EFilePhase next) {
    if (!allowedStep(phase_, next)) {
        assert(!"a file's phase took a step outside the table");
        note(Logging::EType::eWarnings, std::string("a file went from ") + to_string(phase_) + " to " +
                                            to_string(next) + ", which is not foreseen");
    }
    phase_ = next;
}

}  // namespace qz
