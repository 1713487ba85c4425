// The transfer engine's configuration from the "ftp" element of the job
// creation answer.
#include <cstdlib>

#include "qz/ws.hpp"
#include "qz/xml.hpp"

namespace qz {

namespace {

bool isBlank(const std::string& value) { return value.find_first_not_of(" \t\r\n") == std::string::npos; }

// The transfer password is the job server's to hand out and never needed
// again once given to the engine: logs and diagnostics carry this instead,
// the same whatever the password's length.
const char* const kMaskedPassword = "********";

std::string shown(const std::string& name, const std::string& value) { return name == "p" ? kMaskedPassword : value; }

std::int32_t number32(const std::string& value) {
    return static_cast<std::int32_t>(std::strtol(value.c_str(), nullptr, 10));
}

// Rates arrive as counts of the rate unit; the sign extension is deliberate
// (a negative count wraps to a huge rate rather than failing the job).
std::uint64_t unitsToRate(std::int32_t units) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(units)) * bps(ECommonBandwidth::e1Mbit);
}

}  // namespace

WS& WS::set_options(xmlDoc* answer) {
    const StringMap ftp = findAnyNodeAndGetAttribs(answer, "ftp");
    for (const char* required : {"path", "u", "p", "s", "p1"}) {
        auto it = ftp.find(required);
        if (it != ftp.end() && !isBlank(it->second)) continue;
        StringMap extra;
        for (const auto& [name, value] : ftp) extra["ftp node " + name] = shown(name, value);
        fail(__LINE__, "set_options",
             "FTP node in server response does not exist or is missing some required file transfer parameters", extra);
    }

    options.reset();
    options.setMultiThreaded(true, 3);

    std::string user = "(no user yet)";
    std::string password = "(no password yet)";
    std::string host = "127.0.0.1";
    std::int32_t port = 990;
    int transferMode = 2;
    int unitSize = 1024;
    int blockSize = 4194304;
    bool congestionControl = true;
    int aggression = 5;
    const auto passive = static_cast<EConnectionMode>(2);

    bandwidthStart = static_cast<std::uint64_t>(static_cast<double>(bps(static_cast<ECommonBandwidth>(1))) * 100.0);
    bandwidthMax = static_cast<std::uint64_t>(static_cast<double>(bps(static_cast<ECommonBandwidth>(18))) * 10.0);

    for (const auto& [name, value] : ftp) {
        if (value.empty()) continue;
        const bool flag = value == "true";
        if (name == "u") {
            user = value;
            ftpUsername = value;
            options.setUsernameAndPassword(user, password);
        } else if (name == "p") {
            password = value;
            options.setUsernameAndPassword(user, password);
        } else if (name == "s") {
            host = value;
            options.setFtpServer(host, static_cast<std::uint16_t>(port));
        } else if (name == "p1") {
            ftpPortText = value;
            port = number32(value);
            options.setFtpServer(host, static_cast<std::uint16_t>(port));
        } else if (name == "p2") {
            options.setMode(static_cast<ETransferMode>(transferMode), passive);
        } else if (name == "allowUDP") {
            transferMode = flag ? 2 : 1;
            options.setMode(static_cast<ETransferMode>(transferMode), passive);
        } else if (name == "useSSL") {
            options.setEncryption(flag, flag);
        } else if (name == "bandwidth") {
            bandwidthMax = unitsToRate(number32(value));
            options.setBandwidth(bandwidthMax, bandwidthStart);
        } else if (name == "congestionControlStartRate") {
            bandwidthStart = unitsToRate(number32(value));
            options.setBandwidth(bandwidthMax, bandwidthStart);
        } else if (name == "blocksize") {
            blockSize = number32(value);
            options.setLimits(unitSize, blockSize);
        } else if (name == "unitsize") {
            unitSize = number32(value);
            options.setLimits(unitSize, blockSize);
        } else if (name == "numEncoders") {
            options.setEncoders(number32(value));
        } else if (name == "useCongestionControl") {
            congestionControl = flag;
            options.setCongestionControl(congestionControl, aggression);
        } else if (name == "congestionControlAggression") {
            aggression = number32(value);
            options.setCongestionControl(congestionControl, aggression);
        }
    }

    Logging::enable(static_cast<Logging::EType>(3), options, "");
    Logging::enable(static_cast<Logging::EType>(4), options, "");
    Exception::createLogFile(true);
    SummaryLog::truncateLogFile();

    for (const auto& [key, value] : library_info()) SummaryLog::add("qz::WS: " + key + "=" + value);
    for (const auto& [name, value] : ftp) SummaryLog::add("qz::WS: xml ftp node " + name + "=" + shown(name, value));
    for (const auto& [name, value] : options.getMap(false)) SummaryLog::add("qz::Options: " + name + "=" + value);
    SummaryLog::add("qz::Options object has been initialized");
    SummaryLog::add("qz::WS order form name: " + orderFormName);
    SummaryLog::add("qz::WS order form type: " + orderFormType);
    SummaryLog::add("qz::WS job id: " + jobId);
    return *this;
}

}  // namespace qz
