#include "common/properties.h"

#include <map>
#include <mutex>
#include <shared_mutex>

namespace orlex::common {
namespace {

struct Table {
    std::shared_mutex mutex;
    std::map<std::string, std::string, std::less<>> values;
};

// Built on first use, so that properties set during static initialisation of another file are kept.
Table& table() {
    static Table instance;
    return instance;
}

}  // namespace

void setProperty(const std::string& name, const std::string& value) {
    Table& t = table();
    std::unique_lock lock(t.mutex);
    t.values.insert_or_assign(name, value);
}

void clearProperty(const std::string& name) {
    Table& t = table();
    std::unique_lock lock(t.mutex);
    t.values.erase(name);
}

std::optional<std::string> property(const std::string& name) {
    Table& t = table();
    std::shared_lock lock(t.mutex);
    const auto found = t.values.find(name);
    if (found == t.values.end())
        return std::nullopt;
    return found->second;
}

}  // namespace orlex::common
