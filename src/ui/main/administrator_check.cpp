#include "ui/main/administrator_check.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QStringList>

#include "platform/security.h"

namespace tl::ui {
namespace {

const QString kUDisksService = QStringLiteral("org.freedesktop.UDisks2");

}  // namespace

bool UDisksReachable() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    if (bus.interface()->isServiceRegistered(kUDisksService)) return true;
    // Not running yet: the bus starts it on the first call when it is installed.
    const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kUDisksService);
}

bool MayReadDisks() { return platform::IsUserAdmin() || UDisksReachable(); }

}  // namespace tl::ui
