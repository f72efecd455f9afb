#include "common/json_writer.h"

namespace orlex::common {

void appendJsonString(std::string& out, std::string_view text) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    auto unicode = [&out](unsigned code) {
        out += "\\u";
        out += DIGITS[(code >> 12) & 15];
        out += DIGITS[(code >> 8) & 15];
        out += DIGITS[(code >> 4) & 15];
        out += DIGITS[code & 15];
    };
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\f':
                out += "\\f";
                break;
            case '<':
            case '>':
            case '&':
            case '=':
            case '\'':
                unicode(c);
                break;
            default:
                if (c < 0x20) {
                    unicode(c);
                } else if (c == 0xe2 && i + 2 < text.size() &&
                           static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                           (static_cast<unsigned char>(text[i + 2]) == 0xa8 ||
                            static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
                    unicode(0x2000 | (static_cast<unsigned char>(text[i + 2]) - 0x80));
                    i += 2;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back())
            out_ += ',';
        first_.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    out_ += '{';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    out_ += '}';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    out_ += '[';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    out_ += ']';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    appendJsonString(out_, name);
    out_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
    separate();
    appendJsonString(out_, text);
    return *this;
}

JsonWriter& JsonWriter::number(std::int64_t value) {
    separate();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    separate();
    out_ += value ? "true" : "false";
    return *this;
}

}  // namespace orlex::common
