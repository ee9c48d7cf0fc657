#include "ui/hexview/hex_editor_pane.h"

#include <QLabel>
#include <QVBoxLayout>

#include "ui/hexview/hex_editor_ctrl.h"
#include "ui/main/ui_text.h"

namespace tl::ui {

CHexEditor_Pane::CHexEditor_Pane(const QString& title, QWidget* parent) : QWidget(parent) {
    title_ = PaneTitle();
    editor_ = new CHexEditorCtrl;
    title_->setBuddy(editor_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(title_);
    layout->addWidget(editor_, 1);
    SetTitle(title);
}

void CHexEditor_Pane::SetTitle(const QString& title) {
    title_->setText(title);
    editor_->setAccessibleName(title);
    setAccessibleName(title);
}

}  // namespace tl::ui
