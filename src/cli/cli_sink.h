// The command line's notification sink: posted notifications go to the
// observer as they arrive (the progress lines) and are not kept, so that a
// scan posting one per find holds no memory for them; message boxes are answered from the options
// ("--yes" answers Yes/OK, otherwise No/Cancel), and shown on standard error.
#pragma once

#include <functional>
#include <mutex>

#include "platform/notify.h"

namespace tl::cli {

class CliSink : public platform::NotificationSink {
public:
    explicit CliSink(bool assumeYes) : assumeYes_(assumeYes) {}

    void Post(platform::AppMessage message) override;
    std::int64_t Send(const platform::AppMessage& message) override;

    // Also hands every notification, sent or posted, to `observer` on the
    // sender's thread as it arrives; an empty function removes it.
    void SetObserver(std::function<void(const platform::AppMessage&)> observer);

private:
    void Observe(const platform::AppMessage& message);

    bool assumeYes_;
    std::mutex observerMutex_;
    std::function<void(const platform::AppMessage&)> observer_;
};

}  // namespace tl::cli
