// Notifications from the core to the front end: the private window messages
// of a desktop program, delivered through a sink that the front end installs.
// The Qt interface delivers them on its GUI thread; the CLI drains them on its
// own loop. Without a sink, posted messages are dropped and sent ones return 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tl::platform {

// An opaque window id; 0 means the current top-level window.
using WindowId = std::uintptr_t;

struct AppMessage {
    WindowId target = 0;
    unsigned id = 0;
    std::uint64_t wparam = 0;
    std::int64_t lparam = 0;
    // Text carried by the message (a log line, a message box's text); owned by
    // the message, so a posted message never points at freed memory.
    std::string text;
    std::string caption;  // message boxes only
    // Questions sent with more to answer than a button: the front end writes
    // its answer here (left empty: no answer).
    std::string* reply = nullptr;
};

class NotificationSink {
public:
    virtual ~NotificationSink() = default;
    // Asynchronous: queue and return at once. Called from any thread.
    virtual void Post(AppMessage message) = 0;
    // Synchronous: return when the message was handled, with its result.
    virtual std::int64_t Send(const AppMessage& message) = 0;
};

// Replaces the sink (nullptr removes it). Thread-safe.
void InstallNotificationSink(std::shared_ptr<NotificationSink> sink);

void PostAppMessage(WindowId target, unsigned id, std::uint64_t wparam = 0, std::int64_t lparam = 0,
                    std::string text = {});
std::int64_t SendAppMessage(WindowId target, unsigned id, std::uint64_t wparam = 0, std::int64_t lparam = 0,
                            std::string text = {});

// The front end's loop ends (code in wparam).
inline constexpr unsigned kQuit = 0x0012;

// Message boxes asked from any thread: sent as message kMessageBox with the
// style in wparam; the answer is one of the MessageBoxAnswer values (0 when
// no sink answers).
inline constexpr unsigned kMessageBox = 0x7F00;

enum MessageBoxStyle : std::uint64_t {
    kMbOk = 0x0,
    kMbOkCancel = 0x1,
    kMbYesNoCancel = 0x3,
    kMbYesNo = 0x4,
    kMbIconError = 0x10,
    kMbIconQuestion = 0x20,
    kMbIconWarning = 0x30,
    kMbIconInformation = 0x40,
};
enum MessageBoxAnswer : std::int64_t { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };

std::int64_t ShowMessageBox(WindowId owner, std::string text, std::string caption, std::uint64_t style);

// Sends a message made by the caller (one that carries a reply).
std::int64_t SendAppMessage(const AppMessage& message);

// A folder chooser titled `text`: the reply is the chosen folder.
inline constexpr unsigned kChooseFolder = 0x7F01;
std::string ChooseFolder(WindowId owner, std::string title);
// The probable size of a signature-found file whose size is not known:
// wparam the record, text its type name; the reply is
// "<button> <choice> <scope> <custom size in bytes>" (buttons 1 OK, 2 Cancel,
// 5 Skip File; choices 1..4; scopes 0 this file, 1 its type, 2 every type).
inline constexpr unsigned kProbableSizeQuestion = 0x7F02;

}  // namespace tl::platform
