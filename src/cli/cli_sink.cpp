#include "cli/cli_sink.h"

#include <cstdio>

namespace tl::cli {

void CliSink::Post(platform::AppMessage message) { Observe(message); }

void CliSink::SetObserver(std::function<void(const platform::AppMessage&)> observer) {
    std::lock_guard lock(observerMutex_);
    observer_ = std::move(observer);
}

void CliSink::Observe(const platform::AppMessage& message) {
    std::lock_guard lock(observerMutex_);
    if (observer_) observer_(message);
}

std::int64_t CliSink::Send(const platform::AppMessage& message) {
    Observe(message);
    if (message.id != platform::kMessageBox) return 0;
    const std::uint64_t buttons = message.wparam & 0x0F;
    std::int64_t answer = 0;
    if (buttons == platform::kMbOk) answer = platform::kIdOk;
    else if (buttons == platform::kMbYesNo || buttons == platform::kMbYesNoCancel)
        answer = assumeYes_ ? platform::kIdYes : platform::kIdNo;
    else answer = assumeYes_ ? platform::kIdOk : platform::kIdCancel;
    std::fprintf(stderr, "%s: %s\n", message.caption.c_str(), message.text.c_str());
    return answer;
}

}  // namespace tl::cli
