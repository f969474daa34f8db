#include "sim/worker/batched_environment.h"

namespace norva_core::sim {

void BatchedEnvironment::make(const std::string&, const Json&) {
    throw SimulatorError(SimulatorError::Kind::answered,
                         "this environment was made with its vector and cannot be made again");
}

Json BatchedEnvironment::reset_with(const ResetOptions& options) {
    std::size_t listed[] = {instance_};
    std::optional<std::uint64_t> seeds[] = {options.seed};
    process_.send_reset_each(listed, seeds, options.options);
    return answer();
}

Json BatchedEnvironment::step(const Json& action) {
    std::size_t listed[] = {instance_};
    const Json* actions[] = {&action};
    process_.send_step_each(listed, actions);
    return answer();
}

Json BatchedEnvironment::answer() {
    process_.await_answer();
    auto answers = process_.receive_each();
    if (answers.front().error) {
        throw *answers.front().error;
    }
    return std::move(answers.front().result);
}

}  // namespace norva_core::sim
