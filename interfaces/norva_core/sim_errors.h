#pragma once

#include <stdexcept>
#include <string>

// What the simulator runtime (toolkit/sim/) throws through the interfaces.
namespace norva_core::sim {

// A simulator that could not do what was asked.
class SimulatorError : public std::runtime_error {
  public:
    enum class Kind {
        // The simulator answered with an error of its own; it can go on.
        answered,
        // It ended, broke the protocol or could not be reached; it cannot go on.
        failed,
        // It gave no answer within the time limit.
        timed_out,
        // Nothing answered at its address.
        unreachable,
    };
    SimulatorError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// This machine has no room for another simulator now: it ran out of open files, processes or
// memory. Not the simulator's fault, and gone once others end.
class CapacityExhausted : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A missing or malformed manifest; the message names the file and the field.
class ManifestError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace norva_core::sim
