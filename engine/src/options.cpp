#include "qz/options.hpp"

#include <algorithm>
#include <cstdlib>

#include "qz/rates.hpp"

namespace qz {

namespace {
// The range of each value, as the setters document it.
constexpr int kMostConnections = 16;
constexpr int kSmallestBlock = 16 * 1024;
constexpr int kLargestBlock = 2 * 1024 * 1024;
constexpr int kMostEncoders = 64;
constexpr int kLeastAggression = 1;
constexpr int kMostAggression = 10;
constexpr int kShortestTimeout = 1;

int connectionsWithinRange(int count) { return std::clamp(count, 1, kMostConnections); }

const char* yesNo(bool value) { return value ? "true" : "false"; }
}  // namespace

Options::Options() { reset(); }

void Options::reset() {
    *this = Options(DefaultsTag{});
    // Lets a user point every engine at their own certificate authority.
    if (const char* ca = std::getenv("QZ_CA_FILE"); ca && *ca) caFile = ca;
}

Options::Options(DefaultsTag) {}

void Options::setMultiThreaded(bool enabled, int count) {
    multiThreaded = enabled;
    connections = connectionsWithinRange(count);
}

void Options::setUsernameAndPassword(const std::string& user, const std::string& pass) {
    username = user;
    password = pass;
}

void Options::setFtpServer(const std::string& serverHost, std::uint16_t serverPort) {
    host = serverHost;
    port = serverPort;
}

void Options::setMode(ETransferMode transfer, EConnectionMode connection) {
    transferMode = transfer;
    connectionMode = connection;
}

void Options::setEncryption(bool control, bool data) {
    encryptControl = control;
    encryptData = data;
}

void Options::setBandwidth(std::uint64_t maximum, std::uint64_t start) {
    bandwidthMaximum = maximum;
    bandwidthStart = start;
}

void Options::setLimits(int unit, int block) {
    blockSize = std::clamp(block, kSmallestBlock, kLargestBlock);
    unitSize = std::clamp(unit, 1, blockSize);
}

void Options::setEncoders(int count) { encoders = std::clamp(count, 0, kMostEncoders); }

void Options::setCongestionControl(bool enabled, int aggression) {
    congestionControl = enabled;
    congestionAggression = std::clamp(aggression, kLeastAggression, kMostAggression);
}

void Options::setStallTimeout(int seconds) { stallTimeout = std::max(seconds, kShortestTimeout); }

void Options::setUnreachableTimeout(int seconds) { unreachableTimeout = std::max(seconds, kShortestTimeout); }

void Options::setCertificateAuthority(const std::string& file) { caFile = file; }

void Options::setServerHashCheck(bool enabled) { serverHashCheck = enabled; }

void Options::setPipelining(bool enabled) { pipelining = enabled; }

Options Options::normalized() const {
    Options o = *this;
    o.setMultiThreaded(multiThreaded, connections);
    o.setLimits(unitSize, blockSize);
    o.setEncoders(encoders);
    o.setCongestionControl(congestionControl, congestionAggression);
    o.setStallTimeout(stallTimeout);
    o.setUnreachableTimeout(unreachableTimeout);
    return o;
}

int Options::effectiveConnections() const {
    if (!multiThreaded || transferMode != ETransferMode::eParallel) return 1;
    return connectionsWithinRange(connections);
}

std::map<std::string, std::string> Options::getMap(bool showPasswords) const {
    std::map<std::string, std::string> m;
    m["multi threaded"] = yesNo(multiThreaded);
    m["connections"] = std::to_string(connections);
    m["username"] = username;
    m["password"] = (showPasswords || password.empty()) ? password : "********";
    m["host"] = host;
    m["port"] = std::to_string(port);
    m["transfer mode"] = transferMode == ETransferMode::eParallel ? "parallel" : "sequential";
    m["connection mode"] = connectionMode == EConnectionMode::ePassive ? "passive" : "active";
    m["encrypt control"] = yesNo(encryptControl);
    m["encrypt data"] = yesNo(encryptData);
    m["bandwidth maximum"] = formatTransferRate(bandwidthMaximum);
    m["bandwidth start"] = formatTransferRate(bandwidthStart);
    m["unit size"] = std::to_string(unitSize);
    m["block size"] = std::to_string(blockSize);
    m["encoders"] = std::to_string(encoders);
    m["congestion control"] = yesNo(congestionControl);
    m["congestion aggression"] = std::to_string(congestionAggression);
    m["stall timeout"] = std::to_string(stallTimeout);
    m["unreachable timeout"] = std::to_string(unreachableTimeout);
    m["ca file"] = caFile;
    m["server hash check"] = yesNo(serverHashCheck);
    m["pipelining"] = yesNo(pipelining);
    return m;
}

}  // namespace qz
