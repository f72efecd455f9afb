#pragma once

#include <optional>
#include <string>

namespace orlex::common {

// One node of the per-user preference store, addressed by its slash-separated path
// ("com/orlex/desktop-preview", "com/orlex/audio", "com/orlex/ui"). The store is QSettings: the
// registry under HKEY_CURRENT_USER\Software\orlex\preferences on Windows, an INI file
// (orlex/preferences.conf under the XDG config home) elsewhere; a node is a group path in it.
// Every call may come from any thread, in any number of instances and processes: each call works on
// its own QSettings object, which Qt makes safe for concurrent use of one store. A change is visible at
// once to every instance in this process; it reaches the disk on flush() at the latest (in practice
// when the call ends). Failures of the store never raise: a read gives the default, a write is lost.
class Preferences {
public:
    explicit Preferences(std::string node);

    const std::string& node() const { return node_; }

    // The stored text, or nullopt when the key is absent.
    std::optional<std::string> get(const std::string& key) const;
    std::string get(const std::string& key, const std::string& fallback) const;
    // A stored "true" or "false" (any case); anything else, or nothing, gives fallback.
    bool getBoolean(const std::string& key, bool fallback) const;

    void put(const std::string& key, const std::string& value);
    void putBoolean(const std::string& key, bool value);
    void remove(const std::string& key);
    // Forces every change of this store to its backing storage.
    void flush();

    // Counts the changes made through this class in this process (put, putBoolean, remove, and the
    // redirection of the store): a reader that polls a value many times a second keeps its last answer
    // while the count stands still, instead of opening the store each time.
    static unsigned long changes();

private:
    std::string node_;
};

// Redirects the per-user store of this process to an INI store under directory (tests and tools only;
// never called by the launcher itself). Takes effect for every call made afterwards.
void usePreferenceDirectory(const std::string& directory);

}  // namespace orlex::common
