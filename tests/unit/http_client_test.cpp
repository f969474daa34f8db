#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fake_http_server.h"
#include "norva_core/http.h"
#include "test_ca.h"

namespace http = norva_core::http;
using namespace std::chrono_literals;

namespace {

const norva_test::TestCa& test_ca() {
    static const norva_test::TestCa ca;
    return ca;
}

http::Request to(const std::string& url, const std::string& method = "GET") {
    http::Request request;
    request.method = method;
    request.url = url;
    request.tls.ca_bundle = test_ca().ca_file();
    return request;
}

// A listening socket whose accept queue is full, so new connections are never completed.
class StalledListener {
  public:
    StalledListener() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 0);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        for (int& filler : fillers_) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
    }
    ~StalledListener() {
        for (int filler : fillers_) {
            close(filler);
        }
        close(listener_);
    }
    int port() const { return port_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    int fillers_[4] = {-1, -1, -1, -1};
};

}  // namespace

TEST(HttpClient, SendsMethodHeadersAndBodyOverTlsWithTheTestCa) {
    norva_test::FakePlatform platform(test_ca());
    platform.on("POST", "/v1/clusters/local", {201, R"({"id":"c1"})"});
    auto request = to(platform.url() + "/v1/clusters/local", "POST");
    request.headers = {{"Authorization", "Bearer secret"}, {"Content-Type", "application/json"}};
    request.body = R"({"name":"box"})";
    auto response = http::send(request);
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, R"({"id":"c1"})");
    auto recorded = platform.requests();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].headers["Authorization"], "Bearer secret");
    EXPECT_EQ(recorded[0].body, R"({"name":"box"})");
}

TEST(HttpClient, ErrorStatusesAreResponsesNotErrors) {
    norva_test::FakePlatform platform(test_ca());
    platform.on("DELETE", "/v1/clusters/c1", {500, "broken"});
    auto response = http::send(to(platform.url() + "/v1/clusters/c1", "DELETE"));
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.body, "broken");
}

TEST(HttpClient, RefusesACertificateItCannotVerify) {
    norva_test::FakePlatform platform(test_ca());
    platform.on("GET", "/v1/health", {200, "{}"});
    auto request = to(platform.url() + "/v1/health");
    request.tls.ca_bundle.reset();
    EXPECT_THROW(http::send(request), http::ClientError);
    EXPECT_TRUE(platform.requests().empty());
}

TEST(HttpClient, CaBundleComesFromTheEnvironment) {
    setenv("NORVA_CA_BUNDLE", "/some/bundle.pem", 1);
    EXPECT_EQ(http::default_tls().ca_bundle, "/some/bundle.pem");
    unsetenv("NORVA_CA_BUNDLE");
    EXPECT_EQ(http::default_tls().ca_bundle, std::nullopt);
}

TEST(HttpClient, TotalTimeLimitRaisesATimeoutWithEmptyText) {
    norva_test::FakePlatform platform(test_ca());
    platform.on("GET", "/slow", {200, "late", 2000ms});
    auto request = to(platform.url() + "/slow");
    request.total_timeout = 300ms;
    try {
        http::send(request);
        FAIL() << "no time-out";
    } catch (const http::TimeoutError& error) {
        EXPECT_STREQ(error.what(), "");
    }
}

TEST(HttpClient, ConnectTimeLimitRaisesATimeout) {
    StalledListener stalled;
    http::Request request;
    request.url = "http://127.0.0.1:" + std::to_string(stalled.port()) + "/";
    request.connect_timeout = 300ms;
    EXPECT_THROW(http::send(request), http::TimeoutError);
}

TEST(HttpClient, RefusedConnectionIsAClientErrorWithText) {
    http::Request request;
    request.url = "http://127.0.0.1:1/";
    try {
        http::send(request);
        FAIL() << "connection was not refused";
    } catch (const http::ClientError& error) {
        EXPECT_STRNE(error.what(), "");
    }
}

TEST(HttpClient, SendsMultipartForms) {
    norva_test::FakePlatform platform(test_ca());
    platform.on("POST", "/upload", {201, "{}"});
    auto request = to(platform.url() + "/upload", "POST");
    request.form = {{"type", "sim", std::nullopt}};
    EXPECT_EQ(http::send(request).status, 201);
    EXPECT_EQ(platform.requests().at(0).form["type"], "sim");
}
