#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "sim/serve/served_session.h"
#include "sim/space/packed.h"
#include "sim/worker/batch_steps.h"
#include "sim/worker/vector_calls.h"

namespace norva_core::sim {

// What a served vector asks of the registry that holds it.
class VectorHost {
  public:
    virtual SessionMetrics& metrics() = 0;
    virtual SessionJournal& journal() = 0;
    // Counts `count` more sessions as starting until they are released; throws SessionLimit
    // when they do not fit.
    virtual void reserve(std::size_t count) = 0;
    virtual void release(std::size_t count) = 0;
    // A new simulator; `closing` is the flag of what it serves.
    virtual std::shared_ptr<WorkerProcess> start_worker(const std::atomic<bool>& closing) = 0;
    // How many environments one process of the simulator holds.
    virtual std::size_t instances() const = 0;
    // Counts and logs a simulator that could not start for a new session.
    virtual void start_failed(const std::string& env_id, const SimulatorError& error) = 0;
    // A slot's new simulator is a session under its id again; false when the server is stopping.
    virtual bool readmit(const std::string& id, const std::shared_ptr<ServedSession>& session) = 0;
    // A slot whose simulator failed is no session until it gets a new one.
    virtual void forget(const std::string& id) = 0;
    virtual bool stopping() const = 0;

  protected:
    ~VectorHost() = default;
};

// Sessions counted as starting until the call that reserved them ends.
class Reservation {
  public:
    Reservation(VectorHost& host, std::size_t count) : host_(host), count_(count) {
        host_.reserve(count_);
    }
    ~Reservation() { host_.release(count_); }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

  private:
    VectorHost& host_;
    std::size_t count_;
};

// How a vector is made, beyond its simulator and size.
struct VectorForm {
    // A step that ends an episode resets that simulator in the same call.
    bool autoreset = true;
    // Resets and steps answer arrays (PackedForm).
    bool packed = false;
    // From 1 to N: each step answers the first `batch_size` environments to finish (BatchSteps)
    // instead of all N in lock-step; 0 is lock-step.
    std::size_t batch_size = 0;
};

// A vector step's answers: of every slot in lock-step, or with a batch size of the first to
// finish, `env_ids` naming the slot of each.
struct StepAnswers {
    std::vector<SlotAnswer> answers;
    std::vector<std::size_t> env_ids;
};

// How the answers and actions of a vector made packed lie in tensors.
struct PackedForm {
    packed::Layout sensor;
    // Only for an action space of one leaf: a box, discrete, multi-discrete or multi-binary.
    std::optional<packed::Layout> action;
    // The vector's size, the rows of every tensor.
    std::size_t count;
};

// N environments made together on a server and stepped as one, each slot an ordinary session
// too: N processes, or ceil(N / K) of a simulator whose processes hold K environments. A process
// that fails leaves its slots empty: with autoreset they get a new one at the next step,
// otherwise at the next reset. An environment that refuses a step has ended its slot's episode
// likewise: with autoreset it is reset at its next step. Calls on one vector run one at a time.
class ServedVector {
  public:
    ServedVector(std::string env_id, Json env_init, VectorForm form);
    ServedVector(const ServedVector&) = delete;
    ServedVector& operator=(const ServedVector&) = delete;

    // Starts `count` simulators and makes their environments; throws the first failure, counted,
    // and std::invalid_argument when it was asked for packed and its sensor space is none that
    // packs.
    void start(VectorHost& host, std::size_t count);
    // Gives the vector and its slots the ids the registry chose.
    void give_ids(const std::string& id, std::vector<std::string> slot_ids);

    const std::string& name() const { return name_; }
    const std::vector<std::string>& slot_ids() const { return ids_; }
    const std::vector<std::shared_ptr<ServedSession>>& slots() const { return slots_; }
    // None unless it was made packed.
    std::shared_ptr<const PackedForm> packed_form() const { return packed_form_; }

    // options.reset_mask (one boolean a simulator) resets only the slots it marks; the others
    // answer null and keep their episodes.
    std::vector<SlotAnswer> reset(VectorHost& host, const std::string& id, VectorReset reset);
    // One action per slot; a null action leaves its slot as it is. An action that does not fit
    // the action space is refused before any simulator sees it. With a batch size, the actions
    // are for the slots `env_ids` lists (none: every slot), each of which must be waiting for
    // one, and the answer holds the first slots to finish.
    StepAnswers step(VectorHost& host, const std::string& id, std::span<const Json> actions,
                     std::vector<std::size_t> env_ids = {});

    // Whether no call has come for longer than `limit`, on the vector or one of its sessions,
    // and none runs now.
    bool idle(ServingClock::rep now, std::chrono::milliseconds limit);
    ServingClock::rep last_call() const { return last_call_; }

    // Marks it closed and holds it and its slots in `locks`, after a call in progress has given
    // up, adding its simulators to `workers` (a batched one for each of its slots): a caller ends
    // many vectors' simulators together.
    void hold_for_ending(std::vector<std::unique_lock<std::mutex>>& locks,
                         std::vector<WorkerProcess*>& workers);
    // Asks its simulators to close, then ends them together.
    void end();

  private:
    class Call;
    // A new environment's process, shared by those of a batched one, and its place there.
    struct Placed {
        std::shared_ptr<WorkerProcess> process;
        std::optional<std::size_t> instance;
    };
    std::vector<Placed> start_processes(VectorHost& host, std::size_t count);
    std::vector<SlotAnswer> step_together(VectorHost& host, Call& call,
                                          std::span<const Json> actions);
    StepAnswers step_batch(VectorHost& host, Call& call, std::span<const Json> actions,
                           std::vector<std::size_t> env_ids);
    // The slots to step, and the actions out of bounds counted.
    std::vector<bool> stepped_of(VectorHost& host, std::span<const Json> actions,
                                 std::span<const std::size_t> env_ids) const;
    // The answers of the slots whose steps came back: their observations checked, the steps
    // counted, the failed simulators dropped.
    void complete(VectorHost& host, Call& call, std::vector<SlotAnswer>& answers,
                  const std::vector<bool>& came, ServingClock::time_point started);
    PackedForm packed_form_of() const;
    std::vector<bool> restart_ended(VectorHost& host, Call& call,
                                    std::vector<std::optional<SimulatorError>>& failures,
                                    const std::vector<bool>& among);
    // With autoreset, the slots among `stepped` that start a new episode at this step: those
    // given a new simulator, and those whose environment refused its last step.
    std::vector<bool> renewing(VectorHost& host, Call& call,
                               std::vector<std::optional<SimulatorError>>& failures,
                               const std::vector<bool>& stepped);
    void note_refusals(VectorHost& host, const std::vector<SlotAnswer>& answers,
                       const std::vector<bool>& came);
    void drop_failed(VectorHost& host, Call& call, const std::vector<SlotAnswer>& answers);

    // Shared with its slots, which take it for calls of their own.
    std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
    std::string env_id_;
    Json env_init_;
    bool autoreset_;
    std::size_t batch_size_;
    std::optional<BatchSteps> batches_;
    // With autoreset, the slots whose environment refused its last step: reset at their next.
    std::vector<bool> reset_due_;
    std::vector<std::string> ids_;
    std::vector<std::shared_ptr<ServedSession>> slots_;
    std::shared_ptr<const Space> action_space_;
    std::shared_ptr<const Space> sensor_space_;
    bool packed_;
    std::shared_ptr<const PackedForm> packed_form_;
    std::string name_;
    std::atomic<ServingClock::rep> last_call_{ServingClock::now().time_since_epoch().count()};
    bool closed_ = false;
    // Set when it is being closed, so that a call in progress gives up at once.
    std::atomic<bool> closing_{false};
};

}  // namespace norva_core::sim
