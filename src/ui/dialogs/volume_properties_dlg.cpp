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
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

using Rows = std::vector<std::pair<QString, QString>>;

// A page of label and value rows; each value is selectable, and named by
// its label for screen readers.
QWidget* MakePage(const QIcon& icon, const Rows& rows) {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    auto* picture = new QLabel;
    picture->setPixmap(icon.pixmap(48, 48));
    picture->setAccessibleName(QStringLiteral("Drive icon"));
    form->addRow(picture);
    for (const auto& [label, value] : rows) {
        auto* shown = new QLabel(value);
        shown->setTextFormat(Qt::PlainText);  // labels and names come from the disk
        shown->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        shown->setAccessibleName(QString(label).remove(QLatin1Char(':')));
        shown->setAccessibleDescription(value);
        form->addRow(label, shown);
    }
    return page;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CVolumePropertiesDlg::CVolumePropertiesDlg(CApp& app, CVolume& volume, QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(app, ids::kVolumeInformation));
    setAccessibleName(windowTitle());
    const VolumeProperties p = GetVolumeProperties(volume, &app.Languages());
    const QIcon icon = ThemeIcon(volume.Kind == VK_IMAGE ? "media-optical" : "drive-harddisk",
                                 volume.Kind == VK_IMAGE ? QStyle::SP_DriveCDIcon : QStyle::SP_DriveHDIcon);

    Rows general{{tr("Name:"), Q(p.name)},
                 {tr("FileSystem:"), Q(p.fileSystem)},
                 {tr("Status:"), Q(p.status)},
                 {tr("Label:"), Q(p.label)},
                 {tr("S/N:"), Q(p.serial)}};
    // The sizes only when there is one to tell.
    if (!p.totalSpace.empty()) general.emplace_back(tr("Total Space:"), Q(p.totalSpace));
    if (!p.freeSpace.empty()) general.emplace_back(tr("Free Space:"), Q(p.freeSpace));
    const Rows information{{tr("Offset from Pysical:"), QString::number(p.offsetFromPhysical)},
                           {tr("Sectors per Cluster:"), QString::number(p.sectorsPerCluster)},
                           {tr("Bytes per Sector:"), QString::number(p.bytesPerSector)},
                           {tr("Bytes per Cluster:"), QString::number(p.bytesPerCluster)}};
    Rows capabilities;
    for (const auto& [label, value] : p.capabilities) capabilities.emplace_back(Q(label), Q(value));

    pages_ = new QTabWidget;
    pages_->setAccessibleName(windowTitle());
    const std::pair<unsigned, const char*> sections[] = {{ids::kPageGeneral, "VolumeInformation.General"},
                                                         {ids::kPageInformation, "VolumeInformation.Information"},
                                                         {ids::kPageCapabilities, "VolumeInformation.Capabilities"}};
    const Rows* rows[] = {&general, &information, &capabilities};
    for (int i = 0; i < 3; ++i) {
        pages_->addTab(MakePage(icon, *rows[i]), Text(app, sections[i].first));
        app.Languages().RegisterWindow(sections[i].second, std::make_shared<CQtTabTarget>(pages_, i));
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_);
    layout->addWidget(buttons);
}

}  // namespace tl::ui
