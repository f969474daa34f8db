#include "norva_core/markup.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <vector>

#include "norva_core/settings.h"
#include "norva_core/text_forms.h"

namespace norva_core::markup {
namespace {

std::optional<std::string_view> sgr_code(std::string_view word) {
    static constexpr std::pair<std::string_view, std::string_view> codes[] = {
        {"bold", "1"},   {"dim", "2"},     {"italic", "3"}, {"underline", "4"}, {"red", "31"},
        {"green", "32"}, {"yellow", "33"}, {"blue", "34"},  {"magenta", "35"},  {"cyan", "36"},
    };
    for (const auto& [name, code] : codes) {
        if (name == word) {
            return code;
        }
    }
    return std::nullopt;
}

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') {
            ++i;
        }
        std::size_t start = i;
        while (i < text.size() && text[i] != ' ') {
            ++i;
        }
        if (i > start) {
            words.push_back(text.substr(start, i - start));
        }
    }
    return words;
}

// "bold red" -> "1;31", or nothing when any word is not a style.
std::optional<std::string> style_codes(std::string_view spec) {
    auto words = words_of(spec);
    if (words.empty()) {
        return std::nullopt;
    }
    std::string codes;
    for (auto word : words) {
        auto code = sgr_code(word);
        if (!code) {
            return std::nullopt;
        }
        if (!codes.empty()) {
            codes += ';';
        }
        codes += *code;
    }
    return codes;
}

struct Active {
    std::string spec;
    std::string codes;
};

class Renderer {
  public:
    explicit Renderer(bool color) : color_(color) {}

    std::string run(std::string_view text) {
        std::size_t i = 0;
        while (i < text.size()) {
            if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '[') {
                out_ += '[';
                i += 2;
                continue;
            }
            if (text[i] == '[') {
                auto close = text.find(']', i + 1);
                if (close != std::string_view::npos &&
                    apply_tag(text.substr(i + 1, close - i - 1))) {
                    i = close + 1;
                    continue;
                }
            }
            out_ += text[i++];
        }
        if (color_ && !stack_.empty()) {
            out_ += "\x1b[0m";
        }
        return std::move(out_);
    }

  private:
    bool apply_tag(std::string_view tag) {
        if (tag == "/") {
            if (stack_.empty()) {
                return false;
            }
            stack_.pop_back();
            emit();
            return true;
        }
        if (!tag.empty() && tag.front() == '/') {
            auto spec = tag.substr(1);
            for (auto it = stack_.rbegin(); it != stack_.rend(); ++it) {
                if (words_of(it->spec) == words_of(spec)) {
                    stack_.erase(std::next(it).base());
                    emit();
                    return true;
                }
            }
            return false;
        }
        auto codes = style_codes(tag);
        if (!codes) {
            return false;
        }
        stack_.push_back({std::string(tag), *codes});
        emit();
        return true;
    }

    void emit() {
        if (!color_) {
            return;
        }
        out_ += "\x1b[0m";
        for (const auto& active : stack_) {
            out_ += "\x1b[" + active.codes + "m";
        }
    }

    bool color_;
    std::string out_;
    std::vector<Active> stack_;
};

bool env_set(settings::Key key) {
    return settings::value(key).has_value();
}

}  // namespace

std::string render(std::string_view text, bool color) {
    return Renderer(color).run(text);
}

std::string strip(std::string_view text) {
    return render(text, false);
}

std::string escape(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (char c : visible(data)) {
        if (c == '[') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string visible(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    auto shown = [&out](unsigned code) { out += fmt::format("\\x{:02x}", code); };
    for (std::size_t i = 0; i < data.size();) {
        auto byte = static_cast<unsigned char>(data[i]);
        if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7f) {
            shown(byte);
            ++i;
            continue;
        }
        std::size_t length = text_forms::utf8_length(data.substr(i));
        if (length == 2 && byte == 0xc2 && static_cast<unsigned char>(data[i + 1]) < 0xa0) {
            shown(static_cast<unsigned char>(data[i + 1]));  // C1, as a code point
        } else if (length == 0 && byte >= 0x80 && byte < 0xa0) {
            shown(byte);  // C1, as a terminal that reads bytes would take it
        } else {
            out.append(data.substr(i, std::max<std::size_t>(length, 1)));
        }
        i += std::max<std::size_t>(length, 1);
    }
    return out;
}

bool color_enabled(std::FILE* stream) {
    if (env_set(settings::Key::force_color)) {
        return true;
    }
    if (env_set(settings::Key::no_color)) {
        return false;
    }
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::string_view(term) == "dumb") {
        return false;
    }
    return isatty(fileno(stream)) == 1;
}

std::size_t display_width(std::string_view plain_text) {
    std::size_t width = 0;
    for (unsigned char c : plain_text) {
        // Count code points: every byte that does not continue a UTF-8 sequence.
        if ((c & 0xC0) != 0x80) {
            ++width;
        }
    }
    return width;
}

}  // namespace norva_core::markup
