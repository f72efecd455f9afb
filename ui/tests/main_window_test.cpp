#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <optional>

#include "common/preferences.h"
#include "launcher/archive.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "ui/account_panel.h"
#include "ui/launcher_view_widget.h"
#include "ui/tests/ui_test.h"

namespace orlex::ui {
namespace {

using namespace std::chrono_literals;

// Runs the GUI thread's events until condition holds (at most 20 s, then the test fails).
bool processUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "condition not reached";
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// A launcher whose channel and account service nobody answers (every operation fails at once), with its
// window; the update probe stays out of the way.
class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() {
        launcher::LauncherConfig config;
        config.channel = "https://127.0.0.1:9/client/";
        config.root = dir_.path() / "root";
        config.archive = launcher::launcherArchive().path();
        config.account.origin = "https://127.0.0.1:9";
        config.gameSession.endpoint = "https://127.0.0.1:9/mmo/session";
        config.probeFirst = 1h;
        launcher_ =
            std::make_unique<launcher::Launcher>(config, launcher::releaseKey(launcher::launcherArchive()));
        // The new root's launcher is built as the program builds it; its window is left out.
        window_ = MainWindow::open(*launcher_, [this, config](const std::filesystem::path& root) {
            launcher::LauncherConfig changed = config;
            changed.root = root;
            replacement_ = std::make_unique<launcher::Launcher>(
                changed, launcher::releaseKey(launcher::launcherArchive()));
            changedTo_ = root;
        });
        // The start check fails against the silent channel; the window is idle afterwards.
        processUntil(
            [this] { return window_->action()->text() == "RÉESSAYER" && window_->settings()->isEnabled(); });
    }
    ~MainWindowTest() override {
        launcher_->runner().shutdown();
        delete window_.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QRect inView(QWidget* widget) const {
        return QRect(widget->mapTo(window_->view(), QPoint(0, 0)), widget->size());
    }

    orlex::test::TempDir dir_;
    std::unique_ptr<launcher::Launcher> launcher_;
    std::unique_ptr<launcher::Launcher> replacement_;
    QPointer<MainWindow> window_;
    std::filesystem::path changedTo_;
};

TEST_F(MainWindowTest, LaysTheViewOutFromItsSizeAtTheDefaultAndTheMinimumSize) {
    LauncherViewWidget* view = window_->view();
    EXPECT_EQ(window_->windowTitle(), "ORLEX • Tessaline");
    EXPECT_EQ(window_->size(), QSize(1180, 720));
    EXPECT_EQ(window_->minimumSize(), QSize(980, 620));
    EXPECT_EQ(view->geometry(), QRect(1, 39, 1178, 680));
    EXPECT_EQ(view->accountCard()->geometry().topLeft(), QPoint(42, 90));
    EXPECT_EQ(view->accountCard()->width(), 370);
    EXPECT_GE(view->accountCard()->height(), 120);
    EXPECT_LE(view->accountCard()->height(), 326);
    EXPECT_EQ(view->installationCard()->geometry(), QRect(42, 440, 370, 160));
    EXPECT_EQ(view->toolRow()->geometry(), QRect(42, 616, 450, 46));
    EXPECT_EQ(view->headline()->geometry(), QRect(448, 462, 688, 50));
    EXPECT_EQ(view->headline()->font().pixelSize(), 36);
    EXPECT_EQ(window_->settings()->geometry(), QRect(0, 0, 46, 46));
    window_->action()->show();
    EXPECT_EQ(inView(window_->action()), QRect(448, 597, 310, 54));

    window_->resize(980, 620);
    QApplication::processEvents();
    EXPECT_EQ(view->size(), QSize(978, 580));
    EXPECT_EQ(view->accountCard()->geometry().topLeft(), QPoint(28, 90));
    EXPECT_EQ(view->accountCard()->width(), 370);
    EXPECT_LE(view->accountCard()->height(), 226);
    EXPECT_EQ(view->headline()->geometry(), QRect(434, 362, 516, 50));
    EXPECT_EQ(view->headline()->font().pixelSize(), 32);
    EXPECT_EQ(inView(window_->action()), QRect(434, 497, 310, 54));

    // Too small a window is not allowed.
    window_->resize(600, 400);
    QApplication::processEvents();
    EXPECT_EQ(window_->size(), QSize(980, 620));
}

TEST_F(MainWindowTest, StartsWithTheDescribedWidgetsAndNeverPlacesTheCommandButtons) {
    EXPECT_EQ(window_->installedLine()->text(), "Recherche de mises à jour…");
    EXPECT_EQ(window_->transferLine()->text(), " ");
    EXPECT_EQ(window_->progressBar()->maximum(), 1000);
    EXPECT_FALSE(window_->builder()->isVisible());
    EXPECT_FALSE(window_->logout()->isVisible());
    EXPECT_FALSE(window_->logout()->isEnabled());
    EXPECT_EQ(window_->settings()->objectName(), "launcher-settings");
    EXPECT_EQ(window_->settings()->toolTip(), "Options et paramètres");
    EXPECT_EQ(window_->settings()->text(), "");
    EXPECT_EQ(window_->folder()->text(), "Dossier");
    EXPECT_EQ(window_->repair()->text(), "Réparer");
    EXPECT_EQ(window_->self()->text(), "Vérifier les mises à jour");
    for (QAbstractButton* command : {window_->folder(), window_->repair(), window_->self()})
        EXPECT_FALSE(command->isVisible()) << command->text().toStdString();
}

TEST_F(MainWindowTest, AnOperationDisablesTheControlsAndLogoutFollowsTheSignedInPlayer) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    launcher_->runner().run([released] { released.wait(); });
    processUntil([this] { return !window_->settings()->isEnabled(); });
    for (QAbstractButton* control : {window_->action(), window_->repair(), window_->folder(), window_->self(),
                                     window_->builder(), window_->settings(), window_->logout()})
        EXPECT_FALSE(control->isEnabled()) << control->text().toStdString();
    // A click on a disabled command button does nothing: no second operation is queued.
    window_->repair()->click();
    // A sign-in that lands meanwhile (a remembered session restored at start) shows "Déconnexion", which
    // stays disabled until the operation ends.
    launcher_->session().authenticated({"token", "joueur", "wss://rt", {"worldbuilder.open"}});
    QApplication::processEvents();
    EXPECT_TRUE(window_->logout()->isVisible());
    EXPECT_FALSE(window_->logout()->isEnabled());
    EXPECT_TRUE(window_->builder()->isVisible());
    // The tool row places the visible buttons in order, 8 px apart.
    EXPECT_EQ(window_->builder()->x(), 46 + 8);
    EXPECT_EQ(window_->logout()->x(), window_->builder()->geometry().right() + 1 + 8);

    release.set_value();
    const auto idle = [this] {
        processUntil(
            [this] { return !launcher_->runner().operationRunning() && window_->settings()->isEnabled(); });
    };
    idle();
    EXPECT_TRUE(window_->repair()->isEnabled());
    EXPECT_TRUE(window_->logout()->isEnabled());
    window_->logout()->click();
    EXPECT_FALSE(window_->logout()->isVisible());
    EXPECT_FALSE(window_->builder()->isVisible());

    launcher_->runner().run([] {});
    idle();
    EXPECT_FALSE(window_->logout()->isEnabled()) << "nobody is signed in";
}

TEST_F(MainWindowTest, UpdatePromptsIgnoreASecondPromptAndEndOnlyThroughTheirButton) {
    QList<QDialog*> seen;
    QString text;
    bool dimmed = false;
    // While the first dialog is open: every other prompt is ignored, Escape does nothing, then "OK".
    QTimer::singleShot(50, [&] {
        window_->showLauncherCurrent();
        window_->showGameUpdate({});
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QDialog*>(top); dialog && dialog->isVisible())
                seen.append(dialog);
        ASSERT_EQ(seen.size(), 1);
        dimmed = window_->findChild<QWidget*>("dim-overlay")->isVisible();
        seen[0]->reject();
        for (QLabel* label : seen[0]->findChildren<QLabel*>())
            text += label->text() + "|";
        seen[0]->findChild<QAbstractButton*>()->click();
    });
    window_->showLauncherCurrent();
    EXPECT_TRUE(dimmed);
    EXPECT_EQ(text, "LAUNCHER DÉJÀ À JOUR|Vous utilisez la dernière version disponible.|");
    EXPECT_FALSE(window_->findChild<QWidget*>("dim-overlay")->isVisible());
    EXPECT_FALSE(launcher_->installation().selfUpdatePrompt());
    EXPECT_EQ(window_->statusLine()->text(), "Launcher à jour.");

    update::Plan plan;
    plan.bytes = 1'250'000;
    QSize size;
    text.clear();
    QTimer::singleShot(50, [&] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QDialog*>(top); dialog && dialog->isVisible()) {
                size = dialog->size();
                for (QLabel* label : dialog->findChildren<QLabel*>())
                    text += label->text() + "|";
                dialog->findChild<QAbstractButton*>()->click();
            }
    });
    window_->showGameUpdate(plan);
    EXPECT_EQ(text, "MISE À JOUR DU JEU DISPONIBLE|Une nouvelle version est prête • 1,3 Mo|");
    EXPECT_GE(size.width(), 470);
    EXPECT_GE(size.height(), 210);
    EXPECT_TRUE(launcher_->runner().operationRunning()) << "the button starts the install action";
    EXPECT_FALSE(launcher_->installation().selfUpdatePrompt());
}

TEST_F(MainWindowTest, TheLauncherUpdateOfferWaitsForNoOperationAndNoOtherPrompt) {
    launcher_->installation().setSelfUpdatePrompt(true);
    window_->showLauncherUpdate();
    EXPECT_FALSE(launcher_->runner().operationRunning());
    launcher_->installation().setSelfUpdatePrompt(false);

    std::promise<void> release;
    launcher_->runner().run([released = release.get_future().share()] { released.wait(); });
    window_->showLauncherUpdate();
    EXPECT_FALSE(launcher_->installation().selfUpdatePrompt()) << "an operation runs";
    release.set_value();
    processUntil([this] { return !launcher_->runner().operationRunning(); });

    // The worker is held by a plain task, so the update's operation waits and its prompt stays set.
    std::promise<void> hold;
    launcher_->runner().submit([held = hold.get_future().share()] { held.wait(); });
    window_->showLauncherUpdate();
    EXPECT_EQ(window_->statusLine()->text(), "Mise à jour du launcher… Redémarrage automatique.");
    EXPECT_TRUE(launcher_->installation().selfUpdatePrompt());
    hold.set_value();
    processUntil([this] { return !launcher_->installation().selfUpdatePrompt(); });
}

TEST_F(MainWindowTest, TheFolderActionHandsTheChosenRootOnAndKeepsTheWindowWhenThatFails) {
    common::Preferences(launcher::PREFS).remove("installation");
    const std::filesystem::path other = dir_.path() / "other root";
    std::filesystem::create_directories(other);
    const auto answer = [](std::optional<std::filesystem::path> directory) {
        QTimer::singleShot(50, [directory] {
            auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(chooser, nullptr);
            if (!directory)
                return chooser->reject();
            chooser->setDirectory(QString::fromStdString(directory->string()));
            static_cast<QDialog*>(chooser)->accept();  // as its "Choose" button does
        });
    };

    answer(std::nullopt);
    window_->folder()->click();
    EXPECT_FALSE(common::Preferences(launcher::PREFS).get("installation"));
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(changedTo_.empty());

    // A root the new launcher refuses (below a link): this window stays and says why.
    const std::filesystem::path link = dir_.path() / "linked root";
    std::filesystem::create_directory_symlink(other, link);
    answer(link);
    window_->statusLine()->clear();
    window_->folder()->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(window_.isNull());
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(launcher_->runner().view()->displayable());
    processUntil([this] { return !window_->statusLine()->text().isEmpty(); });
    EXPECT_EQ(window_->statusLine()->text().toStdString(), "Vérification refusée · consulter launcher.log.");

    answer(other);
    window_->folder()->click();
    EXPECT_EQ(common::Preferences(launcher::PREFS).get("installation"), other.string());
    EXPECT_EQ(changedTo_, other);
    EXPECT_FALSE(launcher_->runner().view()->displayable());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window_.isNull()) << "the old window is disposed";
}

// The real program in its self-check mode, on a display of its own when Xvfb is there.
TEST(LauncherSelfCheck, WritesTheConfirmationAndAPictureOfTheWindow) {
    orlex::test::TempDir dir;
    const std::filesystem::path shot = dir.path() / "window.png", handshake = dir.path() / "ready";
    ::setenv("ORLEX_LAUNCHER_HANDSHAKE", handshake.c_str(), 1);
    std::vector<std::string> command{"--archive",  launcher::launcherArchive().path().string(),
                                     "--root",     (dir.path() / "root").string(),
                                     "--channel",  "https://127.0.0.1:9/client/",
                                     "--ui-smoke", "--screenshot",
                                     shot.string()};
    const std::filesystem::path program = orlex::test::builtProgram("orlex-launcher");
    // The display's system libraries keep allocations for the life of the process.
    const std::filesystem::path suppressions = dir.path() / "lsan.supp";
    std::ofstream(suppressions)
        << "leak:libdbus-1\nleak:libQt6\nleak:libfontconfig\nleak:libX11\nleak:libxcb\n";
    std::vector<std::string> environment{"LSAN_OPTIONS=suppressions=" + suppressions.string()};
    if (std::filesystem::exists("/usr/bin/xvfb-run"))
        environment.insert(environment.end(),
                           {"QT_QPA_PLATFORM=xcb", "/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1280x800x24"});
    environment.push_back(program.string());
    command.insert(command.begin(), environment.begin(), environment.end());
    const orlex::test::ProcessResult run = orlex::test::runProcess("/usr/bin/env", command);
    ::unsetenv("ORLEX_LAUNCHER_HANDSHAKE");

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "LAUNCHER_UI_PASS\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(handshake));
    const QImage picture(QString::fromStdString(shot.string()));
    ASSERT_EQ(picture.size(), QSize(1180, 720));
    EXPECT_EQ(picture.pixelColor(0, 300), QColor(0x5F, 0x3F, 0x99)) << "the window's line";
    EXPECT_EQ(picture.pixelColor(600, 20), QColor(0x08, 0x07, 0x1C)) << "the window bar";
    // The installation card's left outline (view x 42, halfway down): lighter than the card's body
    // beside it and than the backdrop outside.
    const QColor outline = picture.pixelColor(1 + 42, 39 + 520);
    EXPECT_TRUE(test::near(outline, QColor(0x24, 0x33, 0x4E), 12)) << outline.name().toStdString();
    EXPECT_GT(outline.lightness(), picture.pixelColor(1 + 46, 39 + 520).lightness());
    EXPECT_GT(outline.lightness(), picture.pixelColor(1 + 38, 39 + 520).lightness());
}

}  // namespace
}  // namespace orlex::ui
