#pragma once

#include <optional>
#include <string>

namespace orlex::common {

// The process-wide property table: the launcher's "-Dname=value" arguments, readable from any module
// without passing them down. Every function is thread-safe; values are copied in and out.

// Sets or replaces one property.
void setProperty(const std::string& name, const std::string& value);

// Removes one property; nothing happens when it is not set.
void clearProperty(const std::string& name);

// The property's value, or nullopt when it is not set (an empty value is a value).
std::optional<std::string> property(const std::string& name);

}  // namespace orlex::common
