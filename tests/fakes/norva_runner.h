#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include "norva_core/process.h"
#include "temp_dir.h"

namespace norva_test {

std::string norva_binary();

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built `norva` as a process in a sandbox of its own: HOME, NORVA_HOME, a PATH whose
// first folder holds the fake `docker`, and a log of every docker call.
class NorvaSandbox {
  public:
    NorvaSandbox();

    // Sets (or, with an empty value, still sets) one variable of the program's environment.
    void set_env(const std::string& name, const std::string& value) { env_[name] = value; }
    void unset_env(const std::string& name) { env_.erase(name); }

    // The scenario the fake docker answers from.
    void docker_scenario(const nlohmann::json& scenario);
    // Every docker call so far: {"args", "cwd", "env"} each.
    std::vector<nlohmann::json> docker_calls() const;

    RunResult run(const std::vector<std::string>& args, const std::string& input = {}) const;
    // Starts norva and leaves it running, for tests that interrupt it.
    norva_core::process::Child spawn(const std::vector<std::string>& args) const;
    static RunResult finish(norva_core::process::Child& child);
    // Runs norva on a new pseudo-terminal, its standard streams and controlling terminal; `out`
    // holds everything shown there, `err` stays empty.
    RunResult run_on_terminal(const std::vector<std::string>& args) const;

    // Runs this norva instead of the built one (an installed copy, say).
    void use_program(std::string path) { program_ = std::move(path); }

    // Puts a shell script of that name first on the program's PATH (a fake nvidia-smi, say).
    void add_program(const std::string& name, const std::string& script) const;

    const TempDir& dir() const { return dir_; }
    std::string home() const { return dir_ / "home"; }
    std::string norva_home() const { return dir_ / "home/.norva"; }

  private:
    std::vector<std::string> environment() const;

    TempDir dir_;
    std::map<std::string, std::string> env_;
    std::string program_ = norva_binary();
};

}  // namespace norva_test
