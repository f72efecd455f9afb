#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/preferences.h"
#include "launcher/launcher.h"
#include "launcher/tests/recording_view.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "update/patcher.h"

namespace orlex::test {

// One Launcher on a fresh install root with a recording window. The window's UI thread stops before the
// Launcher is destroyed, so nothing it posted runs during the destruction.
class LauncherFixture : public ::testing::Test {
protected:
    // A channel base nobody answers on: every exchange fails at once (connection refused).
    static constexpr const char* UNREACHABLE = "https://127.0.0.1:1/client/";

    TempDir root;
    std::shared_ptr<RecordingView> view = std::make_shared<RecordingView>();
    std::unique_ptr<launcher::Launcher> launcher;

    // Never the player's own preference store; a derived fixture may point it elsewhere in its SetUp.
    LauncherFixture() { common::usePreferenceDirectory((root / "config").string()); }

    void TearDown() override {
        view->ui.shutdown();
        launcher.reset();
    }

    // A release key made once for the tests that need no channel of their own.
    static update::Ed25519Key key();
    // A configuration of this root on channel: engine pauses that do not wait, the system's other delays,
    // nothing trusted beyond the system store.
    launcher::LauncherConfig fastConfig(const std::string& channel) const;

    void make(launcher::LauncherConfig config, update::Ed25519Key releaseKey = key());

    // How many times the controls have been enabled again (the end of an operation).
    std::size_t enabledCount() const;
    // Starts task as an operation on the UI thread, waits for its end and for the window to settle.
    void operate(launcher::OperationRunner::Task task);
    // Enters the signed-in state of a grant for name, as a sign-in would, on the UI thread.
    void signInAs(const std::string& name);

    std::string log() const;
    // Entries of the launcher log whose text contains needle.
    std::size_t logReports(const std::string& needle) const;
};

}  // namespace orlex::test
