#include "grants.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "norva_core/text_forms.h"

namespace kestrel {
namespace {

bool is_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80           ? 1
                             : (byte >> 5) == 0x6  ? 2
                             : (byte >> 4) == 0xE  ? 3
                             : (byte >> 3) == 0x1E ? 4
                                                   : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// Reads CSV row by row, keeping only each row's first field.
class FirstFieldReader {
  public:
    explicit FirstFieldReader(std::string_view text) : text_(text) {}

    std::vector<std::string> read() {
        std::vector<std::string> fields;
        while (pos_ < text_.size()) {
            auto [field, row_has_content] = first_field_of_row();
            if (!row_has_content) {
                continue;
            }
            if (auto value = norva_core::text_forms::trimmed(field); !value.empty()) {
                fields.emplace_back(value);
            }
        }
        return fields;
    }

  private:
    // Reads one row; returns its first field and whether the row was anything but a bare line end.
    std::pair<std::string, bool> first_field_of_row() {
        std::string field;
        bool in_first_field = true;
        bool quoted = false;
        bool content = false;
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (quoted) {
                if (c == '"' && pos_ < text_.size() && text_[pos_] == '"') {
                    ++pos_;
                    if (in_first_field)
                        field += '"';
                } else if (c == '"') {
                    quoted = false;
                } else if (in_first_field) {
                    field += c;
                }
                continue;
            }
            if (c == '\n' || c == '\r') {
                if (c == '\r' && pos_ < text_.size() && text_[pos_] == '\n') {
                    ++pos_;
                }
                return {field, content};
            }
            content = true;
            if (c == ',') {
                in_first_field = false;
            } else if (c == '"') {
                quoted = true;
            } else if (in_first_field) {
                field += c;
            }
        }
        return {field, content};
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::vector<std::string> _first_csv_fields(std::string_view csv_text) {
    return FirstFieldReader(csv_text).read();
}

std::vector<std::string> _read_grant_org_ids(const std::string& path) {
    if (std::filesystem::is_directory(path)) {
        throw std::runtime_error("Cannot read grants file " + path + ": it is a directory");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("Cannot read grants file " + path + ": " + std::strerror(errno));
    }
    std::stringstream text;
    text << file.rdbuf();
    if (!is_utf8(text.str())) {
        throw std::runtime_error("Cannot read grants file " + path + ": it is not UTF-8 text");
    }
    return _first_csv_fields(text.str());
}

}  // namespace kestrel
