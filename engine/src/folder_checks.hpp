#pragma once
// The last check of the stored files: the listing of each folder they went
// to must show every one of them under the name that was sent, and where
// the listing gives sizes, with its size. A server that stores a name
// differently (it reads the command in another character set, say) answers
// SIZE and HASH for the name it was sent all the same; only its listing
// shows what it made of it. A name missing from a folder's listing is
// looked for once more by a listing of its own before it counts as
// missing: some servers cut long listings short.
//
//   FolderChecks checks;
//   checks.startRound(files);                 // the files in phase eListing, grouped by folder
//   std::optional<PipelineJob> job = checks.next();   // for a free connection
//   for (const ListingFinding& f : checks.listed(outcome, files)) ...
//
// A listing that cannot be had or read leaves its files as their other
// checks left them; note() says why, once per folder.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ftp_pipeline.hpp"
#include "queued_file.hpp"

namespace qz {

enum class EListed {
    eConfirmed,  // listed under its name, with its size
    eNamed,      // listed under its name; the listing gives no size
    eOtherSize,  // listed under its name with another size (ListingFinding::size)
    eMissing,    // not listed under its name
    eUnchecked,  // no listing could be had or read
};

struct ListingFinding {
    unsigned long number = 0;
    EListed how = EListed::eUnchecked;
    std::uint64_t size = 0;  // eOtherSize: the listed size
    std::string folder;      // for the messages: the folder listed
};

class FolderChecks {
public:
    // Listing jobs are numbered apart from the files.
    static bool isListing(unsigned long id) { return id >= kFirstId; }

    // Groups the files in phase eListing by folder; due from now on. Where
    // the server refused listings for good, they are found unchecked at once.
    std::vector<ListingFinding> startRound(QueuedFiles& files);
    // Nothing due nor on a connection.
    bool idle() const { return due_.empty() && onTheWay_.empty(); }
    bool anyDue() const { return !due_.empty(); }
    // The next listing for a connection.
    std::optional<PipelineJob> next();
    // How a listing ended: what it says of its files. A listing that broke
    // goes again once; names missing from a folder's listing are looked
    // for again (next()) before they are found missing.
    std::vector<ListingFinding> listed(const PipelineOutcome& outcome, QueuedFiles& files);
    // The upload ends early: every file still waiting, unchecked.
    std::vector<ListingFinding> drop();
    // Why the last listing left its files unchecked, "" if it did not; cleared by the call.
    std::string takeNote() { return std::move(note_); }

private:
    static constexpr unsigned long kFirstId = 1UL << 40;

    struct Listing {
        std::string path;  // the folder ("" for the login folder), or one file's name
        bool oneFile = false;
        std::vector<unsigned long> files;
        int tries = 0;
    };

    void unchecked(Listing& listing, std::vector<ListingFinding>& out);

    std::deque<Listing> due_;
    std::map<unsigned long, Listing> onTheWay_;
    unsigned long nextId_ = kFirstId;
    bool refused_ = false;  // the server refused a listing for good: none is asked for again
    std::string note_;
};

}  // namespace qz
