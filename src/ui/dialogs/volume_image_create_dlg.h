// The modal progress dialog "Creating Drive Image": the image file's name,
// the progress, the time since the copy began and the average transfer
// speed, updated every 250 ms while the core's worker copies the volume.
// "Cancel" stops the worker; at the end the button says "OK", and sectors
// that could not be read are counted and the image called incomplete.
#pragma once

#include <QDialog>
#include <QTimer>

#include <memory>

#include "app/app.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace tl {
class CImageCreation;
}

namespace tl::ui {

class CQtNotificationSink;

class CVolumeImage_CreateDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTickMs = 250;

    // Made before the job starts: the job's Window is set to the dialog, so
    // that its worker's notifications come here.
    CVolumeImage_CreateDlg(CApp& app, CQtNotificationSink& sink, std::shared_ptr<CImageCreation> job,
                           QWidget* parent = nullptr);
    ~CVolumeImage_CreateDlg() override;

    // The window id the worker's notifications go to (the job's Window).
    platform::WindowId WindowId() const { return windowId_; }

protected:
    void reject() override;

private:
    std::int64_t OnMessage(const platform::AppMessage& message);
    void Tick();
    void Done();
    void Finish();

    CApp& app_;
    CQtNotificationSink& sink_;
    std::shared_ptr<CImageCreation> job_;
    platform::WindowId windowId_ = 0;
    QTimer timer_;
    QProgressBar* progress_;
    QLabel* elapsed_;
    QLabel* speed_;
    QLabel* outcome_;
    QPushButton* button_;
    bool done_ = false;
};

}  // namespace tl::ui
