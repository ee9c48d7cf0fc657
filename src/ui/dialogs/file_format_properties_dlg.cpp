#include "ui/dialogs/file_format_properties_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <optional>

#include "app/app.h"
#include "signatures/signature_database.h"
#include "storage/analysis_busy.h"
#include "ui/hexview/hex_editor_ctrl.h"
#include "ui/hexview/hex_editor_pane.h"
#include "ui/main/qt_translation.h"

namespace tl::ui {
namespace {

// Identifiers below this are the program's own types: their identifier stays.
constexpr std::uint32_t kFirstUserTypeId = 1000;

std::optional<std::uint32_t> WholeNumber(const QLineEdit* field) {
    bool ok = false;
    const std::uint32_t value = field->text().trimmed().toUInt(&ok);
    return ok ? std::optional<std::uint32_t>(value) : std::nullopt;
}

// A labelled field of a page; the label is translated by `id` and names the field.
void AddRow(QFormLayout* form, CQtWindowTarget& target, int id, const QString& caption, QWidget* field) {
    auto* label = new QLabel(caption);
    label->setBuddy(field);
    field->setAccessibleName(caption);
    form->addRow(label, field);
    target.AddControl(id, label);
}

QLabel* HintLabel(const QString& text) {
    auto* hint = new QLabel(text);
    hint->setWordWrap(true);
    hint->setTextFormat(Qt::PlainText);
    hint->setForegroundRole(QPalette::PlaceholderText);
    return hint;
}

}  // namespace

CFileFormatPropertiesSheet::CFileFormatPropertiesSheet(CApp& app, FileSignature& type, QWidget* parent)
    : QDialog(parent), app_(app), type_(type), edit_(type), showOnly_(AnalysisBusy().load() != 0) {
    setWindowTitle(tr("File Format Properties"));
    setAccessibleName(windowTitle());
    pages_ = new QTabWidget;
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CFileFormatPropertiesSheet::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    if (showOnly_) {
        auto* note = new QLabel(tr("An analysis is running: the file type can be changed when it has ended."));
        note->setWordWrap(true);
        note->setAccessibleName(note->text());
        layout->addWidget(note);
    }
    layout->addWidget(pages_, 1);
    layout->addWidget(buttons);

    auto sheet = std::make_shared<CQtWindowTarget>(this);
    sheet->AddControl(1, buttons->button(QDialogButtonBox::Ok));
    sheet->AddControl(2, buttons->button(QDialogButtonBox::Cancel));
    QWidget* description = BuildDescriptionPage();
    QWidget* technical = BuildTechnicalPage();
    QWidget* signature = BuildSignaturePage();
    for (QWidget* page : {description, technical, signature}) page->setEnabled(!showOnly_ || page == signature);
    app_.Languages().RegisterWindow("FileFormatProperties", sheet);
    ShowPattern(edit_.Patterns.empty() ? -1 : 0);
}

QWidget* CFileFormatPropertiesSheet::BuildDescriptionPage() {
    auto* page = new QWidget;
    pages_->addTab(page, tr("Description"));
    auto target = std::make_shared<CQtWindowTarget>(pages_, page);
    auto* form = new QFormLayout(page);
    const auto row = [&](int id, const QString& caption, const QString& value) {
        auto* field = new QLineEdit(value);
        AddRow(form, *target, id, caption, field);
        return field;
    };
    title_ = row(1123, tr("Title:"), QString::fromStdString(edit_.Title));
    description_ = row(1139, tr("Short description:"), QString::fromStdString(edit_.Description));
    // The group the type belongs to; it is chosen on the technical page.
    const FileSignature* group = app_.Signatures().GroupOf(edit_);
    category_ = row(1038, tr("Category:"), group ? QString::fromStdString(group->DisplayTitle()) : QString());
    category_->setReadOnly(true);
    app_.Languages().RegisterWindow("FileFormatProperties.Description", target);
    return page;
}

QWidget* CFileFormatPropertiesSheet::BuildTechnicalPage() {
    auto* page = new QWidget;
    pages_->addTab(page, tr("Technical Info"));
    auto target = std::make_shared<CQtWindowTarget>(pages_, page);
    auto* form = new QFormLayout(page);
    const auto row = [&](int id, const QString& caption, QWidget* field) { AddRow(form, *target, id, caption, field); };
    const auto hint = [&](int id, const QString& text) {
        QLabel* label = HintLabel(text);
        form->addRow(label);
        target->AddControl(id, label);
    };
    const auto number = [](std::uint32_t value) { return new QLineEdit(QString::number(value)); };
    defaultSize_ = number(edit_.DefaultSize);
    row(1151, tr("Typically file size (Kb):"), defaultSize_);
    hint(1901, tr("Set MAX file size for this format. We need to know because some 'formats don't store their "
                  "length internally."));
    searchOrder_ = number(edit_.SearchOrder);
    row(316, tr("Search Order:"), searchOrder_);
    hint(1902, tr("Order of this type in scan process. Set 0 for maximal and 100 for minimal priority."));
    prefix_ = new QLineEdit(QString::fromStdString(edit_.Prefix));
    row(1141, tr("Recovered name prefix:"), prefix_);
    hint(1903, tr("For example, for JPEG pictures enter 'image' and recovered file names will be named "
                  "'image_1.jpg', 'image_2.jpg', etc."));
    extensions_ = new QLineEdit(QString::fromStdString(edit_.FileExtensions));
    row(1150, tr("File extentions:"), extensions_);
    hint(1904, tr("Hint:\tUse ';' to separate extentions.\n\tFirst extention used by default."));
    id_ = number(edit_.Id);
    id_->setEnabled(edit_.Id >= kFirstUserTypeId);
    row(1118, tr("Internal Format ID:"), id_);
    coincidence_ = number(edit_.Coincidence);
    row(1163, tr("Coincidence (%):"), coincidence_);
    group_ = new QComboBox;
    for (const auto& [id, group] : app_.Signatures().Groups()) {
        group_->addItem(QString::fromStdString(group->DisplayTitle()), QVariant::fromValue<quint32>(id));
        if (id == edit_.GroupId) group_->setCurrentIndex(group_->count() - 1);
    }
    if (app_.Signatures().Groups().count(edit_.GroupId) == 0) group_->setCurrentIndex(-1);
    row(1045, tr("Group:"), group_);
    connect(group_, &QComboBox::activated, this, &CFileFormatPropertiesSheet::GroupChosen);
    app_.Languages().RegisterWindow("FileFormatProperties.Technical", target);
    return page;
}

QWidget* CFileFormatPropertiesSheet::BuildSignaturePage() {
    auto* page = new QWidget;
    pages_->addTab(page, tr("Signature"));
    auto target = std::make_shared<CQtWindowTarget>(pages_, page);
    // The data bytes with their characters, and beside them the mask bytes.
    data_ = new CHexEditor_Pane(tr("Signature Data"));
    mask_ = new CHexEditor_Pane(tr("Signature Mask"));
    mask_->Editor()->SetColumns(true, true, false);
    target->AddControl(1159, data_->Title());
    target->AddControl(1160, mask_->Title());
    connect(data_->Editor(), &CHexEditorCtrl::DataEdited, this, [this](std::int64_t at) { ByteEdited(false, at); });
    connect(mask_->Editor(), &CHexEditorCtrl::DataEdited, this, [this](std::int64_t at) { ByteEdited(true, at); });
    auto* views = new QHBoxLayout;
    // Shares as wide as their columns: 77 characters beside 59.
    views->addWidget(data_, 77);
    views->addWidget(mask_, 59);

    length_ = new QSpinBox;
    length_->setRange(0, static_cast<int>(2 * kMaskedAreaBytes));
    auto* lengthLabel = new QLabel(tr("Compare byte count from begin:"));
    lengthLabel->setBuddy(length_);
    length_->setAccessibleName(lengthLabel->text());
    target->AddControl(1239, lengthLabel);
    byBits_ = new QCheckBox(tr("Check by bits"));
    target->AddControl(1112, byBits_);
    index_ = new QLabel;
    index_->setAccessibleName(tr("Shown pattern"));
    const auto button = [&](int id, const QString& text, const QString& name) {
        auto* b = new QPushButton(text);
        b->setAccessibleName(name);
        b->setToolTip(name);
        b->setAutoDefault(false);
        b->setMaximumWidth(b->fontMetrics().horizontalAdvance(QStringLiteral("MMM")) + 16);
        target->AddControl(id, b);
        return b;
    };
    previous_ = button(1245, QStringLiteral("<"), tr("Previous pattern"));
    next_ = button(1244, QStringLiteral(">"), tr("Next pattern"));
    add_ = button(1030, QStringLiteral("+"), tr("Add a pattern"));
    remove_ = button(1136, QStringLiteral("-"), tr("Delete the shown pattern"));
    connect(previous_, &QPushButton::clicked, this, &CFileFormatPropertiesSheet::PreviousPattern);
    connect(next_, &QPushButton::clicked, this, &CFileFormatPropertiesSheet::NextPattern);
    connect(add_, &QPushButton::clicked, this, &CFileFormatPropertiesSheet::AddPattern);
    connect(remove_, &QPushButton::clicked, this, &CFileFormatPropertiesSheet::DeletePattern);

    auto* controls = new QHBoxLayout;
    controls->addWidget(lengthLabel);
    controls->addWidget(length_);
    controls->addSpacing(12);
    controls->addWidget(byBits_);
    controls->addStretch(1);
    controls->addWidget(previous_);
    controls->addWidget(index_);
    controls->addWidget(next_);
    controls->addSpacing(12);
    controls->addWidget(add_);
    controls->addWidget(remove_);
    auto* layout = new QVBoxLayout(page);
    layout->addLayout(views, 1);
    layout->addLayout(controls);
    // The views are as wide as their columns: offsets, 16 bytes, characters.
    const int charWidth = data_->Editor()->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    setMinimumWidth(charWidth * 146 + 110);
    setMinimumHeight(480);
    app_.Languages().RegisterWindow("FileFormatProperties.Signature", target);
    return page;
}

void CFileFormatPropertiesSheet::GroupChosen(int index) {
    if (index < 0) return;
    StoreTechnical(false);
    const auto id = group_->itemData(index).value<quint32>();
    const auto& groups = app_.Signatures().Groups();
    const auto it = groups.find(id);
    if (it == groups.end()) return;
    edit_.GroupId = id;
    // The store keeps a type's group by its name.
    edit_.Group = it->second->Title;
    edit_.Modified = 1;
    category_->setText(QString::fromStdString(it->second->DisplayTitle()));
}

bool CFileFormatPropertiesSheet::StoreTechnical(bool strict) {
    struct Field {
        QLineEdit* edit;
        std::uint32_t FileSignature::*value;
        std::uint32_t max;
    };
    const Field fields[] = {{defaultSize_, &FileSignature::DefaultSize, UINT32_MAX},
                            {searchOrder_, &FileSignature::SearchOrder, UINT32_MAX},
                            {id_, &FileSignature::Id, UINT32_MAX},
                            {coincidence_, &FileSignature::Coincidence, 100}};
    for (const Field& f : fields) {
        if (!f.edit->isEnabled()) continue;
        const auto value = WholeNumber(f.edit);
        if (value && *value <= f.max) {
            edit_.*f.value = *value;
        } else if (strict) {
            QApplication::beep();
            pages_->setCurrentWidget(f.edit->parentWidget());
            f.edit->setFocus();
            f.edit->selectAll();
            return false;
        }
    }
    edit_.Prefix = prefix_->text().toStdString();
    edit_.FileExtensions = extensions_->text().toStdString();
    return true;
}

bool CFileFormatPropertiesSheet::ShownIsMasked() const {
    if (shown_ < 0 || shown_ >= static_cast<int>(edit_.Patterns.size())) return false;
    const auto& elements = edit_.Patterns[static_cast<std::size_t>(shown_)].Elements;
    return !elements.empty() && IsMaskedKind(elements.front().Kind) &&
           elements.front().Data.size() >= 2 * kMaskedAreaBytes;
}

// Only a masked first element is edited here: the other kinds keep their
// data in another form, which the compare length and bits would misread.
void CFileFormatPropertiesSheet::StoreShownPattern() {
    if (showOnly_ || !ShownIsMasked()) return;
    SignaturePattern& pattern = edit_.Patterns[static_cast<std::size_t>(shown_)];
    PatternElement& e = pattern.Elements.front();
    const auto length = static_cast<std::uint16_t>(length_->value());
    const std::uint32_t kind = byBits_->isChecked() ? kPatternMaskedAbsent : kPatternMasked;
    if (e.Length == length && e.Kind == kind) return;
    e.Length = length;
    e.Kind = kind;
    pattern.SourceText.reset();  // the text no longer says what the pattern is
}

void CFileFormatPropertiesSheet::ShowPattern(int index) {
    const int count = static_cast<int>(edit_.Patterns.size());
    shown_ = index >= 0 && index < count ? index : -1;
    const bool masked = ShownIsMasked();
    const bool editable = masked && !showOnly_;
    QByteArray data, mask;
    int length = 0;
    bool byBits = false;
    if (shown_ >= 0 && !edit_.Patterns[static_cast<std::size_t>(shown_)].Elements.empty()) {
        const PatternElement& e = edit_.Patterns[static_cast<std::size_t>(shown_)].Elements.front();
        const auto* bytes = reinterpret_cast<const char*>(e.Data.data());
        if (masked) {
            data = QByteArray(bytes, kMaskedAreaBytes);
            mask = QByteArray(bytes + kMaskedAreaBytes, kMaskedAreaBytes);
        } else {
            data = QByteArray(bytes, static_cast<qsizetype>(e.Data.size()));
        }
        length = e.Length;
        byBits = e.Kind == kPatternMaskedAbsent;
    }
    data_->Editor()->SetData(data);
    data_->Editor()->SetReadOnly(!editable);
    mask_->Editor()->SetData(mask);
    mask_->Editor()->SetReadOnly(!editable);
    mask_->setEnabled(masked);
    length_->setValue(length);
    length_->setEnabled(editable);
    byBits_->setChecked(byBits);
    byBits_->setEnabled(editable);
    index_->setText(QStringLiteral("%1 / %2").arg(shown_ + 1).arg(count));
    index_->setAccessibleDescription(index_->text());
    previous_->setEnabled(shown_ > 0);
    next_->setEnabled(shown_ >= 0 && shown_ + 1 < count);
    add_->setEnabled(!showOnly_);
    remove_->setEnabled(!showOnly_ && shown_ > 0);
}

void CFileFormatPropertiesSheet::NextPattern() {
    if (shown_ < 0 || shown_ + 1 >= static_cast<int>(edit_.Patterns.size())) return;
    StoreShownPattern();
    ShowPattern(shown_ + 1);
}

void CFileFormatPropertiesSheet::PreviousPattern() {
    if (shown_ <= 0) return;
    StoreShownPattern();
    ShowPattern(shown_ - 1);
}

void CFileFormatPropertiesSheet::AddPattern() {
    if (showOnly_) return;
    StoreShownPattern();
    edit_.Patterns.push_back(NewMaskedPattern());
    ShowPattern(static_cast<int>(edit_.Patterns.size()) - 1);
}

// The first pattern stays: a type without one would never be found.
void CFileFormatPropertiesSheet::DeletePattern() {
    if (showOnly_ || shown_ <= 0) return;
    const int removed = shown_;
    PreviousPattern();
    edit_.Patterns.erase(edit_.Patterns.begin() + removed);
    ShowPattern(shown_);
}

void CFileFormatPropertiesSheet::ByteEdited(bool mask, std::int64_t offset) {
    if (showOnly_ || !ShownIsMasked() || offset < 0 || offset >= static_cast<std::int64_t>(kMaskedAreaBytes)) return;
    SignaturePattern& pattern = edit_.Patterns[static_cast<std::size_t>(shown_)];
    const CHexEditorCtrl* editor = mask ? mask_->Editor() : data_->Editor();
    pattern.Elements.front().Data[(mask ? kMaskedAreaBytes : 0) + static_cast<std::size_t>(offset)] =
        static_cast<std::uint8_t>(editor->Data().at(static_cast<qsizetype>(offset)));
    pattern.SourceText.reset();
}

bool CFileFormatPropertiesSheet::StorePages() {
    edit_.Title = title_->text().toStdString();
    edit_.Description = description_->text().toStdString();
    if (!StoreTechnical(true)) return false;
    StoreShownPattern();
    return true;
}

void CFileFormatPropertiesSheet::accept() {
    if (showOnly_) {
        QDialog::accept();
        return;
    }
    if (!StorePages()) return;
    SignatureDatabase& db = app_.Signatures();
    if (edit_.Id != type_.Id && db.FindById(edit_.Id)) {
        QApplication::beep();
        QMessageBox::warning(this, windowTitle(), tr("Another file type has the identifier %1.").arg(edit_.Id));
        pages_->setCurrentWidget(id_->parentWidget());
        id_->setFocus();
        id_->selectAll();
        return;
    }
    const bool changed = edit_.Title != type_.Title || edit_.Description != type_.Description ||
                         edit_.DefaultSize != type_.DefaultSize || edit_.SearchOrder != type_.SearchOrder ||
                         edit_.Prefix != type_.Prefix || edit_.FileExtensions != type_.FileExtensions ||
                         edit_.Id != type_.Id || edit_.Coincidence != type_.Coincidence ||
                         edit_.GroupId != type_.GroupId || edit_.Group != type_.Group ||
                         edit_.Patterns != type_.Patterns;
    if (changed) {
        db.ChangeId(type_, edit_.Id);
        type_.Title = edit_.Title;
        type_.Description = edit_.Description;
        type_.RememberSizeChoice(type_.SharedSizeChoice(), edit_.DefaultSize);
        type_.SearchOrder = edit_.SearchOrder;
        type_.Prefix = edit_.Prefix;
        type_.FileExtensions = edit_.FileExtensions;
        type_.Coincidence = edit_.Coincidence;
        type_.GroupId = edit_.GroupId;
        type_.Group = edit_.Group;
        type_.Patterns = edit_.Patterns;
        type_.Modified = 1;
        db.RebuildExtensions();
        db.SaveAll();
    }
    QDialog::accept();
}

}  // namespace tl::ui
