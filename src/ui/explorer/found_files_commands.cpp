#include "ui/explorer/found_files_commands.h"

#include <QApplication>
#include <QDialog>

#include <memory>

#include "app/app.h"
#include "app/event_log.h"
#include "app/string_ids.h"
#include "filesystems/found_tree.h"
#include "platform/notify.h"
#include "recovery/recovery.h"
#include "signatures/document_recognisers.h"
#include "storage/local_computer.h"
#include "storage/volume.h"
#include "ui/dialogs/file_information_dlg.h"
#include "ui/dialogs/filters_view.h"
#include "ui/dialogs/on_recovery_dlg.h"
#include "ui/dialogs/probable_file_size_dlg.h"
#include "ui/dialogs/recovery_progress_dlg.h"
#include "ui/dialogs/try_open_dlg.h"
#include "ui/explorer/files_list_view.h"
#include "ui/explorer/files_tree_view.h"
#include "ui/explorer/volume_explore_view.h"

namespace tl::ui {
namespace {

// The choice of the probable-size question that sizes a file by its type's rule.
constexpr std::int32_t kSizeByDefaultRule = 1;

// Sizes are given to files; a folder's size is what it holds.
std::vector<CFoundObject*> SelectedNonFolders(const CVolumeExploreView& view) {
    std::vector<CFoundObject*> files = view.SelectedFiles();
    std::erase_if(files, [](const CFoundObject* r) { return r->IsFolder(); });
    return files;
}

}  // namespace

CFoundFilesCommands::CFoundFilesCommands(CApp& app, CVolumeExploreView& view, QWidget* window, std::function<bool()> busy)
    : QObject(window), app_(app), view_(view), window_(window), busy_(std::move(busy)) {}

int CFoundFilesCommands::Recover() {
    const std::shared_ptr<CVolume> volume = view_.SharedVolume();
    if (!volume || busy_()) return -1;
    const std::vector<CFoundObject*> chosen = view_.FilesToRecover();
    if (chosen.empty()) {
        app_.Computer().Log().LogError(app_.GetString(ids::kRecoveryListEmpty));
        return -1;
    }
    COnRecoveryDlg where(app_, *volume, window_);
    if (where.exec() != QDialog::Accepted) return -1;
    return RunRecovery(chosen, false);
}

int CFoundFilesCommands::RecoverUnattended(const std::vector<CFoundObject*>& files) {
    if (!view_.SharedVolume() || busy_() || files.empty()) return -1;
    return RunRecovery(files, true);
}

int CFoundFilesCommands::RunRecovery(const std::vector<CFoundObject*>& chosen, bool unattended) {
    const std::shared_ptr<CVolume> volume = view_.SharedVolume();
    CEventLog& log = app_.Computer().Log();
    CRecovery recovery(RecoveryContext{&app_.Settings(), &log, &app_.Languages(), &app_.Signatures()});
    log.LogInfo(app_.GetString(ids::kCreatingRecoveryList));
    if (recovery.BuildRecoveryList(chosen, volume->FoundTree()) == 0) {
        log.LogError(app_.GetString(ids::kRecoveryListEmpty));
        return -1;
    }
    if (unattended) recovery.SizeChoiceForAll = kSizeByDefaultRule;
    log.LogInfo(app_.GetString(ids::kRecoveryStarted));
    if (!recovery.StartRecovery(*volume, app_.Settings().DestinationFolder())) return -1;
    CRecoveryProgressDlg progress(app_, recovery, false, window_);
    progress.exec();
    recovery.Stop();
    recovery.Wait(30000);
    return recovery.RecoveredCount.load();
}

void CFoundFilesCommands::TryToOpen() {
    const std::shared_ptr<CVolume> volume = view_.SharedVolume();
    if (!volume || busy_()) return;
    std::vector<CFoundObject*> selected = view_.SelectedFiles();
    CRecovery& opening = app_.Computer().Opening();
    if (selected.empty() || opening.IsRunning() || opening.BuildRecoveryList(selected, volume->FoundTree()) == 0) return;
    if (app_.Settings().GetU32(AppSettings::kNoTryOpenWarning) == 0) {
        CDlgTryOpen warning(app_, window_);
        if (warning.exec() != QDialog::Accepted) return;
    }
    if (!opening.StartOpening(*volume)) return;
    CRecoveryProgressDlg progress(app_, opening, true, window_);
    progress.exec();
    opening.Wait(30000);
}

void CFoundFilesCommands::ShowInformation() {
    CFoundObject* stored = view_.CurrentFile();
    const std::shared_ptr<CVolume> volume = view_.SharedVolume();
    CFoundObject record;
    if (!stored || !volume || !view_.ListView()->Model()->Copy(view_.ListView()->currentIndex().row(), record)) return;
    CFileInformationDlg dialog(app_, *volume, record, *stored, window_);
    dialog.exec();
}

void CFoundFilesCommands::ResetSize() {
    CFoundTree* tree = view_.TreeView()->Model()->Tree();
    if (!tree || busy_()) return;
    for (CFoundObject* record : SelectedNonFolders(view_)) tree->SetSize(*record, CFoundObject::kUnknownSize);
    view_.Repaint();
}

void CFoundFilesCommands::SetNewSize() {
    CFoundTree* tree = view_.TreeView()->Model()->Tree();
    const std::vector<CFoundObject*> files = SelectedNonFolders(view_);
    if (!tree || files.empty()) return;
    const CFoundObject first = tree->Snapshot(*files.front());
    CProbableFileSizeDlg question(app_, first, QString::fromStdString(tree->GetTypeName(first)), window_);
    question.exec();
    if (question.Result() != CProbableFileSizeDlg::kOk) return;
    const auto choice = static_cast<SizeChoice>(question.Choice());
    const std::uint64_t custom = question.CustomSize().value_or(0);
    for (CFoundObject* record : files)
        tree->SetSize(*record, SizeByChoice(tree->Snapshot(*record), choice, custom, *tree, &app_.Signatures()));
    view_.Repaint();
}

void CFoundFilesCommands::ShowFilters() {
    CFiltersView sheet(app_, window_);
    if (sheet.exec() == QDialog::Accepted) view_.Refill();
}

std::int64_t CFoundFilesCommands::AnswerProbableSize(CApp& app, const platform::AppMessage& message, QWidget* window) {
    // Asked by the recovery worker, which waits for the reply.
    const auto* record = reinterpret_cast<const CFoundObject*>(static_cast<std::uintptr_t>(message.wparam));
    if (!record || !message.reply) return 0;
    QWidget* over = QApplication::activeModalWidget();
    CProbableFileSizeDlg question(app, *record, QString::fromStdString(message.text), over ? over : window);
    question.exec();
    *message.reply = question.Reply();
    return 1;
}

}  // namespace tl::ui
