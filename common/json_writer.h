#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orlex::common {

// Writes JSON in the system's one serialised form: compact, members in the order they are written,
// integers as plain numbers, and inside strings `"`, `\`, control characters, "<", ">", "&", "=", "'",
// U+2028 and U+2029 escaped (`\"`, `\\`, `\n`, `\t`, `\r`, `\b`, `\f`, the rest as lower-case `\u00xx`
// or `\u2028`). Signed manifests are these exact bytes, so the form must never drift.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);
    JsonWriter& string(std::string_view text);
    JsonWriter& number(std::int64_t value);
    JsonWriter& boolean(bool value);

    const std::string& text() const { return out_; }

private:
    void separate();

    std::string out_;
    std::vector<bool> first_;  // per open container: no member written yet
    bool afterKey_ = false;
};

// Appends text as a quoted JSON string in the form above. The text is taken as UTF-8.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace orlex::common
