#include "ui/dialogs/volume_properties_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

#include <memory>
#include <utility>
#include <vector>

#include "app/string_ids.h"
#include "storage/volume.h"
#include "storage/volume_info.h"
#include "ui/main/found_icons.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

// A row's label, its control identifier in the page's language section (0:
// a text of the core's, translated already) and its value.
struct Row {
    int id;
    QString label, value;
};
using Rows = std::vector<Row>;

// A page of label and value rows; each value is selectable, and named by
// its label for screen readers. The labels join `target`.
void FillPage(QWidget* page, const QIcon& icon, const Rows& rows, CQtWindowTarget& target) {
    auto* form = new QFormLayout(page);
    auto* picture = new QLabel;
    picture->setPixmap(icon.pixmap(48, 48));
    picture->setAccessibleName(QStringLiteral("Drive icon"));
    form->addRow(picture);
    for (const auto& [id, label, value] : rows) {
        QLabel* caption = AddValueRow(form, label, value);
        if (id != 0) target.AddControl(id, caption);
    }
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CVolumePropertiesDlg::CVolumePropertiesDlg(CApp& app, CVolume& volume, QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(app, ids::kVolumeInformation));
    setAccessibleName(windowTitle());
    const VolumeProperties p = GetVolumeProperties(volume, &app.Languages());
    const QIcon icon = FoundIcon(VolumeIconIndex(volume));

    Rows general{{1201, tr("Name:"), Q(p.name)},
                 {1202, tr("FileSystem:"), Q(p.fileSystem)},
                 {1203, tr("Status:"), Q(p.status)},
                 {1204, tr("Label:"), Q(p.label)},
                 {1205, tr("S/N:"), Q(p.serial)}};
    // The sizes only when there is one to tell.
    if (!p.totalSpace.empty()) general.push_back({1206, tr("Total Space:"), Q(p.totalSpace)});
    if (!p.freeSpace.empty()) general.push_back({1207, tr("Free Space:"), Q(p.freeSpace)});
    const Rows information{{1211, tr("Offset from Pysical:"), QString::number(p.offsetFromPhysical)},
                           {1212, tr("Sectors per Cluster:"), QString::number(p.sectorsPerCluster)},
                           {1213, tr("Bytes per Sector:"), QString::number(p.bytesPerSector)},
                           {1214, tr("Bytes per Cluster:"), QString::number(p.bytesPerCluster)}};
    Rows capabilities;
    for (const auto& [label, value] : p.capabilities) capabilities.push_back({0, Q(label), Q(value)});

    pages_ = new QTabWidget;
    pages_->setAccessibleName(windowTitle());
    const std::pair<unsigned, const char*> sections[] = {{ids::kPageGeneral, "VolumeInformation.General"},
                                                         {ids::kPageInformation, "VolumeInformation.Information"},
                                                         {ids::kPageCapabilities, "VolumeInformation.Capabilities"}};
    const Rows* rows[] = {&general, &information, &capabilities};
    for (int i = 0; i < 3; ++i) {
        auto* page = new QWidget;
        pages_->addTab(page, Text(app, sections[i].first));
        auto target = std::make_shared<CQtWindowTarget>(pages_, page);
        FillPage(page, icon, *rows[i], *target);
        app.Languages().RegisterWindow(sections[i].second, target);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_);
    layout->addWidget(buttons);
}

}  // namespace tl::ui
