#pragma once

#include <string>
#include <string_view>

// Implemented in toolkit/term/logger_util.cpp.
namespace norva_core::logger_util {

// Writes to standard error with style tags rendered; debug lines only when NORVA_LOG_LEVEL is
// "debug".
class Logger {
  public:
    explicit Logger(std::string name) : name_(std::move(name)) {}

    void info(std::string_view text) const;
    void debug(std::string_view text) const;
    bool debug_enabled() const;
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

Logger get_logger(std::string name);

}  // namespace norva_core::logger_util
