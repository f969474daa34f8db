#pragma once

#include <string>
#include <utility>

#include "norva_core/docker_util.h"

namespace plover {

// A container a command started for its own use. The command stops it when done; if the
// command fails first, the container is stopped on the way out, quietly, so that the original
// failure is the one reported.
class StartedContainer {
  public:
    explicit StartedContainer(std::string id) : id_(std::move(id)) {}
    ~StartedContainer() {
        if (!stopped_) {
            norva_core::docker_util::stop_quietly(id_);
        }
    }
    StartedContainer(const StartedContainer&) = delete;
    StartedContainer& operator=(const StartedContainer&) = delete;

    const std::string& id() const { return id_; }
    void stop() {
        stopped_ = true;
        norva_core::docker_util::stop(id_);
    }

  private:
    std::string id_;
    bool stopped_ = false;
};

}  // namespace plover
