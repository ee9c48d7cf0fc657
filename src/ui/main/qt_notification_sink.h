// The desktop program's notification sink. The core's posted notifications
// reach the GUI thread as queued calls, in the order they were posted; a
// sent one (a question a worker asks) is handed over to the GUI thread and
// waited for, or handled at once when it comes from the GUI thread itself.
// Message boxes (their texts plain: they may hold names read from a disk)
// and the folder chooser are answered here; every other
// notification goes to the handler of the window it names (0: the current
// top-level window). Window ids are handed out here, one per real window,
// and never reused, so a notification for a closed window finds none.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/notify.h"

namespace tl::ui {

class CQtNotificationSink : public QObject, public platform::NotificationSink {
    Q_OBJECT
public:
    using Handler = std::function<std::int64_t(const platform::AppMessage&)>;

    // Made on the GUI thread, which then delivers every notification.
    explicit CQtNotificationSink(QObject* parent = nullptr);

    // A window and what handles the notifications sent to it. The window
    // with the id `topWindow` reports answers 0 targets.
    platform::WindowId RegisterWindow(QWidget* window, Handler handler);
    void UnregisterWindow(platform::WindowId id);
    void SetTopWindow(platform::WindowId id);
    QWidget* Window(platform::WindowId id) const;

    void Post(platform::AppMessage message) override;
    std::int64_t Send(const platform::AppMessage& message) override;

    // The GUI thread's loop has ended: every worker waiting for an answer
    // gets 0 (none) now, and later questions get it at once, so that a
    // worker joined while the program ends never waits for a loop that
    // will not run again.
    void Shutdown();

private:
    struct Registered {
        QPointer<QWidget> window;
        Handler handler;
    };
    // A question handed to the GUI thread, and its answer.
    struct Waiting {
        std::mutex mutex;
        std::condition_variable answered;
        bool done = false;
        std::int64_t result = 0;
        void Answer(std::int64_t value);
    };
    // On the GUI thread.
    std::int64_t Deliver(const platform::AppMessage& message);
    std::int64_t AskMessageBox(const platform::AppMessage& message);
    Registered Find(platform::WindowId id) const;

    mutable std::mutex mutex_;
    std::map<platform::WindowId, Registered> windows_;
    platform::WindowId nextId_ = 1;
    platform::WindowId topWindow_ = 0;
    bool shutDown_ = false;
    std::vector<std::shared_ptr<Waiting>> waiting_;
};

}  // namespace tl::ui
