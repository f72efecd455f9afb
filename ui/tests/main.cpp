// The ui tests run inside one QApplication on the offscreen platform, with their own preference store.
#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <cstdlib>

#include "common/preferences.h"
#include "launcher/archive.h"
#include "tests/support/temp_dir.h"
#include "ui/theme.h"

// Qt and the system libraries below it keep caches for the life of the process (font database, platform
// plug-in, fontconfig); their allocations are not the project's leaks.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt6Core\nleak:libQt6Gui\nleak:libQt6Widgets\nleak:libfontconfig\nleak:libfreetype\n"
           "leak:libglib-2.0\nleak:libqoffscreen\n";
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    orlex::test::TempDir preferences;
    orlex::common::usePreferenceDirectory(preferences.path().string());
    orlex::launcher::useArchive(ORLEX_LAUNCHER_ARCHIVE);  // the build's archive, with ui-body.ttf
    QApplication app(argc, argv);
    orlex::ui::Theme::installDefaults();
    orlex::ui::Theme::setSoundPlayer({});  // no audio device here; the button tests install their own
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
