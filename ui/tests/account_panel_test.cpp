// The account panel wired to a launcher's account flows against the local fake account service, through
// a window that hands the flows' effects to the panel on the GUI thread as the main window does.
#include "ui/account_panel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "common/preferences.h"
#include "launcher/archive.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_ca.h"
#include "tools/fake_services.h"
#include "ui/components.h"
#include "update/signature.h"

namespace orlex::ui {
namespace {

using launcher::AccountCard;
using launcher::AccountSession;

// The window's side of the launcher view, reduced to the status line and the account panel.
class PanelView : public launcher::LauncherView {
public:
    explicit PanelView(AccountPanel& panel) : panel_(panel) {}

    void post(std::function<void()> fn) override {
        QMetaObject::invokeMethod(&guiThread_, std::move(fn), Qt::QueuedConnection);
    }
    bool onUiThread() const override { return QThread::currentThread() == guiThread_.thread(); }
    bool displayable() const override { return true; }

    void setStatus(const std::string& text) override { status = text; }
    void setControlsEnabled(bool enabled, bool) override { panel_.setControlsEnabled(enabled); }
    void setActionText(const std::string&) override {}
    void setActionVisible(bool) override {}
    void setBar(int) override {}
    void setTransfer(const std::string&) override {}
    void showInstallation(const launcher::InstallationState&) override {}
    void showLauncherUpdate(const update::Plan&) override {}
    void showLauncherCurrent() override {}
    void showGameUpdate(const update::Plan&) override {}

    LoginInput readLogin() override {
        ++loginReads;
        return panel_.readLogin();
    }
    RegistrationInput readRegistration() override { return panel_.readRegistration(); }
    void setLoginEnabled(bool enabled) override { panel_.setLoginEnabled(enabled); }
    void setRegisterEnabled(bool enabled) override { panel_.setRegisterEnabled(enabled); }
    void clearLoginPassword() override { panel_.clearLoginPassword(); }
    void focusLoginPassword() override { panel_.focusLoginPassword(); }
    void setRememberChecked(bool checked) override { panel_.setRememberChecked(checked); }
    void setIdentity(const std::string& text) override { panel_.setIdentity(text); }
    void showAccountCard(AccountCard card) override { panel_.showAccountCard(card); }

    std::string status;
    int loginReads = 0;  // sign-ins started

private:
    AccountPanel& panel_;
    QObject guiThread_;  // posted functions die with the view
};

class AccountPanelFlow : public ::testing::Test {
protected:
    test::TempDir root;
    test::TempDir certificates;
    test::TestCa ca{certificates / "ca"};
    tools::FakeServices services{ca.serverCertificate().string(), ca.serverKey().string()};
    std::unique_ptr<launcher::Launcher> launcher;
    std::unique_ptr<AccountPanel> panel;
    std::shared_ptr<PanelView> view;

    void SetUp() override {
        common::Preferences preferences(launcher::PREFS);
        for (const char* key :
             {AccountSession::IDENTITY_KEY, AccountSession::REMEMBER_KEY, AccountSession::UPDATE_RESUME_KEY})
            preferences.remove(key);
        services.addAccount({"nova", "correct horse", {"worldbuilder.open"}});
        services.addAccount({"pix", "battery staple", {}});
    }

    // Nothing the launcher posted runs once it is gone; the panel goes last.
    void TearDown() override {
        launcher.reset();
        view.reset();
        panel.reset();
    }

    void start() {
        launcher::LauncherConfig config;
        config.root = root.path();
        config.channel = "https://127.0.0.1:1/client/";  // no installation work here
        config.account = {.origin = services.origin(), .trust = {ca.caPem()}};
        config.gameSession = {.endpoint = services.gameSession(), .trust = {ca.caPem()}};
        launcher = std::make_unique<launcher::Launcher>(
            config, update::publicKey(update::generateKeyPair().publicDer));
        panel = std::make_unique<AccountPanel>(*launcher);
        view = std::make_shared<PanelView>(*panel);
        launcher->attachView(view);
        panel->show();
    }

    template <typename Widget = QWidget>
    Widget* named(QWidget* tree, const char* name) {
        auto* widget = qobject_cast<Widget*>(find(tree, name));
        EXPECT_TRUE(widget) << name;
        return widget;
    }
    QLineEdit* identifier() { return named<QLineEdit>(panel.get(), "loginIdentifier"); }
    QLineEdit* password() { return named<QLineEdit>(panel.get(), "loginPassword"); }
    QPushButton* signInButton() { return named<QPushButton>(panel.get(), "halvo"); }
    QWidget* shownCard() {
        for (const char* name : {"login", "connected"})
            if (QWidget* card = find(panel.get(), name); card && card->isVisible())
                return card;
        return nullptr;
    }

    static void pressEnter(QWidget* widget) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(widget, &press);
    }

    // Runs the GUI thread's events until condition holds; fails the test after a minute.
    static bool waitUntil(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "condition not reached";
                return false;
            }
            QEventLoop loop;
            QTimer::singleShot(5, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return true;
    }
    bool waitForStatus(const std::string& text) {
        return waitUntil([&] { return view->status == text; });
    }

    void signIn(const QString& name, const QString& secret) {
        identifier()->setText(name);
        password()->setText(secret);
        signInButton()->click();
    }
};

// The names of the widgets that Tab visits after `from`, in order.
QStringList tabOrderAfter(QWidget* from, int count) {
    QStringList names;
    for (QWidget* at = from->nextInFocusChain(); at != from && names.size() < count;
         at = at->nextInFocusChain())
        if ((at->focusPolicy() & Qt::TabFocus) && at->isVisibleTo(from->window()))
            names << at->objectName();
    return names;
}

TEST_F(AccountPanelFlow, StartsOnTheSignInCardWithTheRememberedIdentifier) {
    common::Preferences(launcher::PREFS).put(AccountSession::IDENTITY_KEY, "nova");
    start();
    EXPECT_EQ(shownCard(), find(panel.get(), "login"));
    EXPECT_EQ(identifier()->text(), "nova");
    EXPECT_EQ(password()->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(named<QCheckBox>(panel.get(), "remember")->isChecked());
    EXPECT_EQ(tabOrderAfter(identifier(), 4),
              (QStringList{"loginPassword", "remember", "halvo", "register"}));
}

TEST_F(AccountPanelFlow, EnterWalksToThePasswordAndARefusedSignInEmptiesAndFocusesIt) {
    start();
    identifier()->setText("nova");
    pressEnter(identifier());
    EXPECT_EQ(panel->focusWidget(), password());
    EXPECT_EQ(view->loginReads, 0);

    password()->setText("wrong horse");
    pressEnter(password());
    EXPECT_EQ(view->loginReads, 1);
    EXPECT_FALSE(signInButton()->isEnabled());
    pressEnter(password());           // the button is disabled while the sign-in runs
    panel->setControlsEnabled(true);  // an operation ending meanwhile does not free it
    EXPECT_FALSE(signInButton()->isEnabled());
    EXPECT_EQ(view->loginReads, 1);

    waitUntil([&] { return signInButton()->isEnabled(); });
    EXPECT_EQ(view->status, "Identifiant ou mot de passe incorrect.");
    EXPECT_EQ(password()->text(), "");
    EXPECT_EQ(panel->focusWidget(), password());
    EXPECT_EQ(identifier()->text(), "nova");
    EXPECT_EQ(shownCard(), find(panel.get(), "login"));
}

TEST_F(AccountPanelFlow, EnterInThePasswordDoesNothingWhileAnOperationRuns) {
    start();
    view->setControlsEnabled(false, false);
    password()->setText("correct horse");
    pressEnter(password());
    EXPECT_EQ(view->loginReads, 0);
    view->setControlsEnabled(true, false);
    EXPECT_TRUE(signInButton()->isEnabled());
}

TEST_F(AccountPanelFlow, AFailedSignInKeepsBothFields) {
    services.failSessions(-1);  // the service accepts, the game session exchange fails
    start();
    signIn("nova", "correct horse");
    waitUntil([&] { return signInButton()->isEnabled(); });
    EXPECT_EQ(view->status, "Connexion impossible · consulter launcher.log.");
    EXPECT_EQ(identifier()->text(), "nova");
    EXPECT_EQ(password()->text(), "correct horse");
    EXPECT_EQ(shownCard(), find(panel.get(), "login"));
}

TEST_F(AccountPanelFlow, SignOutRestoresTheSignInCardAndKeepsTheIdentifier) {
    start();
    signIn("nova", "correct horse");
    waitForStatus("Connecté.");
    EXPECT_EQ(shownCard(), find(panel.get(), "connected"));
    EXPECT_EQ(named<QLabel>(panel.get(), "halvo-identity")->text(), "Bienvenue, nova");
    EXPECT_EQ(password()->text(), "");  // no secret kept in the hidden form

    launcher->session().logoutHalvo();
    EXPECT_EQ(view->status, "Déconnecté.");
    EXPECT_EQ(shownCard(), find(panel.get(), "login"));
    EXPECT_EQ(identifier()->text(), "nova");
    EXPECT_EQ(password()->text(), "");
    EXPECT_FALSE(named<QCheckBox>(panel.get(), "remember")->isChecked());
    EXPECT_TRUE(signInButton()->isEnabled());
}

TEST_F(AccountPanelFlow, ARegistrationRefusalKeepsTheDialogAndASuccessClosesIt) {
    start();
    named<QPushButton>(panel.get(), "register")->click();
    QDialog* dialog = panel->registrationDialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->windowTitle(), "Créer mon compte HALVO ID");
    EXPECT_FALSE(dialog->isModal());
    EXPECT_EQ(dialog->size(), QSize(480, 530));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    EXPECT_EQ(shownCard(), find(panel.get(), "login"));

    named<QLineEdit>(dialog, "registerUsername")->setText("pix");  // taken
    named<QLineEdit>(dialog, "registerDisplay")->setText("Pix");
    named<QLineEdit>(dialog, "registerEmail")->setText("pix@example.org");
    named<QLineEdit>(dialog, "registerPassword")->setText("une phrase longue");
    named<QLineEdit>(dialog, "registerConfirm")->setText("une phrase longue");
    auto* submit = named<QPushButton>(dialog, "registerSubmit");
    pressEnter(named<QLineEdit>(dialog, "registerConfirm"));
    EXPECT_FALSE(submit->isEnabled());
    waitUntil([&] { return submit->isEnabled(); });
    EXPECT_EQ(view->status, "Ce pseudo est déjà utilisé.");
    EXPECT_EQ(panel->registrationDialog(), dialog);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(named<QLineEdit>(dialog, "registerUsername")->text(), "pix");
    EXPECT_EQ(named<QLineEdit>(dialog, "registerConfirm")->text(), "une phrase longue");

    named<QLineEdit>(dialog, "registerUsername")->setText("stella");
    submit->click();
    waitForStatus("Connecté.");
    EXPECT_EQ(panel->registrationDialog(), nullptr);
    EXPECT_EQ(shownCard(), find(panel.get(), "connected"));
    EXPECT_EQ(named<QLabel>(panel.get(), "halvo-identity")->text(), "Bienvenue, stella");
}

TEST_F(AccountPanelFlow, OneRegistrationDialogAtATimeEachOpeningEmpty) {
    start();
    named<QPushButton>(panel.get(), "register")->click();
    QPointer<QDialog> first = panel->registrationDialog();
    auto* username = named<QLineEdit>(first, "registerUsername");
    username->setText("stella");
    pressEnter(username);  // Enter walks down the form
    EXPECT_EQ(first->focusWidget(), find(first, "registerDisplay"));

    named<QPushButton>(panel.get(), "register")->click();
    QPointer<QDialog> second = panel->registrationDialog();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(named<QLineEdit>(second, "registerUsername")->text(), "");
    EXPECT_EQ(panel->findChildren<QDialog*>().size(), 1);

    named<QPushButton>(second, "registerBack")->click();  // "J’ai déjà un compte"
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(second);
    EXPECT_EQ(panel->registrationDialog(), nullptr);
    EXPECT_EQ(shownCard(), find(panel.get(), "login"));

    named<QPushButton>(panel.get(), "register")->click();
    QPointer<QDialog> third = panel->registrationDialog();
    third->close();  // the title bar's close
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(third);
    EXPECT_EQ(panel->registrationDialog(), nullptr);
}

// Every text has the room it asks for inside the main window's account card (370 px wide, inner margins
// 16, 24, 16, 24, as tall as the visible card plus 52) and inside the registration dialog. With
// ORLEX_SCREENSHOTS set, the two cards and the dialog are also saved there as PNG files for review.
TEST_F(AccountPanelFlow, EveryTextFitsTheCardAndTheDialog) {
    common::Preferences(launcher::PREFS).put(AccountSession::IDENTITY_KEY, "nova");
    start();
    password()->setText("correct horse");
    Cosmos window;
    window.resize(440, 420);
    auto* card = new Surface(&window);
    card->setContentsMargins(24, 16, 24, 16);
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(panel.get());
    struct GiveBack {  // the fixture deletes the panel, not the window
        QWidget* panel;
        ~GiveBack() { panel->setParent(nullptr); }
    } giveBack{panel.get()};
    window.show();

    // Labels, buttons and the check box need their whole text; the greeting alone may end with "…".
    const auto fits = [](QWidget* tree) {
        for (QWidget* widget : tree->findChildren<QWidget*>()) {
            if (!widget->isVisible() ||
                !(qobject_cast<QLabel*>(widget) || qobject_cast<QAbstractButton*>(widget)))
                continue;
            EXPECT_TRUE(widget->width() >= widget->minimumSizeHint().width() &&
                        widget->height() >= widget->minimumSizeHint().height())
                << widget->objectName().toStdString() << " is smaller than it needs";
        }
    };
    const char* screenshots = std::getenv("ORLEX_SCREENSHOTS");
    const auto save = [&](QWidget* widget, const char* name) {
        if (screenshots)
            widget->grab().save(QString::fromStdString((std::filesystem::path(screenshots) / name).string()));
    };
    const auto check = [&](const char* name) {
        card->setGeometry(28, 28, 370, std::min(326, std::max(120, panel->sizeHint().height() + 52)));
        QCoreApplication::processEvents();
        fits(card);
        EXPECT_LE(panel->minimumSizeHint().width(), 322) << name;
        save(&window, name);
    };

    check("account-login.png");
    panel->setIdentity("Bienvenue, nova");
    panel->showAccountCard(AccountCard::Connected);
    check("account-connected.png");
    panel->setIdentity("Bienvenue, " + std::string(24, 'W'));  // the longest pseudo, in wide letters
    check("account-connected-long-name.png");

    panel->openRegistration();
    QCoreApplication::processEvents();
    fits(panel->registrationDialog());
    save(panel->registrationDialog(), "registration.png");
}

}  // namespace
}  // namespace orlex::ui
