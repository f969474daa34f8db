#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace norva_test {

class TestCa;

struct RecordedRequest {
    std::string method;
    std::string path;   // without the query
    std::string query;  // "a=b&c=d", empty when none
    std::map<std::string, std::string> headers;
    std::string body;
    // The form fields of a multipart request: name -> content.
    std::map<std::string, std::string> form;
};

struct Reply {
    int status = 200;
    std::string body;
    std::chrono::milliseconds delay{0};
    std::string content_type = "application/json";
};

// A programmable HTTP(S) server on 127.0.0.1 that records every request. Requests for which no
// reply is programmed get 404.
class FakeHttpServer {
  public:
    // Plain HTTP on the given port (0 picks a free one).
    explicit FakeHttpServer(int port = 0);
    // HTTPS with the test CA's server certificate.
    FakeHttpServer(const TestCa& ca, int port = 0);
    ~FakeHttpServer();
    FakeHttpServer(const FakeHttpServer&) = delete;
    FakeHttpServer& operator=(const FakeHttpServer&) = delete;

    int port() const { return port_; }
    std::string url() const;

    // path may carry a query ("/sims?name=x"): such a reply wins over the one for the bare path.
    void on(const std::string& method, const std::string& path, Reply reply);
    std::vector<RecordedRequest> requests() const;

  private:
    void start(int port);

    std::unique_ptr<httplib::Server> server_;
    bool tls_ = false;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Reply> replies_;
    std::vector<RecordedRequest> requests_;
    std::thread thread_;
};

// The platform: HTTPS with the test CA.
class FakePlatform : public FakeHttpServer {
  public:
    explicit FakePlatform(const TestCa& ca) : FakeHttpServer(ca) {}
};

// The local compute service on 127.0.0.1:8000, plain HTTP. Tests that use it share a lock on
// the port.
class FakeComputeService : public FakeHttpServer {
  public:
    FakeComputeService() : FakeHttpServer(8000) {}
};

}  // namespace norva_test
