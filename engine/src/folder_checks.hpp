#pragma once
// The last check of the stored files: listings must show every file under
// the name that was sent (and where they give sizes, with its size), and
// every folder on the way to it. A server that stores a name differently
// (it reads the command in another character set, say) answers SIZE and
// HASH for the name it was sent all the same, and lists a folder under the
// name it was asked for; only the listing of the folder above shows what it
// made of each name. So the folders are listed from the top down: a folder
// is listed once the listing above it showed it.
//
// A name missing from a listing is a failure ("the server did not store
// "X" under that name"), with exceptions that keep a server from being
// accused on a guess: a file is looked for once more by a listing of its
// own; some servers cut long listings short, so files missing in numbers
// from a long listing go unchecked, and a folder missing from one (or a
// folder whose name begins with ".", which some servers leave out) is
// listed by its own name instead, a listing that can then find faults but
// confirm nothing; and a listing that shows nothing at all (a folder we may
// write to but not read) or cannot be read checks nothing. A listed size
// that differs from a file whose SHA-256 the server confirmed is taken for
// a stale listing.
//
//   FolderChecks checks;
//   for (const ListingFinding& f : checks.startRound(files)) ...   // the files in phase eListing
//   std::optional<PipelineJob> job = checks.next();                 // for a free connection
//   for (const ListingFinding& f : checks.listed(outcome, files)) ...
//
// takeNote() says why a listing checked nothing, once per listing.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "folder_listing.hpp"
#include "ftp_pipeline.hpp"
#include "queued_file.hpp"

namespace qz {

enum class EListed {
    eConfirmed,  // listed under its name, with its size
    eNamed,      // listed under its name; the listing gives no size
    eOtherSize,  // listed under its name with another size (ListingFinding::size)
    eMissing,    // not listed under its name, or its folder is not (ListingFinding::folder)
    eUnchecked,  // no listing could be had or read
};

struct ListingFinding {
    unsigned long number = 0;
    EListed how = EListed::eUnchecked;
    std::uint64_t size = 0;  // eOtherSize: the listed size
    std::string folder;      // the folder listed; eMissing: the name that is missing, where a folder
    std::string listedIn;    // eMissing of a folder: the folder whose listing lacks it
};

class FolderChecks {
public:
    // Listing jobs are numbered apart from the files.
    static bool isListing(unsigned long id) { return id >= kFirstId; }

    // The folders of the files in phase eListing, and the folders above
    // them, to be listed from the top. Where the server refused listings for
    // good, every file is found unchecked at once.
    std::vector<ListingFinding> startRound(QueuedFiles& files);
    // Nothing due nor on a connection.
    bool idle() const { return due_.empty() && onTheWay_.empty(); }
    bool anyDue() const { return !due_.empty(); }
    // The next listing for a connection.
    std::optional<PipelineJob> next();
    // How a listing ended: what it says of the files. A listing that broke
    // goes again once.
    std::vector<ListingFinding> listed(const PipelineOutcome& outcome, QueuedFiles& files);
    // The upload ends early: every file still waiting, unchecked.
    std::vector<ListingFinding> drop();
    // Why the last listing checked nothing, "" if it did; cleared by the call.
    std::string takeNote() { return std::move(note_); }

private:
    static constexpr unsigned long kFirstId = 1UL << 40;

    struct Folder {
        // Stored right in it, by number (a queue of 100,000 files keeps this small).
        std::vector<std::uint32_t> files;
        std::set<std::string> children;  // folders below it with stored files further down
    };
    struct Listing {
        std::string path;  // a folder ("" for the login folder), or one file's name
        bool oneFile = false;
        unsigned long file = 0;  // oneFile: the file looked for
        int tries = 0;
        // The listing above showed it: it may confirm what it shows.
        bool vouched = true;
    };

    // Every file in `folder` and below it, with `how`.
    void findAll(const std::string& folder, EListed how, std::vector<ListingFinding>& out, const std::string& missing,
                 const std::string& listedIn);
    void checkFiles(const Listing& listing, const std::vector<ListedEntry>& entries, QueuedFiles& files,
                    std::vector<ListingFinding>& out);
    void checkChildren(const Listing& listing, const std::vector<ListedEntry>& entries,
                       std::vector<ListingFinding>& out);
    // The folder's files are not checked by its listing; the folders below it are still listed.
    void passOver(const Listing& listing, std::vector<ListingFinding>& out);
    // Every listing due, and every file below it, unchecked.
    void uncheckDue(std::vector<ListingFinding>& out);

    std::map<std::string, Folder> folders_;
    std::deque<Listing> due_;
    std::map<unsigned long, Listing> onTheWay_;
    unsigned long nextId_ = kFirstId;
    bool refused_ = false;    // the server refused listings for good: none is asked for again
    bool anyListed_ = false;  // a listing of this upload was read
    std::string note_;
};

}  // namespace qz
