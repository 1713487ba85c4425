#include "config.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace jobserver {

namespace {

using nlohmann::json;

[[noreturn]] void bad(const std::string& where, const std::string& what) {
    throw std::runtime_error("config: " + where + ": " + what);
}

// Unknown keys are refused so that a misspelt key does not go unnoticed.
void onlyKeys(const json& object, const std::string& where, const std::set<std::string>& allowed) {
    if (!object.is_object()) bad(where, "must be an object");
    for (const auto& item : object.items()) {
        if (allowed.count(item.key()) == 0) bad(where + "." + item.key(), "unknown key");
    }
}

std::string text(const json& object, const std::string& where, const std::string& key) {
    const auto it = object.find(key);
    if (it == object.end()) bad(where + "." + key, "missing");
    if (!it->is_string()) bad(where + "." + key, "must be a string");
    auto value = it->get<std::string>();
    if (value.find_first_not_of(" \t\r\n") == std::string::npos) bad(where + "." + key, "must not be blank");
    return value;
}

// Tuning values end up as attribute texts; numbers and flags are written the
// way the client reads them back.
std::string attributeText(const json& value, const std::string& where) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
    if (value.is_number_integer()) return value.dump();
    bad(where, "must be a string, an integer or a boolean");
}

TransferServer parseTransfer(const json& object) {
    const std::string where = "transferServer";
    onlyKeys(object, where, {"host", "port", "user", "password", "path", "attributes", "secureJobs", "localRoot"});
    TransferServer transfer;
    transfer.host = text(object, where, "host");
    const auto port = object.find("port");
    if (port == object.end()) bad(where + ".port", "missing");
    if (!port->is_number_integer() || port->get<long long>() < 1 || port->get<long long>() > 65535) {
        bad(where + ".port", "must be an integer from 1 to 65535");
    }
    transfer.port = port->get<int>();
    transfer.user = text(object, where, "user");
    transfer.password = text(object, where, "password");
    transfer.path = text(object, where, "path");
    if (const auto it = object.find("attributes"); it != object.end()) {
        if (!it->is_object()) bad(where + ".attributes", "must be an object");
        for (const auto& item : it->items()) {
            const std::string& name = item.key();
            const std::string at = where + ".attributes." + name;
            static const std::set<std::string> reserved{"path", "u", "p", "s", "p1"};
            if (reserved.count(name) != 0) bad(at, "is set by host, port, user, password or path");
            if (name.empty() || name.find_first_of(" \t\r\n=<>&\"'/") != std::string::npos) {
                bad(at, "is not a usable attribute name");
            }
            transfer.tuning[name] = attributeText(item.value(), at);
        }
    }
    if (const auto it = object.find("secureJobs"); it != object.end()) {
        if (!it->is_boolean()) bad(where + ".secureJobs", "must be a boolean");
        transfer.secureJobs = it->get<bool>();
    }
    if (object.contains("localRoot")) {
        const std::string root = text(object, where, "localRoot");
        std::error_code ec;
        if (!std::filesystem::is_directory(root, ec)) bad(where + ".localRoot", "\"" + root + "\" is not a folder");
        transfer.localRoot = root;
    }
    return transfer;
}

}  // namespace

const User* Config::findUser(const std::string& name) const {
    for (const auto& user : users) {
        if (user.name == name) return &user;
    }
    return nullptr;
}

const OrderForm* Config::findOrderForm(const std::string& name) const {
    for (const auto& form : orderForms) {
        if (form.name == name) return &form;
    }
    return nullptr;
}

Config parseConfig(const std::string& jsonText) {
    json root;
    try {
        root = json::parse(jsonText);
    } catch (const json::parse_error& e) {
        throw std::runtime_error(std::string("config: not valid JSON: ") + e.what());
    }
    onlyKeys(root, "top level", {"users", "orderForms", "transferServer", "maxBodyBytes", "adminToken"});

    Config config;
    const auto users = root.find("users");
    if (users == root.end() || !users->is_array()) bad("users", "must be an array");
    for (std::size_t i = 0; i < users->size(); ++i) {
        const std::string where = "users[" + std::to_string(i) + "]";
        onlyKeys((*users)[i], where, {"name", "password"});
        User user{text((*users)[i], where, "name"), text((*users)[i], where, "password")};
        if (config.findUser(user.name) != nullptr) bad(where, "user \"" + user.name + "\" appears twice");
        config.users.push_back(std::move(user));
    }

    const auto forms = root.find("orderForms");
    if (forms == root.end() || !forms->is_array()) bad("orderForms", "must be an array");
    for (std::size_t i = 0; i < forms->size(); ++i) {
        const std::string where = "orderForms[" + std::to_string(i) + "]";
        onlyKeys((*forms)[i], where, {"name", "type"});
        OrderForm form{text((*forms)[i], where, "name"), text((*forms)[i], where, "type")};
        if (config.findOrderForm(form.name) != nullptr) {
            bad(where, "order form \"" + form.name + "\" appears twice");
        }
        config.orderForms.push_back(std::move(form));
    }

    const auto transfer = root.find("transferServer");
    if (transfer == root.end()) bad("transferServer", "missing");
    config.transfer = parseTransfer(*transfer);

    if (const auto it = root.find("maxBodyBytes"); it != root.end()) {
        if (!it->is_number_unsigned() || it->get<unsigned long long>() == 0) {
            bad("maxBodyBytes", "must be a positive integer");
        }
        config.maxBodyBytes = it->get<std::size_t>();
    }
    if (const auto it = root.find("adminToken"); it != root.end()) {
        if (!it->is_string()) bad("adminToken", "must be a string");
        if (it->get<std::string>().find_first_not_of(" \t\r\n") == std::string::npos)
            bad("adminToken", "must not be blank");
        config.adminToken = it->get<std::string>();
    }
    return config;
}

Config loadConfigFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("config: cannot read \"" + path + "\"");
    std::ostringstream content;
    content << in.rdbuf();
    try {
        return parseConfig(content.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

}  // namespace jobserver
