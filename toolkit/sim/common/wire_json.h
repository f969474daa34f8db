#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <string_view>

#include "norva_core/json_input.h"

// JSON as simulators write it: Python's json module writes NaN, Infinity and -Infinity for
// non-finite numbers, and a validator must see such a reward as the number it is, not as text
// that is not JSON.
namespace norva_core::sim::wire_json {

// Throws json_input::InputError for text that is not JSON even with those three words, or
// that is nested too deep.
nlohmann::ordered_json parse(std::string_view text);

// parse() for one reader of many documents, a simulator's answers say: the same values and the
// same errors, several times faster for documents of ordinary size. It keeps the room the
// largest of those took.
class Reader {
  public:
    Reader();
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    nlohmann::ordered_json parse(std::string_view text);

  private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
};

// Compact JSON; non-finite numbers are written the way parse reads them.
std::string dump(const nlohmann::ordered_json& value);
// The same, added to the end of `text`.
void append(std::string& text, const nlohmann::ordered_json& value);

}  // namespace norva_core::sim::wire_json
