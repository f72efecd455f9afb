#include "ui/account_panel.h"

#include <openssl/crypto.h>

#include <QCheckBox>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <string_view>

#include "common/preferences.h"
#include "launcher/archive.h"
#include "ui/theme.h"

namespace orlex::ui {
namespace {

const QColor HEADING(0x69, 0xD1, 0xF6);
const QColor ROW_LABEL(0xDA, 0xE6, 0xEF);
const QColor REMEMBER_TEXT(0xCD, 0xDC, 0xE4);
const QColor NOTE(0xAE, 0xA5, 0xC5);
const QColor DIALOG_BACKGROUND(0x11, 0x13, 0x27);

void setForeground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, colour);
        palette.setColor(group, QPalette::ButtonText, colour);
    }
    widget->setPalette(palette);
}

QLabel* label(const QString& text, const QColor& colour, const QFont& font) {
    auto* label = new QLabel(text);
    setForeground(label, colour);
    label->setFont(font);
    return label;
}

QLabel* heading(const QString& text) {
    return label(text, HEADING, Theme::sans(12, true));
}

// A transparent vertical stack on card; children added with addLeft keep their preferred width at the
// left, rows added plainly fill the width. The space left over stays below the last child.
QVBoxLayout* authBase(QWidget* card) {
    auto* stack = new QVBoxLayout(card);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    return stack;
}

void addLeft(QVBoxLayout* stack, QWidget* widget) {
    stack->addWidget(widget, 0, Qt::AlignLeft);
}

QLineEdit* field(const char* name, bool masked) {
    auto* field = new QLineEdit;
    field->setObjectName(name);
    if (masked)
        field->setEchoMode(QLineEdit::Password);
    return field;
}

QPushButton* button(const char* name, const QString& text, bool primary, bool compact) {
    auto* button = new QPushButton(text);
    button->setObjectName(name);
    button->setProperty("compact", compact);  // read by the look, so set before it
    button->setAutoDefault(false);            // Enter is handled by the fields (see the forms)
    styleButton(button, primary);
    return button;
}

std::string textOf(const QLineEdit* field) {
    return field->text().toStdString();
}

// The field's characters; the UTF-8 copy made on the way is wiped.
accounts::SecretBuffer secretOf(const QLineEdit* field) {
    QByteArray bytes = field->text().toUtf8();
    accounts::SecretBuffer secret(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    OPENSSL_cleanse(bytes.data(), static_cast<std::size_t>(bytes.size()));
    return secret;
}

// The row of authRow: prefers 320x36, grows in width only.
class AuthRow : public QWidget {
public:
    QSize sizeHint() const override { return {320, 36}; }
};

// The greeting of the signed-in card: a name too long for the card ends with "…" instead of widening
// the card beyond the main window's column.
class ElidedLabel : public QLabel {
public:
    using QLabel::QLabel;
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        Theme::quality(painter);
        painter.setPen(palette().color(QPalette::WindowText));
        const QRect area = contentsRect();
        painter.drawText(area, static_cast<int>(alignment()),
                         fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
    }
};

}  // namespace

// The registration dialog: a new, empty form each time it opens; deleted when closed. Its buttons are
// wired by the panel that opens it.
class RegistrationDialog : public QDialog {
public:
    explicit RegistrationDialog(QWidget* owner) : QDialog(owner) {
        setObjectName("registrationDialog");
        setWindowTitle(QStringLiteral("Créer mon compte HALVO ID"));
        setModal(false);
        setAttribute(Qt::WA_DeleteOnClose);
        QPalette palette = this->palette();
        palette.setColor(QPalette::Window, DIALOG_BACKGROUND);
        setPalette(palette);
        setAutoFillBackground(true);

        auto* content = new QVBoxLayout(this);
        content->setContentsMargins(26, 24, 26, 24);
        auto* form = new QWidget;
        content->addWidget(form);
        QVBoxLayout* stack = authBase(form);
        addLeft(stack, heading(QStringLiteral("CRÉER MON COMPTE")));
        stack->addSpacing(8);
        username = field("registerUsername", false);
        displayName = field("registerDisplay", false);
        email = field("registerEmail", false);
        password = field("registerPassword", true);
        confirm = field("registerConfirm", true);
        const std::pair<QString, QLineEdit*> rows[] = {{QStringLiteral("Pseudo"), username},
                                                       {QStringLiteral("Nom affiché"), displayName},
                                                       {QStringLiteral("E-mail"), email},
                                                       {QStringLiteral("Mot de passe"), password},
                                                       {QStringLiteral("Confirmation"), confirm}};
        for (const auto& [text, input] : rows) {
            if (input != username)
                stack->addSpacing(5);
            stack->addWidget(authRow(text, input));
        }
        stack->addSpacing(10);
        submit = button("registerSubmit", QStringLiteral("CRÉER MON COMPTE"), true, true);
        addLeft(stack, submit);
        stack->addSpacing(5);
        back = button("registerBack", QStringLiteral("J’ai déjà un compte"), false, false);
        addLeft(stack, back);
        stack->addStretch(1);

        // Enter walks down the form as in the sign-in card; in the confirmation it presses the submit
        // button when that is enabled (click() does nothing on a disabled button).
        for (std::size_t i = 0; i + 1 < std::size(rows); ++i)
            connect(rows[i].second, &QLineEdit::returnPressed, rows[i + 1].second,
                    [next = rows[i + 1].second] { next->setFocus(Qt::TabFocusReason); });
        connect(confirm, &QLineEdit::returnPressed, submit, &QPushButton::click);

        setFixedSize(480, 530);
    }

    QLineEdit* username;
    QLineEdit* displayName;
    QLineEdit* email;
    QLineEdit* password;
    QLineEdit* confirm;
    QPushButton* submit;
    QPushButton* back;
};

QWidget* authRow(const QString& text, QWidget* input) {
    auto* row = new AuthRow;
    row->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    row->setMaximumHeight(36);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    QLabel* name = label(text, ROW_LABEL, Theme::sans(13));
    name->setFixedWidth(104);
    name->setMinimumHeight(26);
    layout->addWidget(name);
    styleField(input);
    input->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    layout->addWidget(input);
    return row;
}

QWidget* find(QWidget* root, const QString& name) {
    if (!root)
        return nullptr;
    if (root->objectName() == name)
        return root;
    for (QObject* child : root->children()) {
        if (auto* widget = qobject_cast<QWidget*>(child))
            if (QWidget* found = find(widget, name))
                return found;
    }
    return nullptr;
}

AccountPanel::AccountPanel(launcher::Launcher& launcher, QWidget* parent)
    : QWidget(parent), launcher_(launcher) {
    cards_ = new QStackedLayout(this);
    cards_->setContentsMargins(0, 0, 0, 0);
    loginCard_ = loginForm();
    connectedCard_ = connectedPanel();
    cards_->addWidget(loginCard_);
    cards_->addWidget(connectedCard_);
    cards_->setCurrentWidget(loginCard_);
}

AccountPanel::~AccountPanel() {
    delete registration_.data();  // owned by the window, but wired to this panel
}

QWidget* AccountPanel::loginForm() {
    auto* card = new QWidget;
    card->setObjectName("login");
    QVBoxLayout* stack = authBase(card);
    addLeft(stack, heading(QStringLiteral("CONNEXION")));
    stack->addSpacing(9);
    loginIdentifier_ = field("loginIdentifier", false);
    loginIdentifier_->setText(QString::fromStdString(
        common::Preferences(launcher::PREFS).get(launcher::AccountSession::IDENTITY_KEY, "")));
    stack->addWidget(authRow(QStringLiteral("Identifiant"), loginIdentifier_));
    stack->addSpacing(6);
    loginPassword_ = field("loginPassword", true);
    stack->addWidget(authRow(QStringLiteral("Mot de passe"), loginPassword_));
    stack->addSpacing(6);
    remember_ = new QCheckBox(QStringLiteral("Rester connecté sur cet appareil"));
    remember_->setObjectName("remember");
    remember_->setChecked(true);
    setForeground(remember_, REMEMBER_TEXT);
    addLeft(stack, remember_);
    stack->addSpacing(10);

    auto* actions = new QWidget;
    actions->setMaximumHeight(42);
    auto* grid = new QGridLayout(actions);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(8);
    halvo_ = button("halvo", QStringLiteral("SE CONNECTER"), true, true);
    QPushButton* create = button("register", QStringLiteral("Créer un compte"), false, true);
    grid->addWidget(halvo_, 0, 0);
    grid->addWidget(create, 0, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    stack->addWidget(actions);
    stack->addStretch(1);

    connect(loginIdentifier_, &QLineEdit::returnPressed, loginPassword_,
            [this] { loginPassword_->setFocus(Qt::TabFocusReason); });
    connect(loginPassword_, &QLineEdit::returnPressed, halvo_, &QPushButton::click);
    connect(halvo_, &QPushButton::clicked, this, [this] { launcher_.session().submitLogin(); });
    connect(create, &QPushButton::clicked, this, &AccountPanel::openRegistration);
    return card;
}

QWidget* AccountPanel::connectedPanel() {
    auto* card = new QWidget;
    card->setObjectName("connected");
    QVBoxLayout* stack = authBase(card);
    addLeft(stack, heading(QStringLiteral("● CONNECTÉ")));
    stack->addSpacing(10);
    identity_ = new ElidedLabel;
    identity_->setObjectName("halvo-identity");
    setForeground(identity_, Qt::white);
    identity_->setFont(Theme::sans(18, true));
    stack->addWidget(identity_);
    stack->addSpacing(6);
    addLeft(stack, label(QStringLiteral("Prêt pour une nouvelle aventure ?"), NOTE, Theme::sans(12)));
    stack->addStretch(1);
    return card;
}

launcher::LauncherView::LoginInput AccountPanel::readLogin() const {
    return {textOf(loginIdentifier_), secretOf(loginPassword_)};
}

launcher::LauncherView::RegistrationInput AccountPanel::readRegistration() const {
    if (!registration_)
        return {};
    return {textOf(registration_->username), textOf(registration_->displayName), textOf(registration_->email),
            secretOf(registration_->password), secretOf(registration_->confirm)};
}

void AccountPanel::setLoginEnabled(bool enabled) {
    loginPending_ = !enabled;
    refreshLoginButton();
}

void AccountPanel::setRegisterEnabled(bool enabled) {
    if (registration_)
        registration_->submit->setEnabled(enabled);
}

void AccountPanel::setControlsEnabled(bool enabled) {
    controlsEnabled_ = enabled;
    refreshLoginButton();
}

void AccountPanel::refreshLoginButton() {
    halvo_->setEnabled(controlsEnabled_ && !loginPending_);
}

void AccountPanel::clearLoginPassword() {
    loginPassword_->clear();
}

void AccountPanel::focusLoginPassword() {
    loginPassword_->setFocus(Qt::OtherFocusReason);
}

void AccountPanel::setRememberChecked(bool checked) {
    remember_->setChecked(checked);
}

void AccountPanel::setIdentity(const std::string& text) {
    identity_->setText(QString::fromStdString(text));
}

void AccountPanel::showAccountCard(launcher::AccountCard card) {
    if (registration_)
        registration_->close();
    registration_ = nullptr;
    // The sign-in card shown again at sign-out has a working button and an empty password field.
    if (card == launcher::AccountCard::Connected) {
        setLoginEnabled(true);
        loginPassword_->clear();
    }
    cards_->setCurrentWidget(card == launcher::AccountCard::Login ? loginCard_ : connectedCard_);
    updateGeometry();
}

void AccountPanel::openRegistration() {
    if (registration_)
        registration_->close();
    registration_ = new RegistrationDialog(window());
    connect(registration_->submit, &QPushButton::clicked, this,
            [this] { launcher_.session().submitRegister(); });
    connect(registration_->back, &QPushButton::clicked, this,
            [this] { showAccountCard(launcher::AccountCard::Login); });
    registration_->show();  // centred over the window by QDialog on its first show
}

QDialog* AccountPanel::registrationDialog() const {
    return registration_.data();
}

QSize AccountPanel::sizeHint() const {
    return cards_->currentWidget()->sizeHint();
}

QSize AccountPanel::minimumSizeHint() const {
    return cards_->currentWidget()->minimumSizeHint();
}

}  // namespace orlex::ui
