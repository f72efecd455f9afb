#include "ui/qt_clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "common/interruption.h"

namespace orlex::ui {

namespace {

// GUI thread. Qt reports no failure of its own when another program keeps the clipboard (it only
// warns), so the text is read back: what the clipboard gives then is ours or somebody else's.
bool place(const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(text);
    return clipboard->text() == text;
}

}  // namespace

void QtClipboard::setText(const std::string& text) {
    const QString value = QString::fromStdString(text);
    if (context_->thread() == QThread::currentThread()) {
        if (!place(value))
            throw ClipboardBusy();
        return;
    }

    // Shared with the GUI thread's turn, which may come after this call has given up waiting.
    struct Turn {
        std::mutex mutex;
        std::condition_variable_any done;
        bool ran = false;
        bool placed = false;
    };
    auto turn = std::make_shared<Turn>();
    QMetaObject::invokeMethod(
        context_,
        [turn, value] {
            const bool placed = place(value);
            std::lock_guard lock(turn->mutex);
            turn->ran = true;
            turn->placed = placed;
            turn->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(turn->mutex);
    if (!turn->done.wait(lock, common::currentStopToken(), [&] { return turn->ran; }))
        throw common::Interrupted();
    if (!turn->placed)
        throw ClipboardBusy();
}

}  // namespace orlex::ui
