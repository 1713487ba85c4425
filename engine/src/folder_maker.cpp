#include "folder_maker.hpp"

namespace qz {

void FolderMaker::start(FtpPipeline& pipeline, const std::vector<std::string>& folders) {
    if (folders.empty()) {
        made_ = true;
        return;
    }
    pipeline.makeFolders(folders);
    by_ = &pipeline;
    asked_ = folders.size();
}

std::size_t FolderMaker::finished() {
    if (!by_ || by_->stopped() || by_->makingFolders()) return 0;
    by_ = nullptr;
    made_ = true;
    return asked_;
}

RetryDecision FolderMaker::failed(bool answered, Clock::time_point now, RetryPolicy& policy) {
    by_ = nullptr;
    if (answered) ++attempts_;
    const RetryDecision decision = policy.afterFailure(answered ? EFailure::eTransient : EFailure::eUnreachable,
                                                       attempts_, now);
    if (decision.action == ERetry::eRetry) {
        notBefore_ = now + decision.pause;
    } else {
        made_ = true;
    }
    return decision;
}

}  // namespace qz
