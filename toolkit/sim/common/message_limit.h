#pragma once

#include <cstddef>
#include <string>

namespace norva_core::sim {

inline constexpr std::size_t DEFAULT_MAX_MESSAGE = std::size_t{64} << 20;

// The most bytes one simulator answer line, one HTTP body or one gRPC message may hold:
// NORVA_SIM_MAX_MESSAGE (a number of bytes, or with a K, M or G suffix), 64 MiB by default.
// Throws std::invalid_argument for a setting that is not such a size.
std::size_t max_message_setting();

// "NORVA_SIM_MAX_MESSAGE (64 MiB)", for messages about the limit.
std::string message_limit_text(std::size_t limit);
// "larger than NORVA_SIM_MAX_MESSAGE (64 MiB)".
std::string over_message_limit(std::size_t limit);

}  // namespace norva_core::sim
