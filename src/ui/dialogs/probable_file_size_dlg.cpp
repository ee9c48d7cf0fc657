#include "ui/dialogs/probable_file_size_dlg.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include <memory>

#include "app/app.h"
#include "app/string_ids.h"
#include "app/text_format.h"
#include "filesystems/found_tree.h"
#include "signatures/document_recognisers.h"
#include "storage/volume.h"
#include "ui/explorer/found_rows.h"
#include "ui/main/qt_translation.h"
#include "ui/main/ui_text.h"

namespace tl::ui {
namespace {

constexpr std::uint64_t kUnitFactors[] = {1, 1024, 1048576, 1073741824};

// A size in KB with its digits grouped, as the dialog tells each choice.
QString Kilobytes(const CApp& app, std::uint64_t bytes) {
    return QString::fromStdString(GroupedDigits(bytes / 1024)) + QLatin1Char(' ') + Text(app, ids::kKBytes);
}

QLabel* Plain(const QString& text) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);  // names and types come from the disk
    return label;
}

}  // namespace

CProbableFileSizeDlg::CProbableFileSizeDlg(CApp& app, const CFoundObject& record, const QString& typeName,
                                           QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("Enter probable file size"));
    setAccessibleName(windowTitle());
    auto target = std::make_shared<CQtWindowTarget>(this);
    const auto control = [&](int id, QWidget* w) {
        target->AddControl(id, w);
        return w;
    };

    auto* intro = Plain(tr("The file of the '%1' type is found, but its attributes such as name, parent folder, size, "
                           "security settings, etc. are lost. We tried to determine its size by its content, but did "
                           "not succeed. We don't know the exact size of this particular file.")
                            .arg(typeName));
    intro->setWordWrap(true);
    auto* facts = new QFormLayout;
    const auto fact = [&](int labelId, const QString& label, const QString& value) {
        control(labelId, AddValueRow(facts, label, value));
    };
    fact(1303, tr("Offset:"), QString::number(record.DataOffset));
    fact(1304, tr("Name:"), ShownName(record.Name));
    fact(1305, tr("Type:"), typeName);
    fact(1306, tr("Condition:"), Text(app, record.IsDeleted() ? ids::kConditionDeleted : ids::kConditionLive));

    // What each choice gives, from the tree the file belongs to.
    std::uint64_t byDefault = 0, nextAny = 0, nextSame = 0;
    if (record.Volume) {
        const CFoundTree& tree = record.Volume->FoundTree();
        byDefault = SizeByChoice(record, SizeChoice::DefaultSize, 0, tree, &app.Signatures());
        nextAny = SizeByChoice(record, SizeChoice::NextAnyType, 0, tree, &app.Signatures());
        nextSame = SizeByChoice(record, SizeChoice::NextSameType, 0, tree, &app.Signatures());
    }
    auto* sizeBox = new QGroupBox(tr(" File size: "));
    control(1307, sizeBox);
    auto* sizeGrid = new QGridLayout(sizeBox);
    choices_ = new QButtonGroup(this);
    const auto choice = [&](int id, int number, const QString& text, QWidget* value) {
        auto* radio = new QRadioButton(text);
        control(id, radio);
        choices_->addButton(radio, number);
        sizeGrid->addWidget(radio, number - 1, 0);
        sizeGrid->addWidget(value, number - 1, 1);
    };
    choice(1087, 1, tr("The default file size for this file type is:"), Plain(Kilobytes(app, byDefault)));
    choice(1088, 2, tr("Distance to the next file of any type:"), Plain(Kilobytes(app, nextAny)));
    choice(1123, 3, tr("Distance to the next file of the same type:"), Plain(Kilobytes(app, nextSame)));
    size_ = new QLineEdit;
    size_->setAccessibleName(tr("Custom size"));
    // Digits only: 20 of them hold every 64-bit size; the rest is checked on OK.
    size_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{1,20}")), size_));
    unit_ = new QComboBox;
    unit_->addItems({QStringLiteral("  B"), QStringLiteral(" KB"), QStringLiteral(" MB"), QStringLiteral(" GB")});
    unit_->setAccessibleName(tr("Unit"));
    auto* custom = new QWidget;
    auto* customRow = new QHBoxLayout(custom);
    customRow->setContentsMargins(0, 0, 0, 0);
    customRow->addWidget(size_, 1);
    customRow->addWidget(unit_);
    choice(1124, 4, tr("Custom size:"), custom);
    choices_->button(3)->setChecked(true);

    auto* scopeBox = new QGroupBox(tr(" Use the selection above for: "));
    control(1308, scopeBox);
    auto* scopeRow = new QVBoxLayout(scopeBox);
    scopes_ = new QButtonGroup(this);
    const auto scope = [&](int id, int number, const QString& text) {
        auto* radio = new QRadioButton(text);
        control(id, radio);
        scopes_->addButton(radio, number);
        scopeRow->addWidget(radio);
    };
    scope(1122, 0, tr("This file only"));
    scope(1085, 1, tr("All files of this type"));
    scope(1086, 2, tr("All files of any type"));
    scopes_->button(1)->setChecked(true);

    auto* buttons = new QDialogButtonBox;
    ok_ = buttons->addButton(QDialogButtonBox::Ok);
    QPushButton* skip = buttons->addButton(tr("Skip File"), QDialogButtonBox::DestructiveRole);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    control(1, ok_);
    control(2, cancel);
    control(5, skip);
    control(1228, intro);
    connect(ok_, &QPushButton::clicked, this, [this] {
        button_ = kOk;
        accept();
    });
    connect(skip, &QPushButton::clicked, this, [this] {
        button_ = kSkipFile;
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, &CProbableFileSizeDlg::reject);
    connect(choices_, &QButtonGroup::idClicked, this, &CProbableFileSizeDlg::Follow);
    connect(size_, &QLineEdit::textChanged, this, &CProbableFileSizeDlg::Follow);
    connect(unit_, &QComboBox::currentIndexChanged, this, &CProbableFileSizeDlg::Follow);

    auto* information = new QLabel(tr("Information about the file found:"));
    control(1302, information);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(information);
    layout->addLayout(facts);
    layout->addWidget(sizeBox);
    layout->addWidget(scopeBox);
    layout->addWidget(buttons);
    setMinimumWidth(560);
    app.Languages().RegisterWindow("ProbableFileSize", target);
    Follow();
}

// The custom size is typed only when it is chosen, and OK waits for a size that fits.
void CProbableFileSizeDlg::Follow() {
    const bool custom = Choice() == 4;
    size_->setEnabled(custom);
    unit_->setEnabled(custom);
    ok_->setEnabled(!custom || CustomSize().has_value());
}

int CProbableFileSizeDlg::Choice() const { return std::max(1, choices_->checkedId()); }
int CProbableFileSizeDlg::Scope() const { return std::max(0, scopes_->checkedId()); }

std::optional<std::uint64_t> CProbableFileSizeDlg::CustomSize() const {
    bool ok = false;
    const qulonglong value = size_->text().toULongLong(&ok);
    if (!ok || value == 0) return std::nullopt;
    const std::uint64_t factor = kUnitFactors[std::clamp(unit_->currentIndex(), 0, 3)];
    if (value > ~std::uint64_t{0} / factor) return std::nullopt;
    return static_cast<std::uint64_t>(value) * factor;
}

std::string CProbableFileSizeDlg::Reply() const {
    return std::to_string(button_) + ' ' + std::to_string(Choice()) + ' ' + std::to_string(Scope()) + ' ' +
           std::to_string(CustomSize().value_or(0));
}

void CProbableFileSizeDlg::reject() {
    button_ = kCancel;
    QDialog::reject();
}

}  // namespace tl::ui
