#pragma once

#include <functional>
#include <string>

#include "accounts/secret_buffer.h"
#include "update/patcher.h"

namespace orlex::launcher {

// The account panel's two cards: the sign-in form, and the signed-in card with the player's name.
enum class AccountCard { Login, Connected };

// What the main window shows of the game installation after a check: all of it at once.
struct InstallationState {
    std::string installed;  // "Version installée : {}" or "… : aucune"
    std::string action;     // the main button: "JOUER", "INSTALLER" or "METTRE À JOUR"
    bool actionVisible = false;
    int bar = 0;  // thousandths, 0 to 1000
    std::string status;
};

// What the launcher core may do to its window. The core never touches a widget: it calls post() from
// any thread, and only the function it posts calls the other members, on the UI thread. The window
// implements post() with a queued call to the Qt GUI thread; tests use a recording fake.
class LauncherView {
public:
    virtual ~LauncherView() = default;

    // Runs fn later on the UI thread; posts run in posting order. Callable from any thread.
    virtual void post(std::function<void()> fn) = 0;
    // True on the thread post() runs functions on (the window: Qt's GUI thread). Any thread.
    virtual bool onUiThread() const = 0;
    // False once the window is disposed; read from any thread.
    virtual bool displayable() const = 0;

    // UI thread only, from here on.
    virtual void setStatus(const std::string& text) = 0;
    // action, repair, folder, self, builder, halvo, settings get `enabled`; logout gets `logoutEnabled`.
    virtual void setControlsEnabled(bool enabled, bool logoutEnabled) = 0;
    virtual void setActionText(const std::string& text) = 0;
    virtual void setActionVisible(bool visible) = 0;
    virtual void setBar(int thousandths) = 0;  // 0 to 1000
    virtual void setTransfer(const std::string& text) = 0;
    // The installed label, the main button's text and visibility, the bar and the status line together.
    virtual void showInstallation(const InstallationState& state) = 0;
    // The launcher channel has a newer release: starts the launcher update (its own guard applies).
    virtual void showLauncherUpdate(const update::Plan& plan) = 0;
    // The manual update check's answers: the launcher is current and so is the game (a dialog to
    // acknowledge), or the game has an update of plan.bytes to fetch (a dialog that installs it). Each
    // does nothing while another update prompt is being handled or the window is gone.
    virtual void showLauncherCurrent() = 0;
    virtual void showGameUpdate(const update::Plan& plan) = 0;

    // ---- Account panel (UI thread) ------------------------------------------------------------------
    // A window without the panel keeps the defaults: empty forms, nothing shown.

    // The sign-in form: the identifier as typed and the password field's characters.
    struct LoginInput {
        std::string identifier;
        accounts::SecretBuffer password;
    };
    // The registration dialog's fields as typed.
    struct RegistrationInput {
        std::string username;
        std::string displayName;
        std::string email;
        accounts::SecretBuffer password;
        accounts::SecretBuffer confirm;
    };
    virtual LoginInput readLogin() { return {}; }
    virtual RegistrationInput readRegistration() { return {}; }
    // The sign-in button, and the registration dialog's submit button.
    virtual void setLoginEnabled(bool) {}
    virtual void setRegisterEnabled(bool) {}
    // Empties the sign-in password field; focuses it.
    virtual void clearLoginPassword() {}
    virtual void focusLoginPassword() {}
    // The check box "Rester connecté sur cet appareil" of the sign-in form.
    virtual void setRememberChecked(bool) {}
    // The identity label of the signed-in card ("halvo-identity").
    virtual void setIdentity(const std::string&) {}
    // Shows an account card; Connected also closes the registration dialog.
    virtual void showAccountCard(AccountCard) {}
    virtual void setLogout(bool /*visible*/, bool /*enabled*/) {}
    // The "World Builder" button.
    virtual void setBuilderVisible(bool) {}
    // Lays the window out again and repaints it.
    virtual void relayout() {}
    // Shows the window, restores it from the minimised state, raises it and gives it the focus.
    virtual void bringToFront() {}
    // The apply-self process has started: the window closes as its close control does (the update probe
    // stops, the process ends with status 0).
    virtual void endForSelfUpdate() {}
};

}  // namespace orlex::launcher
