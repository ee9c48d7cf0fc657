// The command line's notification sink: posted notifications are queued and
// drained by the main loop; message boxes are answered from the options
// ("--yes" answers Yes/OK, otherwise No/Cancel), and shown on standard error.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/notify.h"

namespace tl::cli {

class CliSink : public platform::NotificationSink {
public:
    explicit CliSink(bool assumeYes) : assumeYes_(assumeYes) {}

    void Post(platform::AppMessage message) override;
    std::int64_t Send(const platform::AppMessage& message) override;

    // Takes every queued notification, oldest first.
    std::vector<platform::AppMessage> Drain();

    // Also hands every notification, sent or posted, to `observer` on the
    // sender's thread as it arrives; an empty function removes it.
    void SetObserver(std::function<void(const platform::AppMessage&)> observer);

private:
    void Observe(const platform::AppMessage& message);

    bool assumeYes_;
    std::mutex observerMutex_;
    std::function<void(const platform::AppMessage&)> observer_;
    std::mutex mutex_;
    std::deque<platform::AppMessage> queue_;
};

}  // namespace tl::cli
