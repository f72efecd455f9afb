#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>
#include <atomic>
#include <string>

#include "common/failure.h"
#include "common/french_number.h"
#include "common/preferences.h"
#include "launcher/archive.h"
#include "launcher/launcher_view.h"
#include "ui/account_panel.h"
#include "ui/icons.h"
#include "ui/launcher_view_widget.h"
#include "ui/settings_window.h"
#include "ui/shortcut_refresh.h"
#include "ui/theme.h"
#include "ui/update_dialogs.h"
#include "ui/window_chrome.h"

namespace orlex::ui {
namespace {

const QColor WINDOW_LINE{0x5F, 0x3F, 0x99};

// The game start, the world builder and the launcher's hand-off to its own update are not in this build:
// their operations say so on the status line.

QPushButton* commandButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    styleButton(button, false);
    return button;
}

// The window's side of the launcher core: every call arrives on the GUI thread through post() and acts on
// the window while it exists; once it is gone, the calls do nothing.
class QtLauncherView : public launcher::LauncherView {
public:
    QtLauncherView(MainWindow* window, std::shared_ptr<std::atomic<bool>> displayable)
        : window_(window), displayable_(std::move(displayable)) {}

    // Made and destroyed on the GUI thread: the launcher that holds the view is destroyed there.
    void post(std::function<void()> fn) override {
        QMetaObject::invokeMethod(&context_, std::move(fn), Qt::QueuedConnection);
    }
    bool onUiThread() const override { return QThread::currentThread() == context_.thread(); }
    bool displayable() const override { return displayable_->load(); }

    void setStatus(const std::string& text) override {
        if (window_)
            window_->statusLine()->setText(QString::fromStdString(text));
    }
    void setControlsEnabled(bool enabled, bool logoutEnabled) override {
        if (window_)
            window_->setControlsEnabled(enabled, logoutEnabled);
    }
    void setActionText(const std::string& text) override {
        if (window_)
            window_->action()->setText(QString::fromStdString(text));
    }
    void setActionVisible(bool visible) override {
        if (window_)
            window_->action()->setVisible(visible);
    }
    void setBar(int thousandths) override {
        if (window_)
            window_->progressBar()->setValue(thousandths);
    }
    void setTransfer(const std::string& text) override {
        if (window_)
            window_->transferLine()->setText(QString::fromStdString(text));
    }
    void showInstallation(const launcher::InstallationState& state) override {
        if (!window_)
            return;
        window_->installedLine()->setText(QString::fromStdString(state.installed));
        window_->action()->setText(QString::fromStdString(state.action));
        window_->action()->setVisible(state.actionVisible);
        window_->progressBar()->setValue(state.bar);
        window_->statusLine()->setText(QString::fromStdString(state.status));
    }
    void showLauncherUpdate(const update::Plan&) override {
        if (window_)
            window_->showLauncherUpdate();
    }
    void showLauncherCurrent() override {
        if (window_)
            window_->showLauncherCurrent();
    }
    void showGameUpdate(const update::Plan& plan) override {
        if (window_)
            window_->showGameUpdate(plan);
    }

    LoginInput readLogin() override { return window_ ? window_->accountPanel()->readLogin() : LoginInput{}; }
    RegistrationInput readRegistration() override {
        return window_ ? window_->accountPanel()->readRegistration() : RegistrationInput{};
    }
    void setLoginEnabled(bool enabled) override {
        if (window_)
            window_->accountPanel()->setLoginEnabled(enabled);
    }
    void setRegisterEnabled(bool enabled) override {
        if (window_)
            window_->accountPanel()->setRegisterEnabled(enabled);
    }
    void clearLoginPassword() override {
        if (window_)
            window_->accountPanel()->clearLoginPassword();
    }
    void focusLoginPassword() override {
        if (window_)
            window_->accountPanel()->focusLoginPassword();
    }
    void setRememberChecked(bool checked) override {
        if (window_)
            window_->accountPanel()->setRememberChecked(checked);
    }
    void setIdentity(const std::string& text) override {
        if (window_)
            window_->accountPanel()->setIdentity(text);
    }
    void showAccountCard(launcher::AccountCard card) override {
        if (window_)
            window_->accountPanel()->showAccountCard(card);
    }
    void setLogout(bool visible, bool enabled) override {
        if (!window_)
            return;
        window_->logout()->setVisible(visible);
        window_->logout()->setEnabled(enabled);
    }
    void setBuilderVisible(bool visible) override {
        if (window_)
            window_->builder()->setVisible(visible);
    }
    void endForSelfUpdate() override {
        if (window_)
            window_->closeLauncher();
    }
    void bringToFront() override {
        if (!window_)
            return;
        window_->show();
        window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window_->raise();
        window_->activateWindow();
    }
    void relayout() override {
        if (!window_)
            return;
        window_->view()->layoutChildren();
        window_->view()->update();
    }

private:
    QPointer<MainWindow> window_;
    std::shared_ptr<std::atomic<bool>> displayable_;
    QObject context_;  // the GUI thread's receiver of posted functions
};

}  // namespace

MainWindow* MainWindow::open(launcher::Launcher& launcher, RootChange changeRoot) {
    auto* window = new MainWindow(launcher, std::move(changeRoot));
    launcher.attachView(std::make_shared<QtLauncherView>(window, window->displayable_));
    window->show();
    launcher.session().restoreRememberedSession();
    launcher.runner().run([&launcher] { launcher.installation().ensureGameInstalled(); });
    launcher.installation().startUpdateProbe();
    return window;
}

MainWindow::MainWindow(launcher::Launcher& launcher, RootChange changeRoot)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint),
      launcher_(launcher),
      changeRoot_(std::move(changeRoot)),
      displayable_(std::make_shared<std::atomic<bool>>(true)) {
    setWindowTitle("ORLEX • Tessaline");
    if (const std::optional<QImage> icon = appIcon())
        setWindowIcon(QIcon(QPixmap::fromImage(*icon)));
    resize(1180, 720);
    setMinimumSize(980, 620);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    // First on the worker, before the session restore and the first operation.
    refreshWindowsShortcuts(
        launcher.root(), launcher::launcherArchive(),
        [&launcher](std::function<void()> task) { launcher.runner().submit(std::move(task)); });

    installed_ = new LineLabel("Recherche de mises à jour…");
    status_ = new LineLabel("Préparation…");
    transfer_ = new LineLabel(" ");
    bar_ = new QProgressBar;
    bar_->setRange(0, 1000);
    bar_->setValue(0);
    bar_->setTextVisible(false);

    builder_ = commandButton("World Builder", nullptr);
    folder_ = commandButton("Dossier", this);
    repair_ = commandButton("Réparer", this);
    self_ = commandButton("Vérifier les mises à jour", this);
    logout_ = commandButton("Déconnexion", nullptr);
    for (QPushButton* command : {folder_, repair_, self_})
        command->hide();  // never placed: the settings window clicks them
    builder_->hide();
    logout_->hide();
    logout_->setEnabled(false);

    settings_ = new QPushButton;
    settings_->setObjectName("launcher-settings");
    settings_->setIcon(GearIcon(19, QColor(0xE1, 0xEC, 0xF3)).icon());
    settings_->setIconSize(QSize(19, 19));
    settings_->setToolTip("Options et paramètres");
    settings_->setFixedSize(46, 46);
    styleButton(settings_, false);

    action_ = new QPushButton("JOUER");
    action_->hide();
    styleButton(action_, true);

    accountPanel_ = new AccountPanel(launcher, nullptr);
    view_ = new LauncherViewWidget(accountPanel_, installed_, status_, transfer_, bar_, action_,
                                   {settings_, builder_, logout_});

    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, WINDOW_LINE);
    setPalette(p);
    auto* content = new QVBoxLayout(this);
    content->setContentsMargins(1, 1, 1, 1);
    content->setSpacing(0);
    content->addWidget(windowBar(
        this, [this] { showMinimized(); }, [this] { closeLauncher(); }, ""));
    content->addWidget(view_, 1);
    overlay_ = new DimOverlay(this);

    wireButtons();
    // Reading order: the account form, then the tool row, then the main action.
    setTabOrder(settings_, builder_);
    setTabOrder(builder_, logout_);
    setTabOrder(logout_, action_);
}

MainWindow::~MainWindow() {
    displayable_->store(false);
}

QAbstractButton* MainWindow::action() const {
    return action_;
}
QAbstractButton* MainWindow::builder() const {
    return builder_;
}
QAbstractButton* MainWindow::logout() const {
    return logout_;
}
QAbstractButton* MainWindow::settings() const {
    return settings_;
}
QAbstractButton* MainWindow::folder() const {
    return folder_;
}
QAbstractButton* MainWindow::repair() const {
    return repair_;
}
QAbstractButton* MainWindow::self() const {
    return self_;
}

void MainWindow::wireButtons() {
    launcher::Launcher& launcher = launcher_;
    connect(settings_, &QPushButton::clicked, this, [this] {
        showSettingsWindow(launcher_, {folder_, repair_, self_}, this);
    });
    connect(folder_, &QPushButton::clicked, this, [this] { chooseInstallFolder(); });
    connect(repair_, &QPushButton::clicked, this,
            [&launcher] { launcher.runner().run([&launcher] { launcher.installation().installGame(); }); });
    connect(action_, &QPushButton::clicked, this, [&launcher] {
        if (!launcher.installation().ready()) {
            launcher.runner().run([&launcher] { launcher.installation().installGame(); });
            return;
        }
        launcher.runner().run([&launcher] {
            launcher.runner().status("Jeu en cours…");
            if (const int code = launcher.launch().play(false); code != 0)
                throw common::IoFailure("Client interrompu : " + std::to_string(code));
            launcher.installation().refresh();
        });
    });
    connect(self_, &QPushButton::clicked, this, [&launcher] {
        launcher.runner().run([&launcher] { launcher.installation().checkLauncherUpdate(); });
    });
    connect(logout_, &QPushButton::clicked, this, [&launcher] { launcher.session().logoutHalvo(); });
    connect(builder_, &QPushButton::clicked, this, [&launcher] {
        launcher.runner().run([&launcher] {
            launcher.runner().status("World Builder ouvert…");
            if (const int code = launcher.launch().openBuilder(); code != 0)
                throw common::IoFailure("World Builder interrompu : " + std::to_string(code));
            launcher.installation().refresh();
        });
    });
}

void MainWindow::setControlsEnabled(bool enabled, bool logoutEnabled) {
    for (QPushButton* control : {action_, repair_, folder_, self_, builder_, settings_})
        control->setEnabled(enabled);
    accountPanel_->setControlsEnabled(enabled);
    logout_->setEnabled(logoutEnabled);
}

void MainWindow::closeLauncher() {
    launcher_.installation().stopUpdateProbe();
    dispose();
    QCoreApplication::exit(0);
}

void MainWindow::withdraw() {
    displayable_->store(false);
    hide();
}

void MainWindow::dispose() {
    withdraw();
    deleteLater();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (displayable_->load())
        closeLauncher();
}

void MainWindow::showLauncherUpdate() {
    launcher::GameInstallation& installation = launcher_.installation();
    if (installation.selfUpdatePrompt() || launcher_.runner().operationRunning() || !displayable_->load())
        return;
    installation.setSelfUpdatePrompt(true);
    status_->setText("Mise à jour du launcher… Redémarrage automatique.");
    launcher::Launcher& launcher = launcher_;
    launcher_.runner().run([&launcher] {
        // The prompt ends with the operation, however it ends.
        struct PromptEnd {
            launcher::GameInstallation& installation;
            ~PromptEnd() { installation.setSelfUpdatePrompt(false); }
        } end{launcher.installation()};
        launcher.selfUpdate().startSelfUpdate();
    });
}

void MainWindow::showLauncherCurrent() {
    launcher::GameInstallation& installation = launcher_.installation();
    if (installation.selfUpdatePrompt() || !displayable_->load())
        return;
    installation.setSelfUpdatePrompt(true);
    overlay_->show();
    runUpdatePrompt(this, {.windowTitle = "Launcher déjà à jour",
                           .title = "LAUNCHER DÉJÀ À JOUR",
                           .text = "Vous utilisez la dernière version disponible.",
                           .textFont = Theme::sans(14),
                           .button = "OK",
                           .minimum = {440, 200}});
    overlay_->hide();
    installation.setSelfUpdatePrompt(false);
    status_->setText("Launcher à jour.");
}

void MainWindow::showGameUpdate(const update::Plan& plan) {
    launcher::GameInstallation& installation = launcher_.installation();
    if (installation.selfUpdatePrompt() || !displayable_->load())
        return;
    installation.setSelfUpdatePrompt(true);
    const std::string size = common::frenchOneDecimal(static_cast<double>(plan.bytes) / 1e6);
    runUpdatePrompt(this, {.windowTitle = "Mise à jour du jeu disponible",
                           .title = "MISE À JOUR DU JEU DISPONIBLE",
                           .text = QString::fromStdString("Une nouvelle version est prête • " + size + " Mo"),
                           .textFont = Theme::sans(13),
                           .button = "METTRE À JOUR",
                           .minimum = {470, 210}});
    installation.setSelfUpdatePrompt(false);
    launcher::Launcher& launcher = launcher_;
    launcher_.runner().run([&launcher] { launcher.installation().installGame(); });
}

void MainWindow::chooseInstallFolder() {
    const QString chosen = QFileDialog::getExistingDirectory(
        this, "Dossier d’installation", QString::fromStdU16String(launcher_.root().u16string()),
        QFileDialog::ShowDirsOnly);
    // The chooser's own event loop may have let an update start meanwhile; it would go on unseen.
    if (chosen.isEmpty() || launcher_.runner().operationRunning())
        return;
    const QString absolute = QDir(chosen).absolutePath();
    common::Preferences(launcher::PREFS).put("installation", absolute.toStdString());
    withdraw();
    try {
        changeRoot_(std::filesystem::path(absolute.toStdU16String()));
    } catch (...) {
        // Nothing took this window's place: it comes back to show the failure, or nothing would be left
        // on the screen of a process that goes on.
        displayable_->store(true);
        show();
        launcher_.runner().error(std::current_exception());
        return;
    }
    deleteLater();
}

}  // namespace orlex::ui
