#pragma once
// What the job server serves: its users, its order forms and the transfer
// server it hands out with every job. Read from a JSON file; the schema is
// described in README.md beside this file.
//
//   jobserver::Config config = jobserver::loadConfigFile("jobserver.json");
//   const jobserver::User* alice = config.findUser("alice");

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace jobserver {

struct User {
    std::string name;
    std::string password;
};

struct OrderForm {
    std::string name;
    std::string type;
};

struct TransferServer {
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
    std::string path;
    // Further attributes of the "ftp" element, such as bandwidth or useSSL.
    std::map<std::string, std::string> tuning;
    bool secureJobs = false;
    // The FTP user's root folder on this machine; when set, finalization
    // checks the reported files against it.
    std::optional<std::string> localRoot;
};

struct Config {
    std::vector<User> users;
    std::vector<OrderForm> orderForms;
    TransferServer transfer;
    std::size_t maxBodyBytes = 1024u * 1024u * 1024u;
    // The bearer token of the admin page; without one the page is not served.
    std::optional<std::string> adminToken;

    const User* findUser(const std::string& name) const;
    const OrderForm* findOrderForm(const std::string& name) const;
};

// Both throw std::runtime_error naming the file or the key that is wrong.
Config parseConfig(const std::string& jsonText);
Config loadConfigFile(const std::string& path);

}  // namespace jobserver
