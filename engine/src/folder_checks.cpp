#include "folder_checks.hpp"

#include <unordered_map>
#include <utility>

#include "folder_listing.hpp"
#include "qz/quoted.hpp"
#include "remote_path.hpp"

namespace qz {

namespace {

constexpr int kTries = 2;

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// LIST takes some characters as a pattern or an option: a name holding
// them is not looked for by a listing of its own.
bool listableAlone(const std::string& path) {
    return path.find_first_of("*?[]{}~") == std::string::npos && baseOf(path).rfind('-', 0) != 0;
}

std::string shown(const std::string& folder) { return folder.empty() ? "the login folder" : quoted(folder); }

}  // namespace

std::vector<ListingFinding> FolderChecks::startRound(QueuedFiles& files) {
    std::map<std::string, std::vector<unsigned long>> byFolder;
    for (unsigned long number = 1; number <= files.size(); ++number) {
        const QueuedFile& file = files.at(number);
        if (file.phase() != EFilePhase::eListing) continue;
        byFolder[folderOf(remoteCommandPath(file.entry().remote.full()))].push_back(number);
    }
    std::vector<ListingFinding> out;
    for (auto& [folder, numbers] : byFolder) {
        Listing listing{folder, false, std::move(numbers), 0};
        if (refused_) {
            unchecked(listing, out);
        } else {
            due_.push_back(std::move(listing));
        }
    }
    return out;
}

std::optional<PipelineJob> FolderChecks::next() {
    if (due_.empty()) return std::nullopt;
    const unsigned long id = nextId_++;
    Listing& listing = onTheWay_[id] = std::move(due_.front());
    due_.pop_front();
    ++listing.tries;
    PipelineJob job;
    job.id = id;
    job.commandPath = listing.path;
    job.list = true;
    job.listOne = listing.oneFile;
    return job;
}

void FolderChecks::unchecked(Listing& listing, std::vector<ListingFinding>& out) {
    for (const unsigned long number : listing.files) out.push_back({number, EListed::eUnchecked, 0, listing.path});
}

std::vector<ListingFinding> FolderChecks::listed(const PipelineOutcome& outcome, QueuedFiles& files) {
    std::vector<ListingFinding> out;
    auto it = onTheWay_.find(outcome.id);
    if (it == onTheWay_.end()) return out;
    Listing listing = std::move(it->second);
    onTheWay_.erase(it);
    const std::string what = listing.oneFile ? "the listing of " + quoted(listing.path)
                                             : "the listing of " + shown(listing.path);
    if (outcome.end != EPipelineEnd::eChecked) {
        const bool forGood = outcome.end == EPipelineEnd::eRefused && outcome.replyCode >= 500;
        if (!forGood && listing.tries < kTries) {
            due_.push_back(std::move(listing));
            return out;
        }
        note_ = "cannot check " + std::to_string(listing.files.size()) + " file(s) against " + what + ": " +
                (outcome.end == EPipelineEnd::eRefused ? "the server said " + quoted(outcome.reply) : outcome.fault);
        unchecked(listing, out);
        // A server that refuses to list a folder for good lists none.
        if (forGood && !listing.oneFile) {
            refused_ = true;
            for (Listing& other : due_) unchecked(other, out);
            due_.clear();
        }
        return out;
    }
    const std::optional<std::vector<ListedFile>> entries = readListing(outcome.listing, outcome.machineListing);
    if (!entries) {
        const std::string firstLine = outcome.listing.substr(0, outcome.listing.find_first_of("\r\n"));
        note_ = "cannot read " + what + " (it begins " + quoted(firstLine.substr(0, 120)) +
                "): " + std::to_string(listing.files.size()) + " file(s) are not checked by it";
        unchecked(listing, out);
        return out;
    }
    std::unordered_map<std::string, std::optional<std::uint64_t>> sizes;
    for (const ListedFile& f : *entries) sizes.emplace(f.name, f.size);
    for (const unsigned long number : listing.files) {
        const QueuedFile& file = files.at(number);
        if (file.phase() != EFilePhase::eListing) continue;
        const std::string path = remoteCommandPath(file.entry().remote.full());
        auto found = sizes.find(baseOf(path));
        if (found == sizes.end() && listing.oneFile) found = sizes.find(path);
        if (found == sizes.end()) {
            if (!listing.oneFile && listableAlone(path)) {
                due_.push_back({path, true, {number}, 0});
            } else {
                out.push_back({number, EListed::eMissing, 0, folderOf(path)});
            }
            continue;
        }
        const std::optional<std::uint64_t>& size = found->second;
        if (!size) {
            out.push_back({number, EListed::eNamed, 0, listing.path});
        } else if (*size == file.entry().fileSize) {
            out.push_back({number, EListed::eConfirmed, 0, listing.path});
        } else {
            out.push_back({number, EListed::eOtherSize, *size, folderOf(path)});
        }
    }
    return out;
}

std::vector<ListingFinding> FolderChecks::drop() {
    std::vector<ListingFinding> out;
    for (Listing& listing : due_) unchecked(listing, out);
    for (auto& [id, listing] : onTheWay_) unchecked(listing, out);
    due_.clear();
    onTheWay_.clear();
    return out;
}

}  // namespace qz
