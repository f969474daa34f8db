#include "fake_http_server.h"

#include <httplib.h>

#include <stdexcept>

#include "test_ca.h"

namespace norva_test {

FakeHttpServer::FakeHttpServer(int port) : server_(std::make_unique<httplib::Server>()) {
    start(port);
}

FakeHttpServer::FakeHttpServer(const TestCa& ca, int port)
    : server_(
          std::make_unique<httplib::SSLServer>(ca.server_cert().c_str(), ca.server_key().c_str())),
      tls_(true) {
    start(port);
}

FakeHttpServer::~FakeHttpServer() {
    server_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string FakeHttpServer::url() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void FakeHttpServer::on(const std::string& method, const std::string& path, Reply reply) {
    std::lock_guard lock(mutex_);
    replies_[method + " " + path] = std::move(reply);
}

std::vector<RecordedRequest> FakeHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void FakeHttpServer::start(int port) {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        RecordedRequest recorded{request.method, request.path, {}, {}, request.body, {}};
        for (const auto& [name, value] : request.headers) {
            recorded.headers[name] = value;
        }
        auto query = request.target.find('?');
        if (query != std::string::npos) {
            recorded.query = request.target.substr(query + 1);
        }
        for (const auto& [name, file] : request.files) {
            recorded.form[name] = file.content;
        }
        Reply reply{404, "no reply programmed for " + request.method + " " + request.path};
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(recorded);
            std::string key = request.method + " " + request.path;
            auto found = replies_.find(recorded.query.empty() ? key : key + "?" + recorded.query);
            if (found == replies_.end()) {
                found = replies_.find(key);
            }
            if (found != replies_.end()) {
                reply = found->second;
            }
        }
        if (reply.delay.count() > 0) {
            std::this_thread::sleep_for(reply.delay);
        }
        response.status = reply.status;
        response.set_content(reply.body, reply.content_type.c_str());
    };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Delete(".*", handler);
    server_->Patch(".*", handler);
    if (!server_->is_valid()) {
        throw std::runtime_error("fake server has no usable certificate");
    }
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
    } else {
        port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
    }
    if (port_ <= 0) {
        throw std::runtime_error("fake server cannot bind 127.0.0.1:" + std::to_string(port));
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only works on a running server, so do not hand it out before it runs.
    while (!server_->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace norva_test
