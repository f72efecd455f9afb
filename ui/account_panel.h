#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <string>

#include "launcher/launcher.h"
#include "launcher/launcher_view.h"

class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedLayout;

namespace orlex::ui {

class RegistrationDialog;

// The account card's content: the card container with the sign-in card (object name "login") and the
// signed-in card ("connected"), "login" shown at first. The panel only collects input and shows
// results: its buttons start the launcher's account flows, whose messages go to the main window's
// status line, and the window's LauncherView hands the flows' effects back to the members below.
//
// Object names, for find(): the cards "login" and "connected"; in the sign-in card "loginIdentifier",
// "loginPassword", "remember", "halvo" (the button "SE CONNECTER") and "register" (the button "Créer un
// compte"); in the signed-in card "halvo-identity"; the registration dialog "registrationDialog" with
// "registerUsername", "registerDisplay", "registerEmail", "registerPassword", "registerConfirm",
// "registerSubmit" and "registerBack".
//
// Keys: Enter in the identifier moves the focus to the password; Enter in the password presses
// "SE CONNECTER" when that button is enabled and does nothing otherwise.
//
// GUI thread only, all of it. The launcher must outlive the panel.
class AccountPanel : public QWidget {
public:
    // The identifier field starts with the launcher preference "account.identity".
    explicit AccountPanel(launcher::Launcher& launcher, QWidget* parent = nullptr);
    ~AccountPanel() override;

    // The sign-in form: the identifier as typed and the password's characters (the field keeps its text;
    // the copies made on the way are wiped).
    launcher::LauncherView::LoginInput readLogin() const;
    // The open registration dialog's fields as typed; empty when no dialog is open.
    launcher::LauncherView::RegistrationInput readRegistration() const;

    // The sign-in button while a sign-in is pending: "SE CONNECTER" is enabled only when neither a
    // sign-in nor an operation holds it (setControlsEnabled).
    void setLoginEnabled(bool enabled);
    // The open registration dialog's "CRÉER MON COMPTE"; nothing without a dialog.
    void setRegisterEnabled(bool enabled);
    // The controls that follow the operation state: "SE CONNECTER".
    void setControlsEnabled(bool enabled);

    void clearLoginPassword();
    void focusLoginPassword();
    // The check box "Rester connecté sur cet appareil".
    void setRememberChecked(bool checked);
    // The text of the signed-in card's label "halvo-identity" ("Bienvenue, {}"); a text wider than the
    // card ends with "…".
    void setIdentity(const std::string& text);

    // Shows a card; every card change closes the registration dialog. The signed-in card also ends a
    // pending sign-in (a successful one never enables its button again) and empties the password field,
    // which keeps no secret for the length of the session.
    void showAccountCard(launcher::AccountCard card);
    // Opens a new, empty registration dialog owned by this panel's window (closing the open one): not
    // modal, with the system title bar, titled "Créer mon compte HALVO ID", 480x530, centred over the
    // window. The card shown does not change. What the "Créer un compte" button does.
    void openRegistration();
    // The open registration dialog, or nullptr. Closing it (title bar, Escape) deletes it.
    QDialog* registrationDialog() const;

    // The visible card's preferred size: the main window sizes the account card from it.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    QWidget* loginForm();
    QWidget* connectedPanel();
    void refreshLoginButton();

    launcher::Launcher& launcher_;
    QStackedLayout* cards_ = nullptr;
    QWidget* loginCard_ = nullptr;
    QWidget* connectedCard_ = nullptr;
    QLineEdit* loginIdentifier_ = nullptr;
    QLineEdit* loginPassword_ = nullptr;
    QCheckBox* remember_ = nullptr;
    QPushButton* halvo_ = nullptr;
    QLabel* identity_ = nullptr;
    QPointer<RegistrationDialog> registration_;
    bool loginPending_ = false;    // a sign-in runs (setLoginEnabled(false) until setLoginEnabled(true))
    bool controlsEnabled_ = true;  // no operation runs
};

// A field row of the account forms: the label (104x26, #DAE6EF, sans-serif 13) on the left and the
// field, given the field style, filling the rest, 8 px apart. The row prefers 320x36, may grow in width
// and is never taller than 36 px. The row takes ownership of the field.
QWidget* authRow(const QString& label, QWidget* field);

// The first widget named `name` in a depth-first, pre-order walk from root (root itself first, then each
// child widget in order), or nullptr. Top-level children (the registration dialog) are walked too.
QWidget* find(QWidget* root, const QString& name);

}  // namespace orlex::ui
