#include <gtest/gtest.h>

#include "sim/serve/http_wire.h"

namespace {

using norva_core::sim::http_wire::parse_request;
using State = norva_core::sim::http_wire::Parse::State;

constexpr std::size_t LIMIT = 1000;

TEST(HttpWire, ReadsOneRequestAtATimeFromPipelinedBytes) {
    std::string bytes =
        "\r\nPOST /v1/sessions?x=1 HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}"
        "GET /v1/health HTTP/1.1\nConnection: close\n\n";
    auto first = parse_request(bytes, LIMIT);
    ASSERT_EQ(first.state, State::complete);
    EXPECT_EQ(first.request.method, "POST");
    EXPECT_EQ(first.request.path, "/v1/sessions");
    EXPECT_EQ(first.request.body, "{}");
    EXPECT_TRUE(first.request.keep_alive);
    auto second = parse_request(std::string_view(bytes).substr(first.consumed), LIMIT);
    ASSERT_EQ(second.state, State::complete);
    EXPECT_EQ(second.request.path, "/v1/health");
    EXPECT_FALSE(second.request.keep_alive);
    EXPECT_EQ(first.consumed + second.consumed, bytes.size());
}

TEST(HttpWire, WaitsForTheRestAndAsksToContinueWhenTold) {
    EXPECT_EQ(parse_request("GET /v1/health HTTP/1.1\r\nHost:", LIMIT).state, State::incomplete);
    auto waiting = parse_request(
        "POST /s HTTP/1.1\r\nContent-Length: 10\r\nExpect: 100-continue\r\n\r\n12345", LIMIT);
    EXPECT_EQ(waiting.state, State::incomplete);
    EXPECT_TRUE(waiting.expects_continue);
}

TEST(HttpWire, DecodesChunkedBodiesWithExtensionsAndTrailers) {
    std::string bytes =
        "POST /s HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "3;name=x\r\n{\"a\r\n4\r\n\":1}\r\n0\r\nTrailer: y\r\n\r\nrest";
    auto parse = parse_request(bytes, LIMIT);
    ASSERT_EQ(parse.state, State::complete);
    EXPECT_EQ(parse.request.body, "{\"a\":1}");
    EXPECT_EQ(bytes.substr(parse.consumed), "rest");
    EXPECT_EQ(parse_request(bytes.substr(0, bytes.size() - 8), LIMIT).state, State::incomplete);
}

TEST(HttpWire, HttpOneZeroClosesUnlessAskedToKeepAlive) {
    EXPECT_FALSE(parse_request("GET / HTTP/1.0\r\n\r\n", LIMIT).request.keep_alive);
    EXPECT_TRUE(parse_request("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", LIMIT)
                    .request.keep_alive);
}

TEST(HttpWire, RefusesWhatItCannotTakeWithTheRightStatus) {
    struct Case {
        std::string bytes;
        int status;
    };
    for (const auto& [bytes, status] : std::vector<Case>{
             {"POST /s HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", 413},
             {"POST /s HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3e9\r\n", 413},
             {"POST /s HTTP/1.1\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
             {"POST /s HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", 400},
             {"POST /s HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
             {"POST /s HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 501},
             {"GET /s HTTP/2.0\r\n\r\n", 505},
             {"nonsense\r\n\r\n", 400},
             {"GET /s HTTP/1.1\r\nno colon here\r\n\r\n", 400},
             {"GET /s HTTP/1.1\r\nX: " + std::string(70000, 'x'), 431},
         }) {
        auto parse = parse_request(bytes, LIMIT);
        EXPECT_EQ(parse.state, State::refused) << bytes.substr(0, 60);
        EXPECT_EQ(parse.status, status) << bytes.substr(0, 60);
        EXPECT_FALSE(parse.message.empty());
    }
}

}  // namespace
