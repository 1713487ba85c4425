// The steps a file may take between phases.
#include "file_phase.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using P = qz::EFilePhase;

TEST(FilePhase, TheRoadsOfAnUploadAreAllowed) {
    const std::vector<std::vector<P>> roads = {
        {P::eWaiting, P::eOpening, P::eSending, P::eAwaitingReply, P::eChecking, P::eDone},
        {P::eWaiting, P::eOpening, P::eSending, P::eChecking, P::eListing, P::eWaiting},  // listed with another size
        {P::eWaiting, P::eOpening, P::eChecking, P::eDone},                               // the server held every byte
        {P::eWaiting, P::eOpening, P::eSending, P::eWaiting, P::eOpening, P::eFailed},
        {P::eWaiting, P::eOpening, P::eSending, P::eAwaitingReply, P::eWaiting},
        {P::eWaiting, P::eOpening, P::eSending, P::eChecking, P::eWaiting},             // the hash did not match
        {P::eWaiting, P::eOpening, P::eSending, P::eChecking, P::eChecking, P::eDone},  // the hash came late
        {P::eWaiting, P::eFailed},                                                      // the server stayed away
    };
    for (const auto& road : roads) {
        for (std::size_t i = 1; i < road.size(); ++i) {
            EXPECT_TRUE(qz::allowedStep(road[i - 1], road[i]))
                << qz::to_string(road[i - 1]) << " -> " << qz::to_string(road[i]);
        }
    }
}

TEST(FilePhase, StepsThatSkipOrGoBackAreNot) {
    const std::vector<std::pair<P, P>> steps = {
        {P::eWaiting, P::eSending},   // no request yet
        {P::eWaiting, P::eDone},      // never checked
        {P::eSending, P::eDone},      // not checked
        {P::eChecking, P::eSending},  // checked bytes are not read again in the same attempt
        {P::eDone, P::eWaiting},      // a sent file stays sent
        {P::eFailed, P::eOpening},    // a failed file is not tried again in the same upload
        {P::eOpening, P::eOpening},
    };
    for (const auto& [from, to] : steps) {
        EXPECT_FALSE(qz::allowedStep(from, to)) << qz::to_string(from) << " -> " << qz::to_string(to);
    }
}

}  // namespace
