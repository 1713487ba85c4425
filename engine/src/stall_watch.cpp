#include "stall_watch.hpp"

#include <algorithm>

namespace qz {

StallWatch::StallWatch(Clock::duration limit, Clock::time_point now) : limit_(limit), lastTurn_(now) {}

void StallWatch::beginTurn(Clock::time_point now) {
    blind_ = now - lastTurn_ > kBlindSpell;
    lastTurn_ = now;
}

bool StallWatch::stalled(Mark& mark, const Seen& seen, Clock::time_point now) const {
    if (blind_ || seen.held || seen.uploaded != mark.uploaded || seen.replies != mark.replies) {
        mark = {seen.uploaded, seen.replies, now};
        return false;
    }
    return now - mark.movedAt >= std::max(limit_, seen.limit);
}

}  // namespace qz
