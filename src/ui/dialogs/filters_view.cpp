#include "ui/dialogs/filters_view.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <memory>

#include "app/app.h"
#include "app/filter_settings.h"
#include "platform/time.h"
#include "signatures/file_signature.h"
#include "signatures/signature_database.h"
#include "storage/local_computer.h"
#include "ui/common/file_type_tree.h"
#include "ui/main/qt_translation.h"

namespace tl::ui {
namespace {

// A date picker's day as a file time (its start, local), and back.
platform::FileTime FileTimeOf(const QDate& date) {
    return platform::FromUnix(date.startOfDay().toSecsSinceEpoch());
}

QDate DateOf(platform::FileTime time, const QDate& fallback) {
    if (time == 0 || time == ~platform::FileTime{0}) return fallback;
    const QDateTime at = QDateTime::fromSecsSinceEpoch(platform::ToUnix(time).seconds);
    return at.isValid() ? at.date() : fallback;
}

}  // namespace

CFiltersView::CFiltersView(CApp& app, QWidget* parent) : QDialog(parent), app_(app) {
    setWindowTitle(tr("Filters"));
    setAccessibleName(windowTitle());
    const FilterSettings& f = app_.Computer().Filter();

    auto* general = new QWidget;
    deletedOnly_ = new QCheckBox(tr("Show deleted files only"));
    useWildcard_ = new QCheckBox(tr("Show folders and files filtered by wildcards:"));
    wildcard_ = new QLineEdit(QString::fromStdString(f.Wildcard()));
    wildcard_->setMaxLength(255);
    wildcard_->setAccessibleName(tr("Wildcard"));
    useDate_ = new QCheckBox(tr("Date:"));
    from_ = new QDateEdit(DateOf(f.DateFrom(), QDate(1980, 1, 1)));
    to_ = new QDateEdit(DateOf(f.DateTo(), QDate::currentDate()));
    for (QDateEdit* d : {from_, to_}) d->setCalendarPopup(true);
    from_->setAccessibleName(tr("Between"));
    to_->setAccessibleName(tr("and"));
    deletedOnly_->setChecked(f.DeletedOnly());
    useWildcard_->setChecked(f.UseWildcard());
    useDate_->setChecked(f.UseDate());
    auto* dates = new QFormLayout;
    auto* between = new QLabel(tr("Between:"));
    auto* andLabel = new QLabel(tr("and:"));
    between->setBuddy(from_);
    andLabel->setBuddy(to_);
    dates->addRow(between, from_);
    dates->addRow(andLabel, to_);
    dates->setContentsMargins(20, 0, 0, 0);
    auto* g = new QVBoxLayout(general);
    g->addWidget(deletedOnly_);
    g->addWidget(useWildcard_);
    g->addWidget(wildcard_);
    g->addWidget(useDate_);
    g->addLayout(dates);
    g->addStretch();

    auto* typesPage = new QWidget;
    allTypes_ = new QRadioButton(tr("Show all files"));
    knownTypes_ = new QRadioButton(tr("Show only known file types"));
    customTypes_ = new QRadioButton(tr("Custom:"));
    types_ = new CFileTypeTree(app_, tr("File types shown"));
    types_->Load(app_.Signatures(), &FileSignature::ShowFilesThisType);
    const std::uint32_t mode = f.TypeMode();
    (mode == FilterSettings::kKnownTypes ? knownTypes_ : mode == FilterSettings::kCheckedTypes ? customTypes_ : allTypes_)
        ->setChecked(true);
    auto* t = new QVBoxLayout(typesPage);
    t->addWidget(allTypes_);
    t->addWidget(knownTypes_);
    t->addWidget(customTypes_);
    t->addWidget(types_, 1);

    auto* pages = new QTabWidget;
    pages->addTab(general, tr("General"));
    pages->addTab(typesPage, tr("File Types"));
    pages->setAccessibleName(windowTitle());
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CFiltersView::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages);
    layout->addWidget(buttons);
    resize(480, 520);

    for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{useWildcard_, useDate_, allTypes_, knownTypes_, customTypes_})
        connect(b, &QAbstractButton::toggled, this, &CFiltersView::Follow);
    Follow();

    auto target = std::make_shared<CQtWindowTarget>(this);
    int id = 1701;
    for (QWidget* w : std::initializer_list<QWidget*>{deletedOnly_, useWildcard_, useDate_, between, andLabel, allTypes_,
                                                      knownTypes_, customTypes_})
        target->AddControl(id++, w);
    target->AddControl(1, buttons->button(QDialogButtonBox::Ok));
    target->AddControl(2, buttons->button(QDialogButtonBox::Cancel));
    app_.Languages().RegisterWindow("Filters", target);
    // The pages are named by their tabs.
    app_.Languages().RegisterWindow("Filters.General", std::make_shared<CQtWindowTarget>(pages, general));
    app_.Languages().RegisterWindow("Filters.FileTypes", std::make_shared<CQtWindowTarget>(pages, typesPage));
}

// Each field is enabled only while its switch is on.
void CFiltersView::Follow() {
    wildcard_->setEnabled(useWildcard_->isChecked());
    from_->setEnabled(useDate_->isChecked());
    to_->setEnabled(useDate_->isChecked());
    types_->setEnabled(customTypes_->isChecked());
}

void CFiltersView::accept() {
    FilterSettings& f = app_.Computer().Filter();
    f.SetDeletedOnly(deletedOnly_->isChecked());
    f.SetUseWildcard(useWildcard_->isChecked());
    f.SetWildcard(wildcard_->text().toStdString());
    f.SetUseDate(useDate_->isChecked());
    // The range holds whole days: from the start of the first to the end of the last.
    f.SetDateFrom(FileTimeOf(from_->date()));
    f.SetDateTo(FileTimeOf(to_->date().addDays(1)) - 1);
    f.SetTypeMode(knownTypes_->isChecked()    ? FilterSettings::kKnownTypes
                  : customTypes_->isChecked() ? FilterSettings::kCheckedTypes
                                              : FilterSettings::kAllFiles);
    if (types_->Store(app_.Signatures(), &FileSignature::ShowFilesThisType)) app_.Signatures().SaveAll();
    QDialog::accept();
}

}  // namespace tl::ui
