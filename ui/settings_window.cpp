#include "ui/settings_window.h"

#include <QAbstractButton>
#include <QDialog>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <exception>
#include <filesystem>

#include "audio/audio_director.h"
#include "common/executor.h"
#include "common/interruption.h"
#include "launcher/launcher.h"
#include "launcher/recent_logs.h"
#include "ui/audio_settings.h"
#include "ui/qt_clipboard.h"
#include "ui/theme.h"
#include "ui/window_chrome.h"

namespace orlex::ui {

namespace {

const QColor SHELL{0x09, 0x08, 0x1D};
const QColor SHELL_LINE{0x7F, 0x4B, 0xCD};
const QColor CARDS{0x0F, 0x0C, 0x2A};
const QColor LIST{0x0D, 0x0B, 0x26};
const QColor LIST_TEXT{0xE0, 0xD8, 0xF0};
const QColor LIST_SELECTED{0x49, 0x2C, 0x77};

void setBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    palette.setColor(QPalette::Base, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

// The window's content: its background and a 1 px line around everything, the bar included.
class Shell : public QWidget {
public:
    Shell() { setAutoFillBackground(false); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter g(this);
        g.fillRect(rect(), SHELL);
        g.setPen(SHELL_LINE);
        g.drawRect(rect().adjusted(0, 0, -1, -1));
    }
};

// A category row: 48 px high, its text 12 px from the left and centred between 16 px margins above
// and below, drawn in the list's own colours (the theme pass does not reach inside a delegate).
class CategoryRow : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        return QSize(option.rect.width(), 48);
    }

    void paint(QPainter* g, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const bool selected = option.state.testFlag(QStyle::State_Selected);
        g->save();
        Theme::quality(*g);
        g->fillRect(option.rect, selected ? LIST_SELECTED : LIST);
        g->setPen(selected ? QColor(Qt::white) : LIST_TEXT);
        g->setFont(Theme::sans(13));
        g->drawText(option.rect.adjusted(12, 16, -12, -16), Qt::AlignLeft | Qt::AlignVCenter,
                    index.data().toString());
        g->restore();
    }
};

// The category list: always exactly one row selected, the current one.
class CategoryList : public QListWidget {
protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override {
        return index.isValid() ? QItemSelectionModel::ClearAndSelect
                               : QListWidget::selectionCommand(index, event);
    }
};

// The top of a category's card: heading, description, and below them the controls the caller appends
// to stack.
struct Card {
    QWidget* widget;
    QVBoxLayout* stack;
};

Card settingsCategory(const QString& title, const QString& description) {
    auto* widget = new QWidget;
    auto* stack = new QVBoxLayout(widget);
    stack->setContentsMargins(42, 42, 42, 42);
    stack->setSpacing(0);
    auto* heading = new QLabel(title);
    heading->setFont(Theme::sans(22, true));
    stack->addWidget(heading, 0, Qt::AlignLeft);
    stack->addSpacing(10);
    auto* text = new QLabel(description);
    text->setFont(Theme::sans(13));
    text->setWordWrap(true);
    stack->addWidget(text);
    stack->addSpacing(32);
    return {widget, stack};
}

QPushButton* cardButton(const QString& text, bool primary) {
    auto* button = new QPushButton(text);
    styleButton(button, primary);
    return button;
}

// A button of the window that clicks one of the main window's command buttons.
QPushButton* commandButton(const QString& text, bool primary, QAbstractButton* command) {
    auto* button = cardButton(text, primary);
    QObject::connect(button, &QPushButton::clicked, button, [target = QPointer<QAbstractButton>(command)] {
        if (target)
            target->click();
    });
    return button;
}

// A path as text, with a break opportunity after every separator so that a long one wraps there.
QString wrappablePath(const std::filesystem::path& path) {
    QString text = QString::fromStdU16String(path.u16string());
    QString result;
    for (const QChar c : text) {
        result += c;
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            result += QChar(0x200B);  // zero-width space
    }
    return result;
}

class SettingsWindow : public QDialog {
public:
    SettingsWindow(const std::filesystem::path& root, SettingsCommands commands, QWidget* mainWindow)
        : QDialog(mainWindow, Qt::Dialog | Qt::FramelessWindowHint),
          root_(root),
          director_(root),
          clipboard_(this) {
        setAttribute(Qt::WA_DeleteOnClose);
        setModal(false);
        setWindowTitle(QStringLiteral("PARAMÈTRES"));
        if (const std::optional<QImage> icon = appIcon())
            setWindowIcon(QIcon(QPixmap::fromImage(*icon)));
        resize(720, 480);
        setMinimumSize(640, 420);

        auto* outer = new QVBoxLayout(this);
        outer->setContentsMargins(0, 0, 0, 0);
        auto* shell = new Shell;
        outer->addWidget(shell);
        auto* column = new QVBoxLayout(shell);
        column->setContentsMargins(1, 1, 1, 1);
        column->setSpacing(0);
        // Minimising minimises the launcher, this window with it: an owned window without frame, minimised
        // on its own, would have no taskbar entry to come back from.
        column->addWidget(windowBar(
            this, [mainWindow] { mainWindow->window()->showMinimized(); }, [this] { close(); },
            QStringLiteral("PARAMÈTRES")));
        auto* body = new QHBoxLayout;
        body->setSpacing(0);
        column->addLayout(body, 1);

        auto* categories = new CategoryList;
        categories->setObjectName(QStringLiteral("settings-categories"));
        categories->setItemDelegate(new CategoryRow(categories));
        categories->setFixedWidth(190);
        categories->setFrameShape(QFrame::NoFrame);
        categories->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        categories->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        categories->setUniformItemSizes(true);
        body->addWidget(categories);

        auto* cards = new QStackedWidget;
        setBackground(cards, CARDS);
        body->addWidget(cards, 1);

        const auto addCard = [&](const QString& category, QWidget* card) {
            card->setObjectName(category);
            categories->addItem(category);
            cards->addWidget(card);
        };
        addCard(QStringLiteral("Installation"), installationCard(commands));
        addCard(QStringLiteral("Maintenance"), maintenanceCard(commands));
        addCard(QStringLiteral("Son et animations"), soundCard());
        connect(categories, &QListWidget::currentRowChanged, cards, &QStackedWidget::setCurrentIndex);
        categories->setCurrentRow(0);

        Theme::themeTree(shell);
        // The pass gives push buttons their look; the bar's two controls are plain buttons, so they take
        // the secondary look here, as every other button of this window has it.
        for (QAbstractButton* control : shell->findChildren<QAbstractButton*>()) {
            if (!qobject_cast<QPushButton*>(control) && !control->isCheckable())
                Theme::button(control, false);
        }
        setBackground(categories->viewport(), LIST);  // after the pass: the list keeps its own colours
        // No default button: Return on the list or a slider must not press the first button of a card.
        for (QPushButton* button : findChildren<QPushButton*>())
            button->setAutoDefault(false);
        categories->setFocus();

        const QRect over = mainWindow->window()->frameGeometry();
        move(over.center() - QPoint(width() / 2, height() / 2));
    }

private:
    QWidget* installationCard(const SettingsCommands& commands) {
        Card card =
            settingsCategory(QStringLiteral("INSTALLATION"),
                             QStringLiteral("Choisissez l’emplacement utilisé pour les fichiers du jeu."));
        auto* path = new QLabel(wrappablePath(root_));
        path->setWordWrap(true);
        card.stack->addWidget(path);
        card.stack->addSpacing(18);
        card.stack->addWidget(commandButton(QStringLiteral("CHOISIR LE DOSSIER"), false, commands.folder), 0,
                              Qt::AlignLeft);
        card.stack->addStretch(1);
        return card.widget;
    }

    QWidget* maintenanceCard(const SettingsCommands& commands) {
        Card card = settingsCategory(QStringLiteral("MAINTENANCE"),
                                     QStringLiteral("Vérifiez ou restaurez les fichiers installés."));
        card.stack->addWidget(commandButton(QStringLiteral("RÉPARER LES FICHIERS"), false, commands.repair),
                              0, Qt::AlignLeft);
        card.stack->addSpacing(12);
        card.stack->addWidget(commandButton(QStringLiteral("VÉRIFIER LES MISES À JOUR"), true, commands.self),
                              0, Qt::AlignLeft);
        addLogCopyControls(card.stack);
        card.stack->addStretch(1);
        return card.widget;
    }

    // The audio settings panel, held off the container's edges like the other cards' contents.
    QWidget* soundCard() {
        auto* card = new QWidget;
        auto* holder = new QVBoxLayout(card);
        holder->setContentsMargins(24, 24, 24, 24);
        holder->addWidget(audioSettings(director_));
        return card;
    }

    // The copy of the recent launcher log lines; usable while an operation runs.
    void addLogCopyControls(QVBoxLayout* stack) {
        stack->addSpacing(12);
        copyButton_ = cardButton(QStringLiteral("Copier les logs récents"), false);
        copyButton_->setObjectName(QStringLiteral("copy-recent-launcher-logs"));
        connect(copyButton_, &QPushButton::clicked, this, &SettingsWindow::copyLogs);
        stack->addWidget(copyButton_, 0, Qt::AlignLeft);
        stack->addSpacing(8);
        copyResult_ = new QLabel(QStringLiteral("Les 200 dernières lignes de launcher.log."));
        copyResult_->setObjectName(QStringLiteral("copy-recent-launcher-logs-result"));
        stack->addWidget(copyResult_);  // the card's whole width: every result fits as soon as it is set
    }

    // GUI thread. Reads the log on the window's own thread; the clipboard is set on the GUI thread.
    void copyLogs() {
        copyButton_->setEnabled(false);
        copyResult_->setText(QStringLiteral("Lecture des logs…"));
        logCopier_.submit([this] {
            std::size_t lines = 0;
            std::exception_ptr failure;
            try {
                lines = launcher::copyRecentLogs(root_ / "userdata" / "launcher.log", clipboard_);
            } catch (const common::Interrupted&) {
                return;  // the window is closing
            } catch (...) {
                failure = std::current_exception();
            }
            QMetaObject::invokeMethod(
                this, [this, lines, failure] { showCopied(lines, failure); }, Qt::QueuedConnection);
        });
    }

    void showCopied(std::size_t lines, const std::exception_ptr& failure) {
        copyButton_->setEnabled(true);
        if (failure) {
            copyResult_->setText(clipboardBusy(failure)
                                     ? QStringLiteral("Presse-papiers occupé. Réessayez.")
                                     : QStringLiteral("Impossible de copier les logs. Réessayez."));
        } else if (lines == 0) {
            copyResult_->setText(QStringLiteral("Aucun log récent à copier."));
        } else {
            copyResult_->setText(QStringLiteral("%1 lignes copiées. Prêtes à coller.").arg(lines));
        }
    }

    static bool clipboardBusy(const std::exception_ptr& failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const ClipboardBusy&) {
            return true;
        } catch (...) {
            return false;
        }
    }

    std::filesystem::path root_;
    audio::AudioDirector director_;  // closed when the window goes
    QtClipboard clipboard_;
    QPushButton* copyButton_ = nullptr;
    QLabel* copyResult_ = nullptr;
    common::Executor logCopier_{"orlex-log-copy"};  // last: joined before the clipboard and the window go
};

}  // namespace

QDialog* showSettingsWindow(launcher::Launcher& launcher, SettingsCommands commands, QWidget* mainWindow) {
    auto* window = new SettingsWindow(launcher.root(), commands, mainWindow);
    window->show();
    return window;
}

}  // namespace orlex::ui
