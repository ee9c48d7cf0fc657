#include "ui/explorer/search_bar_view.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <memory>

#include "app/app.h"
#include "app/find_criteria.h"
#include "ui/main/qt_translation.h"

namespace tl::ui {

CSearchBarView::CSearchBarView(CApp& app, QWidget* parent) : QWidget(parent) {
    setAccessibleName(tr("Find bar"));
    auto* label = new QLabel(tr("Name:"));
    name_ = new QLineEdit(QStringLiteral("*"));
    name_->setMaxLength(2047);
    name_->setAccessibleName(tr("Name to find"));
    // The field keeps its fuller name for screen readers: as the label's
    // buddy it would be renamed after the label by every translation.
    deletedOnly_ = new QCheckBox(tr("Search for deleted files only"));
    filesOnly_ = new QCheckBox(tr("Ignore folders (search for files only)"));
    deletedOnly_->setChecked(true);
    filesOnly_->setChecked(true);
    auto* search = new QPushButton(tr("Search"));
    auto* cancel = new QPushButton(tr("Cancel"));
    search->setDefault(true);
    // Two rows, so the bar never widens the window: the name and the
    // buttons, then the switches.
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(label, 0, 0);
    layout->addWidget(name_, 0, 1);
    layout->addWidget(search, 0, 2);
    layout->addWidget(cancel, 0, 3);
    auto* switches = new QHBoxLayout;
    switches->addWidget(deletedOnly_);
    switches->addWidget(filesOnly_);
    switches->addStretch();
    layout->addLayout(switches, 1, 1, 1, 3);
    auto target = std::make_shared<CQtWindowTarget>(this);
    int id = 1801;
    for (QWidget* w : std::initializer_list<QWidget*>{label, deletedOnly_, filesOnly_, search, cancel})
        target->AddControl(id++, w);
    app.Languages().RegisterWindow("SearchBar", target);
    layout->setColumnStretch(1, 1);
    connect(search, &QPushButton::clicked, this, &CSearchBarView::SearchRequested);
    connect(name_, &QLineEdit::returnPressed, this, &CSearchBarView::SearchRequested);
    connect(cancel, &QPushButton::clicked, this, &CSearchBarView::CloseRequested);
}

void CSearchBarView::Store(FindCriteria& criteria) const {
    criteria.SetPattern(name_->text().toStdString());
    criteria.DeletedOnly = deletedOnly_->isChecked() ? 1 : 0;
    criteria.FilesOnly = filesOnly_->isChecked() ? 1 : 0;
}

void CSearchBarView::FocusName() {
    name_->setFocus();
    name_->selectAll();
}

}  // namespace tl::ui
