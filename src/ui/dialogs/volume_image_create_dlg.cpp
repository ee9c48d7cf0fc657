#include "ui/dialogs/volume_image_create_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTime>
#include <QVBoxLayout>

#include "app/app_messages.h"
#include "app/text_format.h"
#include "platform/time.h"
#include "storage/image_creation.h"
#include "ui/main/qt_notification_sink.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"

namespace tl::ui {

CVolumeImage_CreateDlg::CVolumeImage_CreateDlg(CApp& app, CQtNotificationSink& sink,
                                               std::shared_ptr<CImageCreation> job, QWidget* parent)
    : QDialog(parent), app_(app), sink_(sink), job_(std::move(job)) {
    setWindowTitle(tr("Creating Drive Image"));
    setAccessibleName(windowTitle());
    setModal(true);
    windowId_ = sink_.RegisterWindow(this, [this](const platform::AppMessage& m) { return OnMessage(m); });
    job_->Window = windowId_;

    progress_ = new QProgressBar;
    progress_->setRange(0, 100);
    progress_->setAccessibleName(tr("Progress"));
    elapsed_ = ValueLabel(tr("Elapsed time"));
    speed_ = ValueLabel(tr("Transfer speed"));
    outcome_ = ValueLabel(tr("Outcome"));
    outcome_->setWordWrap(true);
    outcome_->hide();
    auto* form = new QFormLayout;
    QLabel* fileName = ValueLabel(tr("Image file name"), QString::fromStdString(job_->FileName));
    form->addRow(tr("Image file name:"), fileName);
    form->addRow(tr("Elapsed time:"), elapsed_);
    form->addRow(tr("Transfer speed:"), speed_);
    auto* buttons = new QDialogButtonBox;
    button_ = buttons->addButton(QDialogButtonBox::Cancel);
    connect(button_, &QPushButton::clicked, this, [this] { done_ ? accept() : reject(); });
    // The caption and the labels in the language's "CreateImageDialog" section.
    auto target = std::make_shared<CQtWindowTarget>(this);
    target->AddControl(1101, form->labelForField(fileName));
    target->AddControl(1102, form->labelForField(elapsed_));
    target->AddControl(1103, form->labelForField(speed_));
    target->AddControl(2, button_);
    app_.Languages().RegisterWindow("CreateImageDialog", target);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(progress_);
    layout->addWidget(outcome_);
    layout->addWidget(buttons);
    setMinimumWidth(460);

    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &CVolumeImage_CreateDlg::Tick);
    timer_.start();
    Tick();
}

CVolumeImage_CreateDlg::~CVolumeImage_CreateDlg() {
    Finish();
    sink_.UnregisterWindow(windowId_);
}

std::int64_t CVolumeImage_CreateDlg::OnMessage(const platform::AppMessage& message) {
    switch (message.id) {
    case msg::kImageChunkWritten:
        Tick();
        break;
    case msg::kImageWorkerDone:
        Done();
        break;
    case msg::kImageCreateFailed:
        QMessageBox::critical(this, windowTitle(), tr("Error"));
        reject();
        break;
    default:
        break;
    }
    return 0;
}

void CVolumeImage_CreateDlg::Tick() {
    progress_->setValue(job_->ProgressPercent());
    const std::uint64_t started = job_->StartTick.load();
    const std::uint64_t ms = started ? platform::TickCountMs() - started : 0;
    SetValue(elapsed_, QTime(0, 0).addMSecs(static_cast<int>(std::min<std::uint64_t>(ms, 86'399'999)))
                           .toString(QStringLiteral("hh:mm:ss")));
    // Nothing before the first chunk: no rate to tell yet.
    if (const std::uint64_t rate = job_->KilobytesPerSecond(); rate > 0)
        SetValue(speed_, QString::fromStdString(GroupedDigits(rate)) + QStringLiteral(" KB/s"));
}

void CVolumeImage_CreateDlg::Done() {
    if (done_) return;
    done_ = true;
    timer_.stop();
    Tick();
    const ImageOutcome outcome = job_->Outcome.load();
    if (outcome == ImageOutcome::Complete || outcome == ImageOutcome::SectorsMissing) progress_->setValue(100);
    QString text;
    if (outcome == ImageOutcome::SectorsMissing)
        text = tr("The image is incomplete: %1 sectors could not be read and are zeros in it.")
                   .arg(QString::fromStdString(GroupedDigits(job_->UnreadableSectors.load())));
    else if (outcome == ImageOutcome::Failed || outcome == ImageOutcome::Refused)
        text = tr("The image could not be written: %1").arg(QString::fromStdString(job_->Problem));
    else if (outcome == ImageOutcome::Stopped)
        text = tr("The copy was stopped: the image is incomplete.");
    if (!text.isEmpty()) {
        SetValue(outcome_, text);
        outcome_->show();
    }
    button_->setText(tr("OK"));
}

// Stops a copy still going and waits for its worker, which reads the job.
void CVolumeImage_CreateDlg::Finish() {
    timer_.stop();
    if (!job_->Ended()) {
        job_->Stop();
        job_->WaitForEnd(10000);
    }
}

void CVolumeImage_CreateDlg::reject() {
    Finish();
    QDialog::reject();
}

}  // namespace tl::ui
