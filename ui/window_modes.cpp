#include "ui/window_modes.h"

#include <QApplication>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <exception>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "common/failure.h"
#include "common/thread_name.h"
#include "launcher/archive.h"
#include "ui/gui_serving.h"
#include "ui/main_window.h"
#include "ui/splash_intro.h"
#include "ui/theme.h"

namespace orlex::ui {
namespace {

constexpr int SELF_CHECK_DELAY_MS = 4500;

// The window's rectangle as the screen shows it; the window's own rendering where the platform cannot
// read the screen (offscreen).
QPixmap capture(QWidget* window) {
    if (QScreen* screen = window->screen()) {
        const QRect area = window->frameGeometry();
        const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        if (!shot.isNull())
            return shot;
    }
    return window->grab();
}

}  // namespace

int runWindowModes(launcher::Launcher& launcher, const launcher::WindowStart& start) {
    int argc = 1;
    char name[] = "orlex-launcher";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    launcher.launch().attachIntro(std::make_shared<SplashIntro>());
    // The folder action disposes one window before the next is shown: only the close control ends.
    QApplication::setQuitOnLastWindowClosed(false);
    Theme::installDefaults();

    std::vector<std::unique_ptr<launcher::Launcher>> replacements;
    std::vector<launcher::Launcher*> launchers{&launcher};
    // However this ends: the launchers stop posting, then every window goes, before the launchers do.
    // Their workers are stopped while this thread still serves them: the intro's player, asked to stop,
    // takes its window down through this thread before it ends.
    struct End {
        std::vector<launcher::Launcher*>& launchers;
        ~End() {
            try {
                whileServingGui([this] {
                    for (launcher::Launcher* each : launchers) {
                        each->runner().shutdown();
                        each->installation().stopUpdateProbe();
                    }
                });
            } catch (...) {
                // A stopping worker reports nothing to a launcher that is closing.
            }
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QList<QPointer<QWidget>> windows;
            for (QWidget* window : QApplication::topLevelWidgets())
                windows.append(window);
            for (const QPointer<QWidget>& window : windows)
                delete window.data();
        }
    } end{launchers};

    QPointer<MainWindow> current;
    MainWindow::RootChange changeRoot = [&](const std::filesystem::path& root) {
        launcher::LauncherConfig config = launcher.config();
        config.root = root;
        replacements.push_back(
            std::make_unique<launcher::Launcher>(config, launcher::releaseKey(launcher::launcherArchive())));
        launchers.push_back(replacements.back().get());
        replacements.back()->launch().attachIntro(std::make_shared<SplashIntro>());
        current = MainWindow::open(*replacements.back(), changeRoot);
    };
    current = MainWindow::open(launcher, changeRoot);
    start.windowShown();

    bool captured = true;
    if (start.selfCheck) {
        QTimer::singleShot(SELF_CHECK_DELAY_MS, &application, [&] {
            captured = current &&
                       capture(current).save(QString::fromStdU16String(start.screenshot.u16string()), "PNG");
            if (captured && start.out)
                *start.out << "LAUNCHER_UI_PASS" << std::endl;
            QCoreApplication::exit(captured ? 0 : 1);
        });
    }
    const int status = QApplication::exec();
    if (!captured)
        throw common::IoFailure("Capture impossible : " + start.screenshot.string());
    return status;
}

int runWithIntro(launcher::Launcher& launcher, const std::function<int()>& commands) {
    int argc = 1;
    char name[] = "orlex-launcher";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Theme::installDefaults();
    launcher.launch().attachIntro(std::make_shared<SplashIntro>());

    int status = 1;
    std::exception_ptr failure;
    std::jthread worker([&] {
        common::nameCurrentThread("orlex-commands");
        try {
            status = commands();
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(
            &application, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    // The run closes its holding screen before it ends, and that closing is queued ahead of this exit.
    QApplication::exec();
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
    return status;
}

}  // namespace orlex::ui
