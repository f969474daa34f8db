#pragma once

namespace norva_app {

// The root `norva` program: mounts the command groups, runs the chosen command and maps its
// outcome to an exit status.
class Application {
  public:
    int run(int argc, char** argv);
};

}  // namespace norva_app
