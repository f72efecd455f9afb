#pragma once

#include <stdexcept>
#include <string>

#include "launcher/recent_logs.h"

class QObject;

namespace orlex::ui {

// The system clipboard could not be taken: another program holds it at that moment.
class ClipboardBusy : public std::runtime_error {
public:
    ClipboardBusy() : std::runtime_error("Presse-papiers occupé") {}
};

// The system clipboard behind the launcher's Clipboard interface. The clipboard itself is touched only
// on the GUI thread, the thread of context: setText() called on another thread hands the text over to
// that thread's event loop and waits for its turn there.
class QtClipboard : public launcher::Clipboard {
public:
    // context must outlive every setText() call.
    explicit QtClipboard(QObject* context) : context_(context) {}

    // Places text on the clipboard as plain text and checks that the clipboard holds it afterwards;
    // fails with ClipboardBusy when it does not. Off the GUI thread the wait ends early with
    // common::Interrupted as soon as the calling thread's stop token asks to stop
    // (common/interruption.h): an owner on the GUI thread stops and joins a copying thread (a
    // common::Executor task) instead of waiting for a turn its own thread would have to give.
    void setText(const std::string& text) override;

private:
    QObject* context_;
};

}  // namespace orlex::ui
