#pragma once
// The controller's private state, shared by the queue and the transfer code.

#include <string>
#include <vector>

#include "qz/control.hpp"
#include "qz/exception.hpp"

namespace qz {

struct Control::Impl {
    Options options;
    GlobalStateAndStats stats;            // stats.fileMap is the queue
    std::vector<std::string> remoteFolders;  // folders to create, parents first
    unsigned long nextFileNumber = 1;
    StatsCallback callback = nullptr;
    void* callbackUser = nullptr;
    bool connected = false;

    explicit Impl(const Options& o) : options(o) {}
};

// Raises the engine's error for `operation` with `message`.
[[noreturn]] void raise(int line, const std::string& operation, const std::string& message,
                        std::map<std::string, std::string> diagnostics = {});

}  // namespace qz
