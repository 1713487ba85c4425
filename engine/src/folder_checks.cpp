#include "folder_checks.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "qz/quoted.hpp"
#include "remote_path.hpp"

namespace qz {

namespace {

constexpr int kTries = 2;
// A listing this long may have been cut short by the server.
constexpr std::size_t kMayBeCut = 1000;
// Files missing from a listing that long are looked for one by one only
// while they are few.
constexpr std::size_t kMostLookedUp = 100;

bool isTop(const std::string& folder) { return folder.empty() || folder == "/"; }

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// LIST takes some characters as a pattern: a name holding them is not
// looked for by a listing of its own.
bool listableAlone(const std::string& path) { return path.find_first_of("*?[]{}~") == std::string::npos; }

std::string shown(const std::string& folder) { return folder.empty() ? "the login folder" : quoted(folder); }

using Entries = std::unordered_map<std::string_view, const ListedEntry*>;

Entries byName(const std::vector<ListedEntry>& entries) {
    Entries names;
    for (const ListedEntry& e : entries) names.emplace(e.name, &e);
    return names;
}

// What a listed entry says of a stored file.
ListingFinding judged(unsigned long number, const ListedEntry* entry, std::uint64_t size, const std::string& listedIn) {
    ListingFinding f{number, EListed::eMissing, 0, "", listedIn};
    if (!entry || entry->kind == EListedKind::eFolder) return f;
    if (entry->kind != EListedKind::eFile || !entry->size) {
        f.how = EListed::eNamed;
    } else if (*entry->size == size) {
        f.how = EListed::eConfirmed;
    } else {
        f.how = EListed::eOtherSize;
        f.size = *entry->size;
    }
    return f;
}

}  // namespace

std::vector<ListingFinding> FolderChecks::startRound(QueuedFiles& files) {
    folders_.clear();
    for (unsigned long number = 1; number <= files.size(); ++number) {
        const QueuedFile& file = files.at(number);
        if (file.phase() != EFilePhase::eListing) continue;
        std::string child = folderOf(remoteCommandPath(file.entry().remote.full()));
        folders_[child].files.push_back(static_cast<std::uint32_t>(number));
        while (!isTop(child)) {
            const std::string parent = folderOf(child);
            if (!folders_[parent].children.insert(child).second) break;
            child = parent;
        }
    }
    std::vector<ListingFinding> out;
    for (const auto& [path, folder] : folders_) {
        if (!isTop(path)) continue;
        if (refused_) {
            findAll(path, EListed::eUnchecked, out, "", "");
        } else {
            due_.push_back({path, false, 0, 0, true});
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

void FolderChecks::findAll(const std::string& folder, EListed how, std::vector<ListingFinding>& out,
                           const std::string& missing, const std::string& listedIn) {
    const auto it = folders_.find(folder);
    if (it == folders_.end()) return;
    for (const unsigned long number : it->second.files) out.push_back({number, how, 0, missing, listedIn});
    for (const std::string& child : it->second.children) findAll(child, how, out, missing, listedIn);
}

void FolderChecks::passOver(const Listing& listing, std::vector<ListingFinding>& out) {
    if (listing.oneFile) {
        out.push_back({listing.file, EListed::eUnchecked, 0, "", ""});
        return;
    }
    const Folder& folder = folders_[listing.path];
    for (const unsigned long number : folder.files) out.push_back({number, EListed::eUnchecked, 0, "", ""});
    for (const std::string& child : folder.children) due_.push_back({child, false, 0, 0, listing.vouched});
}

void FolderChecks::uncheckDue(std::vector<ListingFinding>& out) {
    for (const Listing& listing : due_) {
        if (listing.oneFile) {
            out.push_back({listing.file, EListed::eUnchecked, 0, "", ""});
        } else {
            findAll(listing.path, EListed::eUnchecked, out, "", "");
        }
    }
    due_.clear();
}

void FolderChecks::checkFiles(const Listing& listing, const std::vector<ListedEntry>& entries, QueuedFiles& files,
                              std::vector<ListingFinding>& out) {
    const Entries names = byName(entries);
    const bool long_ = entries.size() >= kMayBeCut;
    std::vector<std::pair<unsigned long, std::string>> missing;
    for (const unsigned long number : folders_[listing.path].files) {
        const QueuedFile& file = files.at(number);
        if (file.phase() != EFilePhase::eListing) continue;
        std::string path = remoteCommandPath(file.entry().remote.full());
        const auto found = names.find(baseOf(path));
        ListingFinding f = judged(number, found == names.end() ? nullptr : found->second, file.entry().fileSize,
                                  listing.path);
        if (f.how == EListed::eMissing) {
            missing.emplace_back(number, std::move(path));
            continue;
        }
        if (!listing.vouched && f.how != EListed::eOtherSize) f.how = EListed::eUnchecked;
        out.push_back(std::move(f));
    }
    if (long_ && missing.size() > kMostLookedUp) {
        note_ = "the listing of " + shown(listing.path) + " has " + std::to_string(entries.size()) +
                " entries and lacks " + std::to_string(missing.size()) +
                " of the files: the server may have cut it short, and they are not "
                "checked by it";
        for (const auto& [number, path] : missing) out.push_back({number, EListed::eUnchecked, 0, "", ""});
        return;
    }
    for (auto& [number, path] : missing) {
        if (listableAlone(path)) {
            // Looked for once more on its own: the listing may have been cut short.
            due_.push_back({std::move(path), true, number, 0, listing.vouched});
        } else {
            out.push_back({number, long_ ? EListed::eUnchecked : EListed::eMissing, 0, "", listing.path});
        }
    }
}

void FolderChecks::checkChildren(const Listing& listing, const std::vector<ListedEntry>& entries,
                                 std::vector<ListingFinding>& out) {
    const Entries names = byName(entries);
    for (const std::string& child : folders_[listing.path].children) {
        const std::string name = baseOf(child);
        const auto found = names.find(name);
        if (found != names.end() && found->second->kind != EListedKind::eFile) {
            due_.push_back({child, false, 0, 0, listing.vouched});
        } else if (entries.size() >= kMayBeCut || name.front() == '.') {
            // Left out of a listing that may be cut short, or one that leaves
            // out names beginning with ".": listed by its own name.
            due_.push_back({child, false, 0, 0, false});
        } else {
            findAll(child, EListed::eMissing, out, child, listing.path);
        }
    }
}

std::vector<ListingFinding> FolderChecks::listed(const PipelineOutcome& outcome, QueuedFiles& files) {
    std::vector<ListingFinding> out;
    auto it = onTheWay_.find(outcome.id);
    if (it == onTheWay_.end()) return out;
    Listing listing = std::move(it->second);
    onTheWay_.erase(it);
    const std::string what = "the listing of " + shown(listing.path);
    if (outcome.end != EPipelineEnd::eChecked) {
        // A server that offers MLSD but does not know it gets LIST next time.
        const bool noMlsd = outcome.machineListing && (outcome.replyCode == 500 || outcome.replyCode == 502);
        const bool forGood = outcome.end == EPipelineEnd::eRefused && outcome.replyCode >= 500 && !noMlsd;
        if (!forGood && listing.tries < kTries) {
            due_.push_back(std::move(listing));
            return out;
        }
        const std::string why = outcome.end == EPipelineEnd::eRefused ? "the server said " + quoted(outcome.reply)
                                                                      : outcome.fault;
        note_ = "cannot check " + (listing.oneFile ? quoted(listing.path) : "the files in " + shown(listing.path)) +
                " against a listing: " + why;
        if (!forGood || anyListed_) {
            passOver(listing, out);
            return out;
        }
        // A server that refuses the first listing for good (one that takes
        // files but shows none) is asked for no more.
        refused_ = true;
        findAll(listing.path, EListed::eUnchecked, out, "", "");
        uncheckDue(out);
        return out;
    }
    const std::optional<std::vector<ListedEntry>> entries = readListing(outcome.listing, outcome.machineListing);
    if (!entries) {
        const std::string firstLine = outcome.listing.substr(0, outcome.listing.find_first_of("\r\n"));
        note_ = "cannot read " + what + " (it begins " + quoted(firstLine.substr(0, 120)) +
                "): the files in it are not checked by it";
        passOver(listing, out);
        return out;
    }
    anyListed_ = true;
    if (listing.oneFile) {
        const QueuedFile& file = files.at(listing.file);
        const Entries names = byName(*entries);
        auto found = names.find(baseOf(listing.path));
        if (found == names.end()) found = names.find(listing.path);
        ListingFinding f = judged(listing.file, found == names.end() ? nullptr : found->second, file.entry().fileSize,
                                  folderOf(listing.path));
        // Some servers leave names beginning with "." out of every listing.
        const bool hidden = baseOf(listing.path).front() == '.';
        if ((!listing.vouched && f.how != EListed::eOtherSize && f.how != EListed::eMissing) ||
            (hidden && f.how == EListed::eMissing)) {
            f.how = EListed::eUnchecked;
        }
        out.push_back(std::move(f));
        return out;
    }
    if (entries->empty()) {
        // A folder we may write to but not read lists as empty.
        note_ = what + " shows nothing: the files in it are not checked by it";
        passOver(listing, out);
        return out;
    }
    checkFiles(listing, *entries, files, out);
    checkChildren(listing, *entries, out);
    // Judged: the folder's file list is not needed again this round.
    std::vector<std::uint32_t>().swap(folders_[listing.path].files);
    return out;
}

std::vector<ListingFinding> FolderChecks::drop() {
    std::vector<ListingFinding> out;
    for (auto& [id, listing] : onTheWay_) due_.push_back(std::move(listing));
    onTheWay_.clear();
    uncheckDue(out);
    return out;
}

}  // namespace qz
