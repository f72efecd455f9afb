#pragma once

class QAbstractButton;
class QDialog;
class QWidget;

namespace orlex::launcher {
class Launcher;
}

namespace orlex::ui {

// The main window's command buttons, never placed on screen; the settings window clicks them, and a
// click on a disabled one does nothing, so its actions are blocked exactly when the main window's are.
struct SettingsCommands {
    QAbstractButton* folder;  // chooses another install root
    QAbstractButton* repair;  // reinstalls the game release
    QAbstractButton* self;    // checks for launcher and game updates
};

// Builds and shows a new settings window "PARAMÈTRES" over mainWindow: not modal, undecorated, 720×480
// (at least 640×420), with the categories "Installation" (the install root and "CHOISIR LE DOSSIER"),
// "Maintenance" ("RÉPARER LES FICHIERS", "VÉRIFIER LES MISES À JOUR" and the copy of the recent
// launcher log lines to the clipboard) and "Son et animations" (the audio settings panel). Each call
// opens another window with an audio director of its own on the launcher's install root.
//
// mainWindow owns the window: it goes with it. The window deletes itself when closed (its close
// control, Escape); its log copy thread is stopped and joined and its audio director closed then.
// GUI thread. The command buttons must outlive the window (the main window owns them too); launcher is
// read only here, for its install root.
QDialog* showSettingsWindow(launcher::Launcher& launcher, SettingsCommands commands, QWidget* mainWindow);

}  // namespace orlex::ui
