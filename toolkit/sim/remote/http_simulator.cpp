#include <httplib.h>

#include <cstdint>
#include <optional>
#include <string>

#include "norva_core/settings.h"
#include "sim/common/access_token.h"
#include "sim/common/message_limit.h"
#include "sim/common/wire_errors.h"
#include "sim/common/wire_json.h"
#include "sim/remote/packed_replies.h"
#include "sim/remote/remote_simulator.h"

namespace norva_core::sim {
namespace {

constexpr const char* JSON_TYPE = "application/json";
constexpr const char* PROTOBUF_TYPE = "application/x-protobuf";

SimulatorError::Kind kind_of(const Json& error_body, int status) {
    auto kind =
        error_body.is_object() && error_body.contains("kind") && error_body.at("kind").is_string()
            ? error_body.at("kind").get<std::string>()
            : std::string();
    return wire_errors::kind_of_http(kind, status);
}

// A keep-alive connection to a served simulator, sending JSON and reading back JSON or the
// error it stands for.
class HttpCaller {
  public:
    explicit HttpCaller(const Address& address)
        : address_(address.text()),
          client_(address.host, address.port),
          max_message_(max_message_setting()),
          token_(access_token::of_clients()) {
        client_.set_keep_alive(true);
        client_.set_tcp_nodelay(true);
        client_.set_connection_timeout(std::chrono::seconds(5));
        auto limit = settings::seconds_limit(settings::Key::sim_timeout) + std::chrono::seconds(5);
        client_.set_read_timeout(std::chrono::duration_cast<std::chrono::seconds>(limit));
    }

    // `as_message`, when given, asks for the answer as a protobuf message: one that comes so is
    // left there, and null is returned.
    Json send(const std::string& method, const std::string& target, const Json& body,
              const char* op, std::optional<std::string>* as_message = nullptr) {
        httplib::Request request;
        request.method = method;
        request.path = target;
        if (method == "POST") {
            request.body = wire_json::dump(body);
            request.set_header("Content-Type", JSON_TYPE);
        }
        if (as_message != nullptr) {
            request.set_header("Accept", PROTOBUF_TYPE);
        }
        if (token_) {
            request.set_header("Authorization", access_token::authorization(*token_));
        }
        std::string answer;
        bool over_limit = false;
        request.content_receiver = [&](const char* data, std::size_t length, std::uint64_t,
                                       std::uint64_t) {
            over_limit = answer.size() + length > max_message_;
            if (!over_limit) {
                answer.append(data, length);
            }
            return !over_limit;
        };
        httplib::Result result = client_.send(request);
        if (over_limit) {
            throw SimulatorError(SimulatorError::Kind::failed,
                                 std::string("the server's answer to '") + op + "' is " +
                                     over_message_limit(max_message_));
        }
        if (!result) {
            throw SimulatorError(SimulatorError::Kind::unreachable,
                                 "Cannot reach a simulator over HTTP at " + address_ + ": " +
                                     httplib::to_string(result.error()));
        }
        if (as_message != nullptr && result->status >= 200 && result->status < 300 &&
            result->get_header_value("Content-Type").starts_with(PROTOBUF_TYPE)) {
            *as_message = std::move(answer);
            return {};
        }
        Json reply;
        try {
            reply = wire_json::parse(answer);
        } catch (const json_input::InputError& error) {
            throw SimulatorError(SimulatorError::Kind::failed,
                                 std::string("the server's answer to '") + op + "' is " +
                                     error.what() + " (HTTP " + std::to_string(result->status) +
                                     ")");
        }
        if (result->status >= 200 && result->status < 300) {
            return reply;
        }
        auto message = reply.is_object() && reply.contains("error") && reply.at("error").is_string()
                           ? reply.at("error").get<std::string>()
                           : "HTTP " + std::to_string(result->status) + " for '" + op + "'";
        throw SimulatorError(kind_of(reply, result->status), message);
    }

  private:
    std::string address_;
    httplib::Client client_;
    std::size_t max_message_;
    std::optional<std::string> token_;
};

class HttpSimulator final : public Simulator {
  public:
    explicit HttpSimulator(const Address& address) : caller_(address) {}
    ~HttpSimulator() override { close_if_held(session_, *this); }

    void make(const std::string& env_id, const Json& env_init) override {
        auto reply =
            send("POST", "/v1/sessions", Json{{"env_id", env_id}, {"env_init", env_init}}, "make");
        if (!reply.is_object() || !reply.contains("session_id") ||
            !reply.at("session_id").is_string()) {
            throw SimulatorError(SimulatorError::Kind::failed,
                                 "the server's answer to 'make' has no session id");
        }
        session_ = reply.at("session_id").get<std::string>();
    }

    Json sensor_space() override { return send("GET", path("sensor_space"), {}, "sensor_space"); }
    Json action_space() override { return send("GET", path("action_space"), {}, "action_space"); }
    Json reset_with(const ResetOptions& options) override {
        Json body = Json::object();
        if (options.seed) {
            body["seed"] = *options.seed;
        }
        if (options.options) {
            body["options"] = *options.options;
        }
        return send("POST", path("reset"), body, "reset");
    }
    Json step(const Json& action) override {
        return send("POST", path("step"), Json{{"action", action}}, "step");
    }
    void close() override {
        if (session_.empty()) {
            return;
        }
        auto target = "/v1/sessions/" + std::exchange(session_, {});
        send("DELETE", target, {}, "close");
    }

  private:
    std::string path(const char* name) const {
        if (session_.empty()) {
            throw SimulatorError(SimulatorError::Kind::failed,
                                 "no session: it was closed or never made");
        }
        return "/v1/sessions/" + session_ + "/" + name;
    }

    Json send(const std::string& method, const std::string& target, const Json& body,
              const char* op) {
        return caller_.send(method, target, body, op);
    }

    HttpCaller caller_;
    std::string session_;
};

class HttpVector final : public SimulatorVector {
  public:
    HttpVector(const Address& address, std::size_t count) : caller_(address), count_(count) {}
    ~HttpVector() override { close_if_held(vector_, *this); }

    std::size_t size() const override { return count_; }

    void make(const std::string& env_id, const Json& env_init) override {
        Json body{
            {"env_id", env_id}, {"env_init", env_init}, {"num_envs", count_}, {"packed", true}};
        Json reply;
        try {
            reply = caller_.send("POST", "/v1/vectors", body, "make");
        } catch (const SimulatorError& error) {
            if (!refused_packing(error)) {
                throw;
            }
            body["packed"] = false;
            reply = caller_.send("POST", "/v1/vectors", body, "make");
        }
        if (!reply.is_object() || !reply.contains("vector_id") ||
            !reply.at("vector_id").is_string() || !reply.contains("session_ids") ||
            !reply.at("session_ids").is_array() || reply.at("session_ids").empty() ||
            !reply.at("session_ids").at(0).is_string()) {
            throw SimulatorError(SimulatorError::Kind::failed,
                                 "the server's answer to 'make' has no vector id and sessions");
        }
        vector_ = reply.at("vector_id").get<std::string>();
        first_session_ = reply.at("session_ids").at(0).get<std::string>();
        if (body.at("packed") == true) {
            packed_.emplace(sensor_space(), action_space(), count_);
        }
    }

    Json sensor_space() override {
        return caller_.send("GET", "/v1/sessions/" + first_session_ + "/sensor_space", {},
                            "sensor_space");
    }
    Json action_space() override {
        return caller_.send("GET", "/v1/sessions/" + first_session_ + "/action_space", {},
                            "action_space");
    }

    std::vector<SlotAnswer> reset(const VectorReset& reset) override {
        Json body = Json::object();
        if (reset.seed) {
            body["seed"] = *reset.seed;
        }
        if (reset.seeds) {
            body["seeds"] = *reset.seeds;
        }
        if (reset.options) {
            body["options"] = *reset.options;
        }
        return answers("reset", body);
    }

    std::vector<SlotAnswer> step(std::span<const Json> actions) override {
        return answers("step", Json{{"actions", Json::array_t(actions.begin(), actions.end())}});
    }

    void close() override {
        if (vector_.empty()) {
            return;
        }
        caller_.send("DELETE", "/v1/vectors/" + std::exchange(vector_, {}), {}, "close");
    }

  private:
    // A reset's or step's answers; a vector made packed asks for them as arrays.
    std::vector<SlotAnswer> answers(const char* call, const Json& body) {
        std::optional<std::string> message;
        auto reply = caller_.send("POST", path(call), body, call, packed_ ? &message : nullptr);
        if (message) {
            norva::sim::v1::JsonReply parsed;
            if (!parsed.ParseFromString(*message)) {
                throw SimulatorError(
                    SimulatorError::Kind::failed,
                    std::string("the server's answer to '") + call + "' is no JsonReply message");
            }
            if (parsed.has_packed()) {
                return packed_->answers_of(parsed.packed(), call);
            }
            try {
                reply = wire_json::parse(parsed.json());
            } catch (const json_input::InputError& error) {
                throw SimulatorError(
                    SimulatorError::Kind::failed,
                    std::string("the server's answer to '") + call + "' is " + error.what());
            }
        }
        return wire_errors::slot_answers_of(reply, count_);
    }

    std::string path(const char* call) const {
        if (vector_.empty()) {
            throw SimulatorError(SimulatorError::Kind::failed,
                                 "no vector: it was closed or never made");
        }
        return "/v1/vectors/" + vector_ + "/" + call;
    }

    HttpCaller caller_;
    std::size_t count_;
    std::string vector_;
    std::string first_session_;
    // Once it is made packed.
    std::optional<PackedReplies> packed_;
};

}  // namespace

std::unique_ptr<Simulator> connect_http(const Address& address) {
    return std::make_unique<HttpSimulator>(address);
}

std::unique_ptr<SimulatorVector> connect_http_vector(const Address& address, std::size_t count) {
    return std::make_unique<HttpVector>(address, count);
}

}  // namespace norva_core::sim
