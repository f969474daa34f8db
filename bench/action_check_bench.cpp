// What `sim run` spends checking an action against the session's action space before it
// reaches the simulator, for the test simulator's action and for a larger one, to set beside
// the served step.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "norva_core/space.h"

namespace {

using Json = nlohmann::ordered_json;

void served_action_check(benchmark::State& state) {
    auto size = static_cast<std::size_t>(state.range(0));
    auto space = norva_core::Space::from_json(
        Json{{"type", "box"}, {"low", -1.0}, {"high", 1.0}, {"shape", {size}}});
    Json action = Json::array();
    for (std::size_t i = 0; i < size; ++i) {
        action.push_back(0.5);
    }
    for (auto _ : state) {
        auto wrong = space.mismatch(action, "action");
        benchmark::DoNotOptimize(wrong);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(served_action_check)->Arg(2)->Arg(64)->Unit(benchmark::kMicrosecond);

}  // namespace
