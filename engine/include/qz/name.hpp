#pragma once
// Names of files: a local path on this machine, a remote path on the
// transfer server. Both keep the text exactly as given.
//
//   qz::Local l("/data/run 1/a.txt");   l.full() == "/data/run 1/a.txt"
//   qz::Remote r("./run 1/a.txt");      r.full() == "./run 1/a.txt"

#include <string>

namespace qz {

class Name {
public:
    Name() = default;
    explicit Name(std::string path) : path_(std::move(path)) {}
    Name(const Name&) = default;
    Name& operator=(const Name&) = default;
    virtual ~Name() = default;

    // The name as given.
    const std::string& full() const { return path_; }
    // The last component: "a.txt" for "/data/a.txt", "" for "/data/".
    std::string base() const;

private:
    std::string path_;
};

class Local : public Name {
public:
    using Name::Name;
};

class Remote : public Name {
public:
    using Name::Name;
};

}  // namespace qz
