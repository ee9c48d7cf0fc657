#include "ui/main/ui_text.h"

#include <QApplication>
#include <QFile>
#include <QFormLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>

#include <cmath>

namespace tl::ui {

QLabel* ValueLabel(const QString& name, const QString& text) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setAccessibleName(name);
    label->setAccessibleDescription(text);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QLabel* AddValueRow(QFormLayout* form, const QString& caption, const QString& value) {
    QLabel* shown = ValueLabel(QString(caption).remove(QLatin1Char(':')), value);
    shown->setWordWrap(true);
    auto* label = new QLabel(caption);
    label->setBuddy(shown);
    form->addRow(label, shown);
    return label;
}

void SetValue(QLabel* label, const QString& text) {
    label->setText(text);
    label->setAccessibleDescription(text);
}

QLabel* PaneTitle() {
    auto* title = new QLabel;
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    return title;
}

CommandTexts SplitCommandText(const QString& text) {
    const int newline = text.indexOf(QLatin1Char('\n'));
    if (newline < 0) return {text, text};
    return {text.left(newline), text.mid(newline + 1)};
}

void ChooseIconTheme() {
    const QString current = QIcon::themeName();
    if (!current.isEmpty() && current != QLatin1String("hicolor")) return;
    for (const QString& folder : QIcon::themeSearchPaths()) {
        if (QFile::exists(folder + QStringLiteral("/Adwaita/index.theme"))) {
            QIcon::setThemeName(QStringLiteral("Adwaita"));
            return;
        }
    }
}

QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback) {
    const QIcon themed = QIcon::fromTheme(QString::fromLatin1(name));
    if (!themed.isNull()) return themed;
    return QApplication::style()->standardIcon(fallback);
}

QImage GreyCopy(const QImage& image) {
    QImage grey = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < grey.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(grey.scanLine(y));
        for (int x = 0; x < grey.width(); ++x) {
            const QRgb p = line[x];
            const int level =
                static_cast<int>(std::lround(0.299 * qRed(p) + 0.587 * qGreen(p) + 0.114 * qBlue(p)));
            line[x] = qRgba(level, level, level, qAlpha(p));
        }
    }
    return grey;
}

QIcon WithGreyDisabledImages(const QIcon& icon, int size) {
    QIcon result = icon;
    const QPixmap normal = icon.pixmap(size, size);
    if (!normal.isNull()) result.addPixmap(QPixmap::fromImage(GreyCopy(normal.toImage())), QIcon::Disabled);
    return result;
}

}  // namespace tl::ui
