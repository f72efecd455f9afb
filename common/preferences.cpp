#include "common/preferences.h"

#include <QSettings>
#include <QString>
#include <QVariant>

#include <atomic>

namespace orlex::common {
namespace {

constexpr const char* ORGANIZATION = "orlex";
constexpr const char* APPLICATION = "preferences";

// Set by usePreferenceDirectory: the store becomes an INI file under the chosen directory on every
// platform (the registry is never touched then).
std::atomic<bool> redirected{false};

std::atomic<unsigned long> changeCount{0};

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

// One store object per call: QSettings objects are reentrant, and instances on the same store in one
// process share their state, so separate objects on separate threads are safe where one shared
// object would not be. Its destruction writes pending changes out.
class Node {
public:
    explicit Node(const std::string& node)
        : settings_(redirected ? QSettings::IniFormat : QSettings::NativeFormat, QSettings::UserScope,
                    ORGANIZATION, APPLICATION) {
        settings_.beginGroup(text(node));
    }
    QSettings& operator*() { return settings_; }
    QSettings* operator->() { return &settings_; }

private:
    QSettings settings_;
};

}  // namespace

Preferences::Preferences(std::string node) : node_(std::move(node)) {}

std::optional<std::string> Preferences::get(const std::string& key) const {
    Node node(node_);
    const QVariant value = node->value(text(key));
    if (!value.isValid())
        return std::nullopt;
    return value.toString().toStdString();
}

std::string Preferences::get(const std::string& key, const std::string& fallback) const {
    return get(key).value_or(fallback);
}

bool Preferences::getBoolean(const std::string& key, bool fallback) const {
    const std::optional<std::string> value = get(key);
    if (!value)
        return fallback;
    const QString lower = text(*value).toLower();
    if (lower == "true")
        return true;
    if (lower == "false")
        return false;
    return fallback;
}

void Preferences::put(const std::string& key, const std::string& value) {
    Node node(node_);
    node->setValue(text(key), text(value));
    ++changeCount;
}

void Preferences::putBoolean(const std::string& key, bool value) {
    put(key, value ? "true" : "false");
}

void Preferences::remove(const std::string& key) {
    Node node(node_);
    node->remove(text(key));
    ++changeCount;
}

void Preferences::flush() {
    Node node(node_);
    node->sync();
}

void usePreferenceDirectory(const std::string& directory) {
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, text(directory));
    redirected = true;
    ++changeCount;
}

unsigned long Preferences::changes() {
    return changeCount;
}

}  // namespace orlex::common
