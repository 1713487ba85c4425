// Reading the job server's config file, and the form decoding it relies on.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "config.hpp"
#include "form.hpp"

namespace {

using nlohmann::json;

json validConfig() {
    return json::parse(R"({
      "users": [{"name": "alice", "password": "wonderland"}],
      "orderForms": [{"name": "my_file_area", "type": "filearea"}],
      "transferServer": {"host": "127.0.0.1", "port": 2121, "user": "u", "password": "p", "path": "/",
                         "attributes": {"useSSL": true, "bandwidth": 100, "numEncoders": "2"}}
    })");
}

TEST(JobServerConfig, ReadsEverySetting) {
    json j = validConfig();
    j["transferServer"]["secureJobs"] = true;
    j["transferServer"]["localRoot"] = "/";
    j["maxBodyBytes"] = 1000;
    j["adminToken"] = "t0ken";
    const jobserver::Config config = jobserver::parseConfig(j.dump());
    ASSERT_NE(config.findUser("alice"), nullptr);
    EXPECT_EQ(config.findUser("alice")->password, "wonderland");
    EXPECT_EQ(config.findUser("bob"), nullptr);
    ASSERT_NE(config.findOrderForm("my_file_area"), nullptr);
    EXPECT_EQ(config.findOrderForm("my_file_area")->type, "filearea");
    EXPECT_EQ(config.transfer.port, 2121);
    const std::map<std::string, std::string> tuning{{"useSSL", "true"}, {"bandwidth", "100"}, {"numEncoders", "2"}};
    EXPECT_EQ(config.transfer.tuning, tuning);
    EXPECT_TRUE(config.transfer.secureJobs);
    EXPECT_EQ(config.transfer.localRoot, std::optional<std::string>("/"));
    EXPECT_EQ(config.maxBodyBytes, 1000u);
    EXPECT_EQ(config.adminToken, std::optional<std::string>("t0ken"));
    EXPECT_EQ(jobserver::parseConfig(validConfig().dump()).adminToken, std::nullopt);
}

TEST(JobServerConfig, NamesWhatIsWrong) {
    struct Case {
        std::string pointer;  // JSON pointer to change
        json value;           // null removes the key
        std::string message;
    };
    const Case cases[] = {
        {"/users", nullptr, "config: users: must be an array"},
        {"/users/0/password", "  ", "config: users[0].password: must not be blank"},
        {"/users/1", {{"name", "alice"}, {"password", "x"}}, "config: users[1]: user \"alice\" appears twice"},
        {"/orderForms/0/type", nullptr, "config: orderForms[0].type: missing"},
        {"/transferServer/port", 70000, "config: transferServer.port: must be an integer from 1 to 65535"},
        {"/transferServer/port", "21", "config: transferServer.port: must be an integer from 1 to 65535"},
        {"/transferServer/path", nullptr, "config: transferServer.path: missing"},
        {"/transferServer/attributes/u", "x",
         "config: transferServer.attributes.u: is set by host, port, user, password or path"},
        {"/transferServer/attributes/a b", "x",
         "config: transferServer.attributes.a b: is not a usable attribute name"},
        {"/transferServer/attributes/bandwidth", 1.5,
         "config: transferServer.attributes.bandwidth: must be a string, an integer or a boolean"},
        {"/transferServer/localRoot", "/nonexistent/folder",
         "config: transferServer.localRoot: \"/nonexistent/folder\" is not a folder"},
        {"/transferServer/secureJobs", "yes", "config: transferServer.secureJobs: must be a boolean"},
        {"/transferServer/hots", "x", "config: transferServer.hots: unknown key"},
        {"/maxBodyBytes", 0, "config: maxBodyBytes: must be a positive integer"},
        {"/adminToken", 42, "config: adminToken: must be a string"},
        {"/adminToken", " ", "config: adminToken: must not be blank"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pointer);
        json j = validConfig();
        const json::json_pointer pointer(c.pointer);
        if (c.value.is_null()) {
            j[pointer.parent_pointer()].erase(pointer.back());
        } else {
            j[pointer] = c.value;
        }
        try {
            jobserver::parseConfig(j.dump());
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }
}

TEST(JobServerConfig, RefusesFilesThatAreNotJson) {
    EXPECT_THROW(jobserver::parseConfig("{\"users\": ["), std::runtime_error);
    EXPECT_THROW(jobserver::parseConfig("[]"), std::runtime_error);
    try {
        jobserver::loadConfigFile("/nonexistent/jobserver.json");
        ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "config: cannot read \"/nonexistent/jobserver.json\"");
    }
}

TEST(JobServerForm, DecodesStrictly) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", ""},
        {"a+b", "a b"},
        {"%41%2b%2B", "A++"},
        {"%00x", std::string("\0x", 2)},
        {"%", std::nullopt},
        {"%4", std::nullopt},
        {"%4g", std::nullopt},
        {"100%", std::nullopt},
    };
    for (const auto& [encoded, decoded] : cases) {
        EXPECT_EQ(jobserver::formDecode(encoded), decoded) << encoded;
    }
}

TEST(JobServerForm, SplitsFieldsAndEscapesAttributes) {
    const jobserver::FormFields expected{{"k", "1"}, {"flag", ""}, {"u", "a=b"}, {"", ""}};
    EXPECT_EQ(jobserver::splitForm("k=1&flag&u=a=b&"), expected);
    EXPECT_TRUE(jobserver::splitForm("").empty());
    EXPECT_EQ(jobserver::queryOf("/a.do?x=1&y=2"), "x=1&y=2");
    EXPECT_EQ(jobserver::queryOf("/a.do"), "");
    EXPECT_EQ(jobserver::xmlAttribute("a&<b>\"c'\n\x01"), "a&amp;&lt;b&gt;&quot;c&apos;&#10;?");
}

}  // namespace
