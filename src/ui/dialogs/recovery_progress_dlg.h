// "Recovering files...": the run's progress, polled every 250 ms from the
// engine: the files done of the total, the current file with its own bar.
// Abort stops the run (after the confirmation when asked for); at the end
// OK and "Go to Recovered..." (the destination in the file manager) appear,
// with the account of what did not come back.
#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

namespace tl {
class CApp;
class CRecovery;
}

namespace tl::ui {

class CRecoveryProgressDlg : public QDialog {
    Q_OBJECT
public:
    // In opening mode the dialog closes by itself when the copy is made.
    CRecoveryProgressDlg(CApp& app, CRecovery& recovery, bool opening = false, QWidget* parent = nullptr);
    // Closing the window asks as Abort does while the run goes on.
    void reject() override;

private:
    void Tick();
    void Finish();

    CApp& app_;
    CRecovery& recovery_;
    QTimer timer_;
    QLabel* counter_;
    QLabel* file_;
    QLabel* outcome_;
    QProgressBar* total_;
    QProgressBar* current_;
    QPushButton* abort_;
    QPushButton* ok_;
    QPushButton* show_;
    bool finished_ = false;
    bool opening_ = false;
};

}  // namespace tl::ui
