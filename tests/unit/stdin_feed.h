#pragma once

#include <string>

namespace norva_test {

// Puts the given text behind standard input (a pipe, so not a terminal) for the life of the value.
class StdinFeed {
  public:
    explicit StdinFeed(const std::string& text);
    ~StdinFeed();
    StdinFeed(const StdinFeed&) = delete;
    StdinFeed& operator=(const StdinFeed&) = delete;

  private:
    int saved_stdin_;
};

}  // namespace norva_test
