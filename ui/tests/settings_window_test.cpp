#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "audio/audio_director.h"
#include "audio/tests/process_threads.h"
#include "common/interruption.h"
#include "common/preferences.h"
#include "launcher/launcher.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "ui/audio_settings.h"
#include "ui/settings_window.h"
#include "update/signature.h"

namespace orlex::ui {
namespace {

using namespace std::chrono_literals;

// Runs the GUI thread's events until done() holds; fails the test when it never does.
template <typename Done>
void settle(Done done) {
    const auto patience = std::chrono::steady_clock::now() + 60s;
    while (!done()) {
        ASSERT_LT(std::chrono::steady_clock::now(), patience) << "the window never settled";
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(1ms);
    }
}

QPushButton* button(QWidget* window, const QString& text) {
    for (QPushButton* b : window->findChildren<QPushButton*>()) {
        if (b->text() == text)
            return b;
    }
    ADD_FAILURE() << "no button " << text.toStdString();
    return nullptr;
}

// What the launcher's operations reach of the main window: its three command buttons, disabled and
// enabled again through the launcher's view exactly as the main window's are.
class MainWindowStandIn : public launcher::LauncherView {
public:
    QWidget window;
    QPushButton* folder = new QPushButton(QStringLiteral("Dossier"), &window);
    QPushButton* repair = new QPushButton(QStringLiteral("Réparer"), &window);
    QPushButton* self = new QPushButton(QStringLiteral("Vérifier les mises à jour"), &window);
    std::atomic<int> statuses{0};

    void post(std::function<void()> fn) override {
        QMetaObject::invokeMethod(qApp, std::move(fn), Qt::QueuedConnection);
    }
    bool onUiThread() const override { return QThread::currentThread() == qApp->thread(); }
    bool displayable() const override { return true; }
    void setStatus(const std::string&) override { ++statuses; }
    void setControlsEnabled(bool enabled, bool) override {
        for (QPushButton* command : {folder, repair, self})
            command->setEnabled(enabled);
    }
    void setActionText(const std::string&) override {}
    void setActionVisible(bool) override {}
    void setBar(int) override {}
    void setTransfer(const std::string&) override {}
    void showInstallation(const launcher::InstallationState&) override {}
    void showLauncherUpdate(const update::Plan&) override {}
    void showLauncherCurrent() override {}
    void showGameUpdate(const update::Plan&) override {}
};

class SettingsWindowTest : public ::testing::Test {
protected:
    test::TempDir root;
    std::shared_ptr<MainWindowStandIn> mainWindow = std::make_shared<MainWindowStandIn>();
    std::unique_ptr<launcher::Launcher> launcher;

    SettingsWindowTest() {
        launcher::LauncherConfig config;
        config.root = root.path();
        config.channel = "https://127.0.0.1:1/client/";  // nobody answers; no test here reaches it
        launcher = std::make_unique<launcher::Launcher>(
            std::move(config), update::publicKey(update::generateKeyPair().publicDer));
        launcher->attachView(mainWindow);
    }

    ~SettingsWindowTest() override {
        launcher.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QDialog* open() {
        return showSettingsWindow(*launcher, {mainWindow->folder, mainWindow->repair, mainWindow->self},
                                  &mainWindow->window);
    }

    static std::size_t audioClocks() {
        const auto names = audio::test::runningThreadNames();
        return static_cast<std::size_t>(std::count(names.begin(), names.end(), "orlex-audio-fad"));
    }
};

TEST_F(SettingsWindowTest, CommandsDoNothingWhileAnOperationRunsAndClickTheMainWindowsAfterwards) {
    int folder = 0, repair = 0, self = 0;
    QObject::connect(mainWindow->folder, &QPushButton::clicked, [&] { ++folder; });
    QObject::connect(mainWindow->repair, &QPushButton::clicked, [&] { ++repair; });
    QObject::connect(mainWindow->self, &QPushButton::clicked, [&] { ++self; });
    QDialog* window = open();
    const auto clickAll = [&] {
        for (const char* text : {"CHOISIR LE DOSSIER", "RÉPARER LES FICHIERS", "VÉRIFIER LES MISES À JOUR"})
            button(window, QString::fromUtf8(text))->click();
    };

    std::atomic<bool> released{false};
    launcher->runner().run([&] {
        while (!released)
            common::sleepFor(2ms);
    });
    settle([&] { return !mainWindow->repair->isEnabled(); });
    const int statusesBefore = mainWindow->statuses;
    clickAll();
    EXPECT_EQ(folder + repair + self, 0);
    EXPECT_EQ(mainWindow->statuses, statusesBefore);

    released = true;
    settle([&] { return mainWindow->repair->isEnabled(); });
    clickAll();
    EXPECT_EQ(folder, 1);
    EXPECT_EQ(repair, 1);
    EXPECT_EQ(self, 1);
}

TEST_F(SettingsWindowTest, EachWindowOwnsItsAudioDirectorUntilItCloses) {
    const std::size_t before = audioClocks();
    QPointer<QDialog> first = open();
    QPointer<QDialog> second = open();
    EXPECT_EQ(audioClocks(), before + 2);

    first->close();
    settle([&] { return first.isNull(); });
    EXPECT_EQ(audioClocks(), before + 1);
    ASSERT_FALSE(second.isNull());
    EXPECT_TRUE(second->isVisible());

    second->close();
    settle([&] { return second.isNull(); });
    EXPECT_EQ(audioClocks(), before);
}

TEST_F(SettingsWindowTest, LogCopyTellsHowManyLinesWentToTheClipboard) {
    QDialog* window = open();
    auto* copy = window->findChild<QPushButton*>(QStringLiteral("copy-recent-launcher-logs"));
    auto* result = window->findChild<QLabel*>(QStringLiteral("copy-recent-launcher-logs-result"));
    ASSERT_TRUE(copy && result);
    EXPECT_EQ(result->text(), QStringLiteral("Les 200 dernières lignes de launcher.log."));
    const auto copied = [&] {
        copy->click();
        EXPECT_FALSE(copy->isEnabled());
        EXPECT_EQ(result->text(), QStringLiteral("Lecture des logs…"));
        settle([&] { return copy->isEnabled(); });
        return result->text();
    };
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("avant"));

    const std::filesystem::path log = root / "userdata" / "launcher.log";
    std::filesystem::remove(log);
    EXPECT_EQ(copied(), QStringLiteral("Aucun log récent à copier."));
    EXPECT_EQ(clipboard->text(), QStringLiteral("avant"));

    test::writeFile(log, "2024-05-01T10:00:00Z seule ligne\n");
    EXPECT_EQ(copied(), QStringLiteral("1 lignes copiées. Prêtes à coller."));
    EXPECT_EQ(clipboard->text(), QStringLiteral("2024-05-01T10:00:00Z seule ligne"));

    std::string lines, last200;
    for (int i = 1; i <= 250; ++i) {
        const std::string line = "ligne " + std::to_string(i);
        lines += line + "\r\n";
        if (i > 50)
            last200 += (i > 51 ? "\n" : "") + line;
    }
    test::writeFile(log, lines);
    EXPECT_EQ(copied(), QStringLiteral("200 lignes copiées. Prêtes à coller."));
    EXPECT_EQ(clipboard->text().toStdString(), last200);
}

TEST(AudioSettings, SlidersStartAtTheDirectorsVolumesAndSetThemWhileDragged) {
    test::TempDir project;
    auto volumes = std::make_shared<audio::MemoryVolumes>();
    volumes->write("MUSIC", 0.35f);
    audio::AudioDirector director(project.path(), std::make_shared<audio::PcmBackend>(), volumes,
                                  std::make_unique<audio::ManualClock>());
    std::unique_ptr<QWidget> panel(audioSettings(director));
    const QList<QSlider*> sliders = panel->findChildren<QSlider*>();
    ASSERT_EQ(sliders.size(), 6);
    EXPECT_EQ(sliders[0]->value(), 80);  // master
    EXPECT_EQ(sliders[1]->value(), 35);  // MUSIC
    EXPECT_EQ(sliders[5]->value(), 60);  // INTERFACE

    sliders[1]->setSliderDown(true);
    sliders[1]->setSliderPosition(12);
    EXPECT_FLOAT_EQ(director.volume(audio::Bus::MUSIC), 0.12f);
    EXPECT_EQ(volumes->read("MUSIC"), 0.12f);
    sliders[0]->setSliderPosition(41);
    EXPECT_FLOAT_EQ(director.master(), 0.41f);
}

TEST(AudioSettings, TheBoxStoresTheReducedMotionSwitch) {
    test::TempDir project;
    audio::AudioDirector director(project.path(), std::make_shared<audio::PcmBackend>(),
                                  std::make_shared<audio::MemoryVolumes>(),
                                  std::make_unique<audio::ManualClock>());
    common::Preferences ui("com/orlex/ui");
    ui.putBoolean("reducedMotion", true);
    std::unique_ptr<QWidget> panel(audioSettings(director));
    auto* box = panel->findChild<QCheckBox*>();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text(), QStringLiteral("Réduire les animations"));
    EXPECT_TRUE(box->isChecked());

    box->click();
    EXPECT_FALSE(ui.getBoolean("reducedMotion", true));
    box->click();
    EXPECT_TRUE(ui.getBoolean("reducedMotion", false));
    ui.remove("reducedMotion");
}

}  // namespace
}  // namespace orlex::ui
