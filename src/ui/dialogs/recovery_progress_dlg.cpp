#include "ui/dialogs/recovery_progress_dlg.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <memory>

#include "app/app.h"
#include "app/string_ids.h"
#include "filesystems/found_tree.h"
#include "recovery/recovery.h"
#include "storage/volume.h"
#include "ui/explorer/found_rows.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

constexpr int kTickMs = 250;

}  // namespace

CRecoveryProgressDlg::CRecoveryProgressDlg(CApp& app, CRecovery& recovery, bool opening, QWidget* parent)
    : QDialog(parent), app_(app), recovery_(recovery), opening_(opening) {
    setWindowTitle(tr("Recovering files..."));
    setAccessibleName(windowTitle());
    setModal(true);
    counter_ = ValueLabel(tr("Files"));
    file_ = ValueLabel(tr("Current file"));
    outcome_ = ValueLabel(tr("Outcome"));
    for (QLabel* label : {counter_, file_, outcome_}) label->setWordWrap(true);
    outcome_->hide();
    total_ = new QProgressBar;
    total_->setAccessibleName(tr("All files"));
    total_->setRange(0, std::max(1, static_cast<int>(recovery_.Items.size())));
    current_ = new QProgressBar;
    current_->setAccessibleName(tr("Current file progress"));
    current_->setRange(0, 100);
    auto* buttons = new QDialogButtonBox;
    abort_ = buttons->addButton(tr("Abort"), QDialogButtonBox::RejectRole);
    show_ = buttons->addButton(tr("Go to Recovered..."), QDialogButtonBox::ActionRole);
    ok_ = buttons->addButton(QDialogButtonBox::Ok);
    show_->hide();
    ok_->hide();
    connect(abort_, &QPushButton::clicked, this, &CRecoveryProgressDlg::reject);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(show_, &QPushButton::clicked, this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(app_.Settings().DestinationFolder())));
        accept();
    });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(counter_);
    layout->addWidget(total_);
    layout->addWidget(file_);
    layout->addWidget(current_);
    layout->addWidget(outcome_);
    layout->addWidget(buttons);
    setMinimumWidth(480);
    auto target = std::make_shared<CQtWindowTarget>(this);
    target->AddControl(1401, abort_);
    target->AddControl(1402, show_);
    app_.Languages().RegisterWindow("RecoveryProgressDialog", target);

    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &CRecoveryProgressDlg::Tick);
    timer_.start();
    Tick();
}

void CRecoveryProgressDlg::Tick() {
    const int count = static_cast<int>(recovery_.Items.size());
    const int done = std::min(recovery_.Current.load(), count);
    SetValue(counter_, tr("%1 of %2").arg(done).arg(count));
    total_->setValue(done);
    if (done < count && recovery_.Volume) {
        // The item's name and size, read as the tree holds them now.
        const CFoundObject item = recovery_.Volume->FoundTree().Snapshot(*recovery_.Items[static_cast<std::size_t>(done)]);
        SetValue(file_, ShownName(app_.Format(ids::kRecoveringItemWithSize, item.GetName(),
                                                           static_cast<std::int64_t>(item.Size))));
        current_->setValue(std::clamp(recovery_.CurrentPercent.load(), 0, 100));
    } else {
        SetValue(file_, QString());
        current_->setValue(100);
    }
    if (!recovery_.IsRunning()) Finish();
}

void CRecoveryProgressDlg::Finish() {
    if (finished_) return;
    finished_ = true;
    timer_.stop();
    recovery_.Running = 0;
    if (opening_) {
        // The copy is made and handed to its program (or the log says why not).
        QMetaObject::invokeMethod(this, &QDialog::accept, Qt::QueuedConnection);
        return;
    }
    total_->setValue(total_->maximum());
    current_->setValue(100);
    SetValue(file_, QString());
    // What did not come back, and why: nobody should take a skipped file for a recovered one.
    QString account = tr("%1 recovered, %2 skipped, %3 failed.")
                          .arg(recovery_.CompleteCount.load())
                          .arg(recovery_.SkippedCount.load())
                          .arg(recovery_.FailedCount.load());
    int listed = 0;
    for (const CRecovery::Failure& f : recovery_.Failures()) {
        if (++listed > 10) {
            account += QStringLiteral("\n...");
            break;
        }
        account += QStringLiteral("\n%1: %2").arg(ShownName(f.name), QString::fromStdString(f.reason));
    }
    SetValue(outcome_, account);
    outcome_->show();
    abort_->hide();
    ok_->show();
    show_->show();
    ok_->setDefault(true);
    ok_->setFocus();
}

void CRecoveryProgressDlg::reject() {
    if (finished_ || !recovery_.IsRunning()) {
        Finish();
        QDialog::reject();
        return;
    }
    if (app_.Settings().ConfirmRecoveryAbort() &&
        QMessageBox::question(this, Text(app_, ids::kConfirmation), Text(app_, ids::kConfirmStopRecovery)) !=
            QMessageBox::Yes)
        return;
    recovery_.Stop();
    // The worker ends after the chunk in hand; the run is over for the user now.
    recovery_.Wait(10000);
    timer_.stop();
    finished_ = true;
    QDialog::reject();
}

}  // namespace tl::ui
