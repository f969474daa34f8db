#include "sim/serve/served_vector.h"

#include <fmt/format.h>

#include <algorithm>
#include <numeric>

#include "sim/common/session_errors.h"

namespace norva_core::sim {
namespace {

// The slots a reset's options.reset_mask marks, taken out of the options the simulators get;
// every slot without one.
std::vector<bool> reset_mask_of(VectorReset& reset, std::size_t count) {
    std::vector<bool> mask(count, true);
    if (!reset.options || !reset.options->contains("reset_mask")) {
        return mask;
    }
    const auto& given = reset.options->at("reset_mask");
    if (!given.is_array() || given.size() != count ||
        !std::all_of(given.begin(), given.end(),
                     [](const Json& each) { return each.is_boolean(); })) {
        throw std::invalid_argument(fmt::format(
            "'reset_mask' must be a list of {} booleans, one for each simulator", count));
    }
    for (std::size_t slot = 0; slot < count; ++slot) {
        mask[slot] = given[slot].get<bool>();
    }
    reset.options->erase("reset_mask");
    if (reset.options->empty()) {
        reset.options.reset();
    }
    return mask;
}

using vector_calls::chosen;

}  // namespace

// Holds the vector and every one of its slots for one call, and gives their simulators.
class ServedVector::Call {
  public:
    Call(ServedVector& vector, const std::string& id) : vector_(vector), lock_(*vector.mutex_) {
        if (vector_.closed_) {
            throw VectorNotFound(id);
        }
        for (auto& slot : vector_.slots_) {
            slot_locks_.emplace_back(slot->mutex);
            environments_.push_back({slot->worker.get(), slot->instance});
        }
        touch();
    }
    ~Call() {
        touch();
        hold_stepping_slots();
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    std::span<const Environment> environments() const { return environments_; }
    // The slot's environment came anew.
    void replace(std::size_t slot, std::shared_ptr<WorkerProcess> worker,
                 std::optional<std::size_t> instance) {
        environments_[slot] = {worker.get(), instance};
        vector_.slots_[slot]->worker = std::move(worker);
        vector_.slots_[slot]->instance = instance;
    }
    // The slot's simulator, which goes.
    std::shared_ptr<WorkerProcess> take(std::size_t slot) {
        environments_[slot] = {};
        return std::move(vector_.slots_[slot]->worker);
    }

  private:
    // A slot whose step is out, or whose answer is not yet handed out, refuses calls of its own
    // until the vector hands its answer out.
    void hold_stepping_slots() {
        if (!vector_.batches_) {
            return;
        }
        for (std::size_t slot = 0; slot < vector_.slots_.size(); ++slot) {
            vector_.slots_[slot]->held_by_vector = !vector_.batches_->waiting(slot);
        }
    }
    void touch() {
        auto now = ServingClock::now().time_since_epoch().count();
        vector_.last_call_ = now;
        for (auto& slot : vector_.slots_) {
            slot->last_call = now;
        }
    }

    ServedVector& vector_;
    std::unique_lock<std::mutex> lock_;
    std::vector<std::unique_lock<std::mutex>> slot_locks_;
    std::vector<Environment> environments_;
};

ServedVector::ServedVector(std::string env_id, Json env_init, VectorForm form)
    : env_id_(std::move(env_id)),
      env_init_(std::move(env_init)),
      autoreset_(form.autoreset),
      batch_size_(form.batch_size),
      packed_(form.packed) {}

void ServedVector::start(VectorHost& host, std::size_t count) {
    if (batch_size_ > count) {
        throw std::invalid_argument(
            fmt::format("'batch_size' must be from 1 to the vector's {} environments, not {}",
                        count, batch_size_));
    }
    if (batch_size_ > 0 && host.instances() > 1) {
        throw std::invalid_argument(fmt::format(
            "'batch_size' needs a simulator of one environment a process, and this one holds {} "
            "(its manifest's instances)",
            host.instances()));
    }
    if (batch_size_ > 0) {
        batches_.emplace(count);
    }
    reset_due_.assign(count, false);
    Reservation reserved(host, count);
    for (std::size_t slot = 0; slot < count; ++slot) {
        auto session = std::make_shared<ServedSession>();
        session->vector_lock = mutex_;
        slots_.push_back(std::move(session));
    }
    try {
        auto placed = start_processes(host, count);
        std::vector<Environment> environments;
        for (std::size_t slot = 0; slot < count; ++slot) {
            slots_[slot]->worker = placed[slot].process;
            slots_[slot]->instance = placed[slot].instance;
            environments.push_back({placed[slot].process.get(), placed[slot].instance});
        }
        if (auto failure = vector_calls::first_failure(
                vector_calls::make_all(environments, env_id_, env_init_))) {
            throw *failure;
        }
        action_space_ = declared_space(*slots_.front()->worker, false);
        sensor_space_ = declared_space(*slots_.front()->worker, true);
    } catch (const SimulatorError& error) {
        host.start_failed(env_id_, error);
        throw;
    }
    if (packed_) {
        packed_form_ = std::make_shared<const PackedForm>(packed_form_of());
    }
}

PackedForm ServedVector::packed_form_of() const {
    if (!sensor_space_) {
        throw std::invalid_argument(
            "the simulator gave no sensor space that can be read, so its answers cannot be packed");
    }
    return {packed::Layout(sensor_space_->json()),
            action_space_ ? packed::action_layout(action_space_->json()) : std::nullopt,
            slots_.size()};
}

// New processes for `count` environments, up to the simulator's instances each.
std::vector<ServedVector::Placed> ServedVector::start_processes(VectorHost& host,
                                                                std::size_t count) {
    auto instances = host.instances();
    bool batched = instances > 1;
    std::vector<Placed> placed;
    for (std::size_t k = 0; k < count; ++k) {
        if (!batched || k % instances == 0) {
            placed.push_back({host.start_worker(closing_), std::nullopt});
        } else {
            placed.push_back({placed.back().process, std::nullopt});
        }
        if (batched) {
            placed.back().instance = k % instances;
        }
    }
    return placed;
}

void ServedVector::give_ids(const std::string& id, std::vector<std::string> slot_ids) {
    name_ = SessionJournal::named("Vector", id, env_id_);
    ids_ = std::move(slot_ids);
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        slots_[slot]->name =
            SessionJournal::named("Session", ids_[slot], env_id_) + " of vector " + id;
        slots_[slot]->vector_id = id;
    }
}

std::vector<SlotAnswer> ServedVector::reset(VectorHost& host, const std::string& id,
                                            VectorReset reset) {
    Call call(*this, id);
    auto count = slots_.size();
    // A wrong request restarts nothing.
    vector_calls::seeds_of(reset, count);
    auto mask = reset_mask_of(reset, count);
    if (batches_) {
        // Steps still out are waited for and forgotten: the reset begins anew.
        std::vector<SlotAnswer> forgotten(count);
        for (auto& [slot, answer] : batches_->drain(call.environments())) {
            forgotten[slot] = std::move(answer);
        }
        drop_failed(host, call, forgotten);
    }
    std::vector<std::optional<SimulatorError>> restart_failures(count);
    restart_ended(host, call, restart_failures, mask);
    auto answers = vector_calls::reset_all(chosen(call.environments(), mask), reset);
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (!mask[slot]) {
            answers[slot] = SlotAnswer{};
            continue;
        }
        if (restart_failures[slot]) {
            answers[slot].error = restart_failures[slot];
        }
        reset_due_[slot] = autoreset_ && vector_calls::refused(answers[slot]);
    }
    drop_failed(host, call, answers);
    return answers;
}

StepAnswers ServedVector::step(VectorHost& host, const std::string& id,
                               std::span<const Json> actions, std::vector<std::size_t> env_ids) {
    Call call(*this, id);
    if (batches_) {
        return step_batch(host, call, actions, std::move(env_ids));
    }
    if (!env_ids.empty()) {
        throw std::invalid_argument(
            "'env_ids' are for a vector made with a batch_size; this one steps all its "
            "environments together");
    }
    return {step_together(host, call, actions), {}};
}

std::vector<SlotAnswer> ServedVector::step_together(VectorHost& host, Call& call,
                                                    std::span<const Json> actions) {
    auto count = slots_.size();
    check_action_count(actions.size(), count);
    auto stepped = stepped_of(host, actions, {});
    std::vector<std::optional<SimulatorError>> restart_failures(count);
    auto renewed = renewing(host, call, restart_failures, stepped);
    auto started = ServingClock::now();
    auto answers =
        vector_calls::step_all(chosen(call.environments(), stepped), actions, autoreset_, renewed);
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (!stepped[slot]) {
            answers[slot] = SlotAnswer{};
        } else if (restart_failures[slot]) {
            answers[slot].error = restart_failures[slot];
        }
    }
    complete(host, call, answers, stepped, started);
    return answers;
}

StepAnswers ServedVector::step_batch(VectorHost& host, Call& call, std::span<const Json> actions,
                                     std::vector<std::size_t> env_ids) {
    auto count = slots_.size();
    if (env_ids.empty()) {
        env_ids.resize(count);
        std::iota(env_ids.begin(), env_ids.end(), std::size_t{0});
    }
    check_action_count(actions.size(), env_ids.size());
    std::vector<bool> listed(count, false);
    for (auto slot : env_ids) {
        if (slot >= count) {
            throw std::invalid_argument(fmt::format(
                "'env_ids' names environment {}, and this vector holds {}", slot, count));
        }
        if (listed[slot] || !batches_->waiting(slot)) {
            throw std::invalid_argument(fmt::format(
                "'env_ids' names environment {}{}", slot,
                listed[slot] ? " twice"
                             : ", whose step is still out (its answer comes in a later answer): "
                               "send actions only for the environments the last answer gave"));
        }
        listed[slot] = true;
    }
    auto stepped = stepped_of(host, actions, env_ids);
    std::vector<std::optional<SimulatorError>> restart_failures(count);
    auto renewed = renewing(host, call, restart_failures, stepped);
    auto started = ServingClock::now();
    std::vector<std::size_t> sending;
    std::vector<const Json*> sent;
    for (std::size_t k = 0; k < env_ids.size(); ++k) {
        auto slot = env_ids[k];
        if (stepped[slot] && !renewed[slot] && !restart_failures[slot]) {
            sending.push_back(slot);
            sent.push_back(&actions[k]);
        }
    }
    batches_->send(call.environments(), sending, sent);
    // A slot that starts a new episode, or could not get a new simulator, is answered at once.
    for (std::size_t slot = 0; slot < count; ++slot) {
        if (restart_failures[slot]) {
            batches_->answered({slot, SlotAnswer{Json(), restart_failures[slot]}});
        }
    }
    if (std::find(renewed.begin(), renewed.end(), true) != renewed.end()) {
        auto fresh = vector_calls::reset_for_step(chosen(call.environments(), renewed));
        for (std::size_t slot = 0; slot < count; ++slot) {
            if (renewed[slot]) {
                batches_->answered({slot, std::move(fresh[slot])});
            }
        }
    }
    auto taken = batches_->take(call.environments(), batch_size_);
    std::vector<SlotAnswer> answers(count);
    std::vector<bool> came(count, false);
    for (auto& [slot, answer] : taken) {
        answers[slot] = std::move(answer);
        came[slot] = true;
    }
    if (autoreset_) {
        vector_calls::reset_ended(chosen(call.environments(), came), answers);
    }
    complete(host, call, answers, came, started);
    StepAnswers batch;
    for (const auto& [slot, unused] : taken) {
        batch.env_ids.push_back(slot);
        batch.answers.push_back(std::move(answers[slot]));
    }
    return batch;
}

std::vector<bool> ServedVector::stepped_of(VectorHost& host, std::span<const Json> actions,
                                           std::span<const std::size_t> env_ids) const {
    std::vector<bool> stepped(slots_.size(), false);
    std::size_t outside = 0;
    for (std::size_t k = 0; k < actions.size(); ++k) {
        auto slot = env_ids.empty() ? k : env_ids[k];
        // A null action leaves its simulator as it is (a client's own autoreset holds an ended
        // one).
        stepped[slot] = !actions[k].is_null();
        if (stepped[slot] && out_of_bounds(action_space_.get(), actions[k],
                                           fmt::format("the action of slot {}", slot))) {
            ++outside;
        }
    }
    host.metrics().actions_out_of_bounds(outside);
    return stepped;
}

void ServedVector::complete(VectorHost& host, Call& call, std::vector<SlotAnswer>& answers,
                            const std::vector<bool>& came, ServingClock::time_point started) {
    std::size_t answered = 0;
    for (std::size_t slot = 0; slot < answers.size(); ++slot) {
        if (came[slot] && !answers[slot].error) {
            ++answered;
            check_observation(*slots_[slot], sensor_space_.get(), answers[slot].result,
                              host.metrics(), host.journal());
        }
    }
    host.metrics().steps_answered(answered, ServingClock::now() - started);
    note_refusals(host, answers, came);
    drop_failed(host, call, answers);
}

void ServedVector::note_refusals(VectorHost& host, const std::vector<SlotAnswer>& answers,
                                 const std::vector<bool>& came) {
    for (std::size_t slot = 0; slot < answers.size(); ++slot) {
        if (!came[slot]) {
            continue;
        }
        if (answers[slot].error) {
            count_refusal(*slots_[slot], *answers[slot].error, host.metrics(), host.journal());
        }
        reset_due_[slot] = autoreset_ && vector_calls::refused(answers[slot]);
    }
}

std::vector<bool> ServedVector::renewing(VectorHost& host, Call& call,
                                         std::vector<std::optional<SimulatorError>>& failures,
                                         const std::vector<bool>& stepped) {
    if (!autoreset_) {
        return std::vector<bool>(slots_.size(), false);
    }
    auto renewed = restart_ended(host, call, failures, stepped);
    for (std::size_t slot = 0; slot < renewed.size(); ++slot) {
        renewed[slot] = renewed[slot] || (stepped[slot] && reset_due_[slot] && !failures[slot]);
    }
    return renewed;
}

// Starts new simulators for every slot `among` marks whose simulator has gone, all made at
// once; which slots got one.
std::vector<bool> ServedVector::restart_ended(VectorHost& host, Call& call,
                                              std::vector<std::optional<SimulatorError>>& failures,
                                              const std::vector<bool>& among) {
    auto environments = call.environments();
    std::vector<bool> restarted(environments.size(), false);
    std::vector<std::size_t> ended;
    for (std::size_t slot = 0; slot < environments.size(); ++slot) {
        if (environments[slot].process == nullptr && among[slot]) {
            ended.push_back(slot);
        }
    }
    if (ended.empty()) {
        return restarted;
    }
    Reservation reserved(host, ended.size());
    auto placed = start_processes(host, ended.size());
    std::vector<Environment> making(environments.size());
    for (std::size_t k = 0; k < ended.size(); ++k) {
        making[ended[k]] = {placed[k].process.get(), placed[k].instance};
    }
    auto made = vector_calls::make_all(making, env_id_, env_init_);
    for (std::size_t k = 0; k < ended.size(); ++k) {
        auto slot = ended[k];
        // A slot takes its new process only once it is made and admitted.
        if (!made[slot].error && host.readmit(ids_[slot], slots_[slot])) {
            call.replace(slot, std::move(placed[k].process), placed[k].instance);
            restarted[slot] = true;
            continue;
        }
        failures[slot] = made[slot].error.value_or(
            SimulatorError(SimulatorError::Kind::failed, "the server is stopping"));
        host.start_failed(env_id_, *failures[slot]);
    }
    return restarted;
}

void ServedVector::drop_failed(VectorHost& host, Call& call,
                               const std::vector<SlotAnswer>& answers) {
    auto environments = call.environments();
    // A call abandoned because the vector or the server is closing failed no simulator.
    bool abandoned = closing_ || host.stopping();
    std::vector<std::shared_ptr<WorkerProcess>> dropped;
    std::vector<WorkerProcess*> ending;
    for (std::size_t slot = 0; slot < environments.size(); ++slot) {
        auto* process = environments[slot].process;
        if (process == nullptr || !process->ended()) {
            continue;
        }
        // A batched process failed once, however many slots it held.
        bool first = std::find(ending.begin(), ending.end(), process) == ending.end();
        if (!abandoned) {
            const auto& error = answers[slot].error;
            if (first) {
                host.metrics().simulator_failed(error &&
                                                error->kind() == SimulatorError::Kind::timed_out);
            }
            host.journal().failed(slots_[slot]->name, error ? error->what() : "it ended");
        }
        dropped.push_back(call.take(slot));
        if (first) {
            ending.push_back(process);
        }
        host.forget(ids_[slot]);
    }
    WorkerProcess::end_all(ending);
}

bool ServedVector::idle(ServingClock::rep now, std::chrono::milliseconds limit) {
    auto quiet = [&](ServingClock::rep last_call) {
        return ServingClock::duration(now - last_call) > limit;
    };
    bool all_quiet =
        quiet(last_call_) && std::all_of(slots_.begin(), slots_.end(),
                                         [&](const auto& slot) { return quiet(slot->last_call); });
    // A vector in a call is not idle, however long the call takes.
    if (!all_quiet || !mutex_->try_lock()) {
        return false;
    }
    mutex_->unlock();
    return true;
}

void ServedVector::hold_for_ending(std::vector<std::unique_lock<std::mutex>>& locks,
                                   std::vector<WorkerProcess*>& workers) {
    closing_ = true;
    locks.emplace_back(*mutex_);
    closed_ = true;
    // Slots are locked in order, after the vector, as its calls lock them.
    for (auto& slot : slots_) {
        locks.emplace_back(slot->mutex);
        workers.push_back(slot->worker.get());
    }
}

// A step in progress gives up at once, so the vector ends now rather than when the step would
// have timed out; its simulators are asked to close and then ended together.
void ServedVector::end() {
    std::vector<std::unique_lock<std::mutex>> locks;
    std::vector<WorkerProcess*> workers;
    hold_for_ending(locks, workers);
    std::vector<Environment> environments;
    for (const auto& slot : slots_) {
        environments.push_back({slot->worker.get(), slot->instance});
    }
    vector_calls::close_all(environments);
    WorkerProcess::end_all(workers);
    for (auto& slot : slots_) {
        slot->worker.reset();
    }
}

}  // namespace norva_core::sim
