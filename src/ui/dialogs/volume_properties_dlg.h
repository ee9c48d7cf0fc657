// The volume properties sheet "Volume Information": its General,
// Information and Capabilities pages, read from the core's description of
// the volume when the sheet opens. Each page is translated under its own
// language section.
#pragma once

#include <QDialog>

#include "app/app.h"

class QTabWidget;

namespace tl {
class CVolume;
}

namespace tl::ui {

class CVolumePropertiesDlg : public QDialog {
    Q_OBJECT
public:
    CVolumePropertiesDlg(CApp& app, CVolume& volume, QWidget* parent = nullptr);

private:
    QTabWidget* pages_;
};

}  // namespace tl::ui
