#include "ui/dialogs/file_information_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <memory>
#include <vector>

#include "app/app.h"
#include "app/string_ids.h"
#include "app/text_format.h"
#include "filesystems/file_system.h"
#include "filesystems/found_file_reader.h"
#include "filesystems/found_tree.h"
#include "recovery/recoverability.h"
#include "signatures/file_signature.h"
#include "signatures/signature_database.h"
#include "storage/volume.h"
#include "ui/explorer/found_rows.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

// A size in bytes with its digits grouped, and in words past 1024 bytes.
QString BytesText(const CApp& app, const CFoundObject& record) {
    if (record.Size == CFoundObject::kUnknownSize) return Text(app, ids::kUnknown);
    QString text = QString::fromStdString(GroupedDigits(record.Size)) + QLatin1Char(' ') + Text(app, ids::kBytes);
    if (record.Size > 1024) text += QStringLiteral(" (%1)").arg(SizeText(record, app));
    return text;
}

QString Signed(std::uint64_t id) { return QString::number(static_cast<std::int64_t>(id)); }

}  // namespace

CFileInformationDlg::CFileInformationDlg(CApp& app, CVolume& volume, const CFoundObject& record,
                                         const CFoundObject& stored, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("File Information"));
    setAccessibleName(windowTitle());
    CFoundTree& tree = volume.FoundTree();

    // The runs its content is read from, and those of the file system's clusters.
    std::vector<SECTOR_RUN> sectors;
    CFoundFileReader reader;
    if (!record.IsFolder() && reader.Open(record)) reader.BuildRuns(sectors);
    std::uint64_t onDisk = 0;
    for (const SECTOR_RUN& r : sectors) onDisk += r.SectorCount * 512;
    std::vector<CLUSTER_RUN> clusters;
    if (!record.IsFolder() && !(record.Flags & FO_BY_SIGNATURE)) volume.FileSystem().BuildClusterRuns(record, clusters);

    QString signature;
    if (record.TypeId != 0)
        if (const FileSignature* type = app.Signatures().FindById(static_cast<std::uint16_t>(record.TypeId)))
            signature = QString::fromStdString(type->DisplayTitle());
    QString status = Text(app, record.IsDeleted() ? ids::kConditionDeleted : ids::kConditionLive);
    if (record.Flags & FO_BY_SIGNATURE) status += tr(", found by its signature");
    const std::string verdict = ExplainRecoverability(volume, record);
    if (!verdict.empty()) status += QStringLiteral(": ") + QString::fromStdString(verdict);

    auto target = std::make_shared<CQtWindowTarget>(this);
    auto* form = new QFormLayout;
    int id = 1501;
    const auto row = [&](const QString& label, const QString& value) {
        target->AddControl(id++, AddValueRow(form, label, value));
    };
    row(tr("Status:"), status);
    row(tr("Id:"), Signed(record.Id));
    row(tr("Parent Id:"), Signed(record.ParentId));
    row(tr("Offset:"), QString::fromStdString(GroupedDigits(record.DataOffset)));
    row(tr("Type:"), QString::fromStdString(tree.GetTypeName(record)));
    // The folder chain as a Linux user writes paths.
    row(tr("Location:"), ShownName(tree.GetFullPath(stored) + record.Name).replace(QLatin1Char('\\'), QLatin1Char('/')));
    row(tr("Size:"), BytesText(app, record));
    row(tr("Size on disk:"), sectors.empty() ? QString()
                                             : QString::fromStdString(GroupedDigits(onDisk)) + QLatin1Char(' ') +
                                                   Text(app, ids::kBytes));
    row(tr("Created time:"), FileTimeText(record.CreationTime));
    row(tr("Modified time:"), FileTimeText(record.ModificationTime));
    row(tr("Accessed time:"), FileTimeText(record.AccessTime));
    row(tr("Signature:"), signature);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    QPushButton* sectorList = buttons->addButton(tr("Sectors List"), QDialogButtonBox::ActionRole);
    QPushButton* clusterList = buttons->addButton(tr("Clusters List"), QDialogButtonBox::ActionRole);
    sectorList->setEnabled(!sectors.empty());
    clusterList->setEnabled(!clusters.empty());
    target->AddControl(1521, sectorList);
    target->AddControl(1522, clusterList);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(sectorList, &QPushButton::clicked, this, [this, sectors] {
        QList<QStringList> rows;
        for (const SECTOR_RUN& r : sectors)
            rows.push_back({QString::number(r.FirstSector), QString::number(r.SectorCount)});
        ShowRuns(tr("Sectors List"), {tr("First sector"), tr("Sectors")}, rows);
    });
    connect(clusterList, &QPushButton::clicked, this, [this, clusters] {
        QList<QStringList> rows;
        for (const CLUSTER_RUN& r : clusters)
            rows.push_back({r.FirstCluster == kSparseRunStart ? tr("(sparse)") : QString::number(r.FirstCluster),
                            QString::number(r.ClusterCount)});
        ShowRuns(tr("Clusters List"), {tr("First cluster"), tr("Clusters")}, rows);
    });
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    setMinimumWidth(480);
    app.Languages().RegisterWindow("FileInformation", target);
}

void CFileInformationDlg::ShowRuns(const QString& title, const QStringList& header, const QList<QStringList>& rows) {
    QDialog list(this);
    list.setWindowTitle(title);
    list.setAccessibleName(title);
    auto* runs = new QTreeWidget;
    runs->setAccessibleName(title);
    runs->setRootIsDecorated(false);
    runs->setHeaderLabels(header);
    for (const QStringList& r : rows) new QTreeWidgetItem(runs, r);
    runs->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, &list, &QDialog::reject);
    auto* layout = new QVBoxLayout(&list);
    layout->addWidget(runs);
    layout->addWidget(buttons);
    list.resize(360, 320);
    list.exec();
}

}  // namespace tl::ui
