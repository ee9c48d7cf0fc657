// tessa-loft: the desktop program. Start-up: the application object (its
// languages, settings and computer), the check of who may read disks, the
// splash screen, the interface language and the signature database, then
// the start window, the four-step wizard (the explorer and the nine-step
// wizard are reached by switching the mode); the settings are saved
// whenever the event loop goes idle and they changed. A drive image or
// device named on the command line is loaded and selected ("Open With" of
// the desktop).
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QSplashScreen>
#include <QStringList>
#include <QThread>

#include <memory>

#include "app/app.h"
#include "app/app_messages.h"
#include "app/string_ids.h"
#include "ui/main/qt_notification_sink.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"
#include "ui/main/window_modes.h"

namespace {

// The splash screen: the product's name on a plain card.
QPixmap SplashImage() {
    QPixmap pixmap(420, 160);
    pixmap.fill(QColor(0x2B, 0x4C, 0x6F));
    QPainter painter(&pixmap);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPointSize(20);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("Documents Tessa-Loft"));
    return pixmap;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessa-loft"));
    QApplication::setApplicationDisplayName(QStringLiteral("Documents Tessa-Loft"));
    // The desktop entry's name ties the windows to the menu entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral(TL_APP_ID));
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral(TL_APP_ID), QIcon(QStringLiteral(":/icons/" TL_APP_ID ".png"))));
    tl::ui::ChooseIconTheme();

    // Deleted on the GUI thread even when a worker lets go of it last.
    std::shared_ptr<tl::ui::CQtNotificationSink> sink(new tl::ui::CQtNotificationSink,
                                                      [](tl::ui::CQtNotificationSink* s) {
                                                          if (QThread::currentThread() == s->thread())
                                                              delete s;
                                                          else
                                                              s->deleteLater();
                                                      });
    tl::platform::InstallNotificationSink(sink);

    int exitCode = 0;
    {
        tl::CApp app;
        // Not allowed to read disks: the refusal was shown, and the program ends.
        if (app.Start(true)) {
            tl::ui::CQtOwnTexts::Follow(app.Languages());
            std::unique_ptr<QSplashScreen> splash;
            if (app.Settings().ShowSplash()) {
                splash = std::make_unique<QSplashScreen>(SplashImage());
                splash->show();
                QApplication::processEvents();
            }
            tl::ui::CWindowModes modes(app, *sink);
            QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                             &modes, [&app] { app.SaveSettingsIfChanged(); });
            modes.SwitchMode(static_cast<int>(tl::cmd::kModeFourStepWizard));
            if (splash) splash->finish(modes.Top()->Widget());

            const QStringList arguments = QApplication::arguments().mid(1);
            if (!arguments.isEmpty()) modes.Top()->OpenSource(arguments.front());
            for (const QString& ignored : arguments.mid(1))
                app.Log().LogInfo(app.Format(tl::ids::kCommandLineIgnored, ignored.toStdString()));
            exitCode = QApplication::exec();
            // Workers still asking questions get no answer now, and end.
            sink->Shutdown();
        }
    }
    tl::platform::InstallNotificationSink(nullptr);
    return exitCode;
}
