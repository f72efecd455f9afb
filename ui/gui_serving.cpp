#include "ui/gui_serving.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <atomic>
#include <exception>
#include <thread>

#include "common/thread_name.h"

namespace orlex::ui {

void whileServingGui(const std::function<void()>& work) {
    std::atomic<bool> done{false};
    std::exception_ptr failure;
    std::thread helper([&] {
        common::nameCurrentThread("orlex-closing");
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        // Wakes the wait below, which may have begun just before done was set.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
    helper.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace orlex::ui
