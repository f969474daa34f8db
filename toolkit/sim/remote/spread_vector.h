#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/common/simulator.h"

namespace norva_core::sim {

// One vector over several served vectors, each holding a share of the environments: every call
// goes to all of them at once, and the answers come back as one vector's, slot i being the i-th
// environment in the order of the parts. A part whose server fails fails its own slots.
class SpreadVector final : public SimulatorVector {
  public:
    explicit SpreadVector(std::vector<std::unique_ptr<SimulatorVector>> parts);

    std::size_t size() const override { return size_; }
    void make(const std::string& env_id, const Json& env_init) override;
    Json sensor_space() override { return parts_.front()->sensor_space(); }
    Json action_space() override { return parts_.front()->action_space(); }
    // Seed s gives slot i the seed s + i, wherever it is served; a reset mask is cut in shares.
    std::vector<SlotAnswer> reset(const VectorReset& reset) override;
    std::vector<SlotAnswer> step(std::span<const Json> actions) override;
    void close() override;

  private:
    // Runs `call(part, first slot)` on every part at once; a part that fails answers its error
    // for each of its slots.
    template <class Call>
    std::vector<SlotAnswer> on_all(Call&& call);

    std::vector<std::unique_ptr<SimulatorVector>> parts_;
    std::vector<std::size_t> firsts_;
    std::size_t size_ = 0;
};

// `count` environments spread evenly over the parts' servers, the first ones taking one more.
std::vector<std::size_t> shares(std::size_t count, std::size_t servers);

}  // namespace norva_core::sim
