#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "common/executor.h"
#include "launcher/launcher_view.h"

namespace orlex::test {

// A LauncherView that records every change as "<what> <value>" ("status Prêt.", "enabled 1 0",
// "action JOUER", "visible 1", "bar 1000", "transfer …", "launcherUpdate <release id>", "launcherCurrent",
// "gameUpdate <bytes>", "front", "end"); an installation
// state as one "installation <installed>|<action>|<visible 0|1>|<bar>|<status>".
// Account panel: "login 0|1", "register 0|1", "password cleared", "password focused", "remember 0|1",
// "identity …", "card login|connected", "logout <visible> <enabled>", "builder 0|1", "layout"; its forms
// read the fields below (set them before the flow starts).
// Its UI thread is an executor of its own; onUi() runs code there, as the window's event loop would.
class RecordingView : public launcher::LauncherView {
public:
    // Long enough for any engine exchange against the local server; reaching it fails the test.
    static constexpr std::chrono::seconds PATIENCE{60};

    ~RecordingView() override { ui.shutdown(); }

    void post(std::function<void()> fn) override {
        posted_.fetch_add(1);
        ui.submit(std::move(fn));
    }
    bool onUiThread() const override { return ui.onWorkerThread(); }
    bool displayable() const override { return displayable_; }

    void setStatus(const std::string& text) override { record("status " + text); }
    void setControlsEnabled(bool enabled, bool logoutEnabled) override {
        record(std::string("enabled ") + (enabled ? "1" : "0") + " " + (logoutEnabled ? "1" : "0"));
    }
    void setActionText(const std::string& text) override { record("action " + text); }
    void setActionVisible(bool visible) override { record(std::string("visible ") + (visible ? "1" : "0")); }
    void setBar(int thousandths) override { record("bar " + std::to_string(thousandths)); }
    void setTransfer(const std::string& text) override { record("transfer " + text); }
    void showInstallation(const launcher::InstallationState& state) override {
        record("installation " + state.installed + "|" + state.action + "|" +
               (state.actionVisible ? "1" : "0") + "|" + std::to_string(state.bar) + "|" + state.status);
    }
    void showLauncherUpdate(const update::Plan& plan) override {
        record("launcherUpdate " + plan.release.id);
    }
    void showLauncherCurrent() override { record("launcherCurrent"); }
    void bringToFront() override { record("front"); }
    void endForSelfUpdate() override { record("end"); }
    void showGameUpdate(const update::Plan& plan) override {
        record("gameUpdate " + std::to_string(plan.bytes));
    }

    LoginInput readLogin() override { return {loginIdentifier, accounts::SecretBuffer(loginPassword)}; }
    RegistrationInput readRegistration() override {
        return {username, displayName, email, accounts::SecretBuffer(password),
                accounts::SecretBuffer(confirm)};
    }
    void setLoginEnabled(bool enabled) override { record(std::string("login ") + (enabled ? "1" : "0")); }
    void setRegisterEnabled(bool enabled) override {
        record(std::string("register ") + (enabled ? "1" : "0"));
    }
    void clearLoginPassword() override { record("password cleared"); }
    void focusLoginPassword() override { record("password focused"); }
    void setRememberChecked(bool checked) override {
        record(std::string("remember ") + (checked ? "1" : "0"));
    }
    void setIdentity(const std::string& text) override { record("identity " + text); }
    void showAccountCard(launcher::AccountCard card) override {
        record(std::string("card ") + (card == launcher::AccountCard::Login ? "login" : "connected"));
    }
    void setLogout(bool visible, bool enabled) override {
        record(std::string("logout ") + (visible ? "1" : "0") + " " + (enabled ? "1" : "0"));
    }
    void setBuilderVisible(bool visible) override { record(std::string("builder ") + (visible ? "1" : "0")); }
    void relayout() override { record("layout"); }

    // The account forms' fields.
    std::string loginIdentifier, loginPassword;
    std::string username, displayName, email, password, confirm;

    // Runs fn on the UI thread and waits for it.
    void onUi(std::function<void()> fn) {
        std::promise<void> done;
        ui.submit([&] {
            fn();
            done.set_value();
        });
        done.get_future().wait();
    }

    // Returns once everything posted so far has run, including what those functions posted in turn.
    void waitIdle() {
        for (;;) {
            const std::uint64_t before = posted_.load();
            onUi([] {});
            if (posted_.load() == before)
                return;
        }
    }

    // Waits until condition holds; it is checked after each recorded change and at least every 5 ms.
    // Fails the test when it does not hold within PATIENCE.
    bool waitUntil(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + PATIENCE;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "condition not reached";
                return false;
            }
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }

    // Waits until the record holds `event` at least `count` times.
    bool waitFor(const std::string& event, std::size_t count = 1) {
        return waitUntil([&] { return occurrences(event) >= count; });
    }

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // Values recorded for one kind of change ("status"), in order.
    std::vector<std::string> values(const std::string& what) const {
        std::vector<std::string> out;
        for (const std::string& event : events())
            if (event.starts_with(what + " "))
                out.push_back(event.substr(what.size() + 1));
        return out;
    }
    // The last value of one kind of change, "" when there is none.
    std::string last(const std::string& what) const {
        const std::vector<std::string> all = values(what);
        return all.empty() ? std::string() : all.back();
    }
    std::size_t occurrences(const std::string& event) const {
        const std::vector<std::string> all = events();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), event));
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

    std::atomic<bool> displayable_{true};
    common::Executor ui{"test-ui"};

private:
    void record(std::string event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::atomic<std::uint64_t> posted_{0};
};

}  // namespace orlex::test
