#pragma once

#include <memory>
#include <string>

#include "norva_core/text_forms.h"
#include "sim/common/wire_json.h"
#include "sim/serve/session_registry.h"
#include "sim/worker/worker_vector.h"

namespace norva_core::sim {

// A request that the protocol cannot carry out as sent; its text is for the client.
class InvalidRequest : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// JSON a client sent; `what` names it in the error ("the request body").
inline Json request_json(std::string_view text, const std::string& what) {
    try {
        return wire_json::parse(text);
    } catch (const json_input::InputError& error) {
        throw InvalidRequest(what + " is " + error.what());
    }
}

// The seed and options of a reset request as a client sent them; null or absent is none. A seed
// must be a non-negative integer and options an object.
inline ResetOptions reset_options_of(const Json& seed, const Json& options) {
    ResetOptions reset;
    if (!seed.is_null()) {
        if (!seed.is_number_unsigned()) {
            throw InvalidRequest("'seed' must be a non-negative integer, not " +
                                 text_forms::quoted(seed.dump()));
        }
        reset.seed = seed.get<std::uint64_t>();
    }
    if (!options.is_null()) {
        if (!options.is_object()) {
            throw InvalidRequest("'options' must be a JSON object, not " +
                                 text_forms::quoted(options.dump()));
        }
        reset.options = options;
    }
    return reset;
}

// The seed, seeds and options of a vector's reset as a client sent them; null or absent is none.
inline VectorReset vector_reset_of(const Json& seed, const Json& seeds, const Json& options) {
    auto single = reset_options_of(seed, options);
    VectorReset reset{single.seed, {}, single.options};
    if (!seeds.is_null()) {
        if (!seeds.is_array()) {
            throw InvalidRequest("'seeds' must be a list of non-negative integers, not " +
                                 text_forms::quoted(seeds.dump()));
        }
        reset.seeds.emplace();
        for (const auto& each : seeds) {
            if (!each.is_number_unsigned()) {
                throw InvalidRequest("every seed of 'seeds' must be a non-negative integer, not " +
                                     text_forms::quoted(each.dump()));
            }
            reset.seeds->push_back(each.get<std::uint64_t>());
        }
    }
    return reset;
}

// The environments a step of a vector made with a batch_size is for; throws InvalidRequest for
// one past what any vector holds.
template <class Ids>
std::vector<std::size_t> env_ids_of(const Ids& sent) {
    std::vector<std::size_t> ids;
    for (const auto& id : sent) {
        if (id >= MAX_VECTOR_SIZE) {
            throw InvalidRequest("'env_ids' holds " + std::to_string(id) +
                                 ", and no vector holds more than " +
                                 std::to_string(MAX_VECTOR_SIZE) + " environments");
        }
        ids.push_back(static_cast<std::size_t>(id));
    }
    return ids;
}

// The same, of a JSON request: a list of indices; null or absent is none.
inline std::vector<std::size_t> env_ids_of(const Json& sent) {
    std::vector<std::uint64_t> ids;
    if (!sent.is_null() && !sent.is_array()) {
        throw InvalidRequest("'env_ids' must be a list of environment indices, not " +
                             text_forms::quoted(sent.dump()));
    }
    for (const auto& each : sent.is_array() ? sent : Json::array()) {
        if (!each.is_number_unsigned()) {
            throw InvalidRequest("every id of 'env_ids' must be a non-negative integer, not " +
                                 text_forms::quoted(each.dump()));
        }
        ids.push_back(each.get<std::uint64_t>());
    }
    return env_ids_of(ids);
}

// The rows of a step's actions tensor: one for each environment listed, or for all of them.
inline std::size_t action_rows(const PackedForm* form, const std::vector<std::size_t>& env_ids) {
    return env_ids.empty() && form != nullptr ? form->count : env_ids.size();
}

// The number of simulators a client asked a vector to hold.
inline std::size_t vector_size_of(const Json& count) {
    if (!count.is_number_unsigned() || count.get<std::uint64_t>() == 0 ||
        count.get<std::uint64_t>() > MAX_VECTOR_SIZE) {
        throw InvalidRequest("'num_envs' must be an integer from 1 to " +
                             std::to_string(MAX_VECTOR_SIZE) + ", not " +
                             text_forms::quoted(count.dump()));
    }
    return count.get<std::size_t>();
}

// The actions a client sent as one tensor, a row for each simulator, read into what a JSON
// list would have held; a vector not made packed, or an action space of several leaves, takes
// its actions as JSON.
inline std::vector<Json> actions_of(const PackedForm* form, const packed::Tensor& actions,
                                    std::size_t rows) {
    if (form == nullptr || !form->action) {
        throw InvalidRequest(form == nullptr ? "actions as a tensor need a vector made packed"
                                             : "this action space has several leaves: send the "
                                               "actions as JSON");
    }
    std::span<const packed::Tensor> tensors(&actions, 1);
    try {
        form->action->check(tensors, rows);
    } catch (const std::invalid_argument& error) {
        throw InvalidRequest(std::string("the actions: ") + error.what());
    }
    std::vector<Json> read;
    read.reserve(rows);
    for (std::size_t row = 0; row < rows; ++row) {
        read.push_back(form->action->get(tensors, row));
    }
    return read;
}

// A bound network front of a session registry; serves from construction until shut down.
class Listener {
  public:
    virtual ~Listener() = default;
    virtual void shutdown() = 0;
};

// Both throw std::runtime_error naming the address when it cannot be bound.
std::unique_ptr<Listener> listen_grpc(SessionRegistry& sessions, const std::string& host, int port);
std::unique_ptr<Listener> listen_http(SessionRegistry& sessions, const std::string& host, int port);
// Plain HTTP with GET /metrics alone, beside a server of either protocol.
std::unique_ptr<Listener> listen_metrics(SessionRegistry& sessions, const std::string& host,
                                         int port);

}  // namespace norva_core::sim
