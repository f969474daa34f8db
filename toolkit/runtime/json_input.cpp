#include "norva_core/json_input.h"

#include <fmt/format.h>

#include <string>
#include <vector>

#include "norva_core/text_forms.h"

namespace norva_core::json_input {
namespace {

using Json = nlohmann::ordered_json;

// Reads text that nlohmann's parser discarded, keeping the place of each value, to say why: a
// number out of range is named with the place that held it.
class Unreadable final : public nlohmann::json_sax<Json> {
  public:
    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override { return open(false); }
    bool key(string_t& name) override {
        frames_.back().key = name;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(true); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string& token,
                     const nlohmann::detail::exception& error) override {
        if (dynamic_cast<const nlohmann::detail::out_of_range*>(&error) != nullptr) {
            auto place = this->place();
            why_ = "JSON with a number out of range" +
                   (place.empty() ? std::string() : " in '" + place + "'") + ": " +
                   text_forms::quoted(token);
        }
        return false;
    }

    const std::string& why() const { return why_; }

  private:
    struct Frame {
        bool array = false;
        std::size_t next = 0;
        std::string key;
    };

    bool value() {
        if (!frames_.empty() && frames_.back().array) {
            ++frames_.back().next;
        }
        return true;
    }
    bool open(bool array) {
        frames_.push_back({array, 0, {}});
        return true;
    }
    bool close() {
        frames_.pop_back();
        return value();
    }

    // Where the value being read lies: "seed", "actions[0][1]", "[2]"; the keys are the
    // client's and quoted short.
    std::string place() const {
        std::string out;
        for (const auto& frame : frames_) {
            if (frame.array) {
                out += "[" + std::to_string(frame.next) + "]";
            } else {
                out += (out.empty() ? "" : ".") + text_forms::quoted(frame.key);
            }
        }
        return out;
    }

    std::vector<Frame> frames_;
    std::string why_ = "not JSON";
};

}  // namespace

void check_depth(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MAX_DEPTH) {
                throw InputError(fmt::format("nested deeper than {} levels", MAX_DEPTH));
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
}

nlohmann::ordered_json parse(std::string_view text) {
    check_depth(text);
    auto value = nlohmann::ordered_json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        throw unreadable(text);
    }
    return value;
}

InputError unreadable(std::string_view text) {
    Unreadable reader;
    nlohmann::ordered_json::sax_parse(text, &reader);
    return InputError(reader.why());
}

}  // namespace norva_core::json_input
