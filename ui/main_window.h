#pragma once

#include <QPointer>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>

#include "launcher/launcher.h"
#include "update/patcher.h"

class QAbstractButton;
class QLabel;
class QProgressBar;
class QPushButton;

namespace orlex::ui {

class AccountPanel;
class DimOverlay;
class LauncherViewWidget;

// The launcher's main window over one Launcher: an undecorated 1180x720 window (at least 980x620)
// titled "ORLEX • Tessaline", a 1 px #5F3F99 line around its window bar and the launcher view, the
// buttons that start the launcher's operations, and the update prompts. The launcher core reaches it
// only through the LauncherView it attaches to the launcher (every call posted to the GUI thread).
//
// The command buttons folder ("Dossier"), repair ("Réparer") and self ("Vérifier les mises à jour") are
// never shown: the settings window clicks them, and a click on a disabled one does nothing.
//
// GUI thread only. The launcher must outlive its window.
class MainWindow : public QWidget {
public:
    // Builds the window for another install root on the folder action: a new launcher on that root and
    // its window. Given by whoever runs the windows, which owns the launchers; may fail.
    using RootChange = std::function<void(const std::filesystem::path& root)>;

    // Builds and shows the window and starts the launcher's first work, in this order: the shortcut
    // refresh handed to the worker first, the widgets, the view attached to the launcher (progress
    // included), the window shown, the session restore, ensureGameInstalled as an operation, and the
    // update probe. The window deletes itself when disposed.
    static MainWindow* open(launcher::Launcher& launcher, RootChange changeRoot);
    ~MainWindow() override;

    // The close control and a close request from the system: stops the update probe at once, disposes
    // the window and ends the event loop with status 0.
    void closeLauncher();
    // Hides the window and deletes it later; the view is no longer displayable from then on.
    void dispose();

    launcher::Launcher& launcher() { return launcher_; }
    QAbstractButton* action() const;
    QAbstractButton* builder() const;
    QAbstractButton* logout() const;
    QAbstractButton* settings() const;
    QAbstractButton* folder() const;
    QAbstractButton* repair() const;
    QAbstractButton* self() const;
    QLabel* installedLine() const { return installed_; }
    QLabel* statusLine() const { return status_; }
    QLabel* transferLine() const { return transfer_; }
    QProgressBar* progressBar() const { return bar_; }
    AccountPanel* accountPanel() const { return accountPanel_; }
    LauncherViewWidget* view() const { return view_; }

    // The update prompts (LauncherView). Each does nothing while another prompt is handled (the
    // launcher's selfUpdatePrompt) or once the window is disposed; showLauncherUpdate also while an
    // operation runs. The two dialogs block in a nested event loop until their button is pressed.
    void showLauncherUpdate();
    void showLauncherCurrent();
    void showGameUpdate(const update::Plan& plan);

    // The folder action: a directory chooser at the install root; a confirmed directory is stored as the
    // preference "installation", this window hidden, the new root's window built and this one disposed.
    // When building fails this window comes back and shows the failure through this launcher's error().
    // Cancelling changes nothing.
    void chooseInstallFolder();

    // The enabled state of the main controls during (false) and after an operation (LauncherView).
    void setControlsEnabled(bool enabled, bool logoutEnabled);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Hides the window, which is no longer displayable from then on (show() and the flag bring it back).
    void withdraw();

    MainWindow(launcher::Launcher& launcher, RootChange changeRoot);
    void wireButtons();

    launcher::Launcher& launcher_;
    RootChange changeRoot_;
    QPushButton* action_;
    QPushButton* builder_;
    QPushButton* logout_;
    QPushButton* settings_;
    QPushButton* folder_;
    QPushButton* repair_;
    QPushButton* self_;
    QLabel* installed_;
    QLabel* status_;
    QLabel* transfer_;
    QProgressBar* bar_;
    AccountPanel* accountPanel_ = nullptr;
    LauncherViewWidget* view_ = nullptr;
    DimOverlay* overlay_ = nullptr;
    std::shared_ptr<std::atomic<bool>> displayable_;  // shared with the attached view
};

}  // namespace orlex::ui
