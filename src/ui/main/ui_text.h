// Texts and icons of the desktop program: the core's texts in the current
// language, as Qt strings, and icons from the desktop's theme.
#pragma once

#include <QFormLayout>
#include <QIcon>
#include <QLabel>
#include <QString>
#include <QStyle>

#include "app/app.h"

namespace tl::ui {

// The text of message `id` in the current language.
inline QString Text(const CApp& app, unsigned id) { return QString::fromStdString(app.GetString(id)); }

// A label that shows a value: plain text (values come from disks), named
// for screen readers by what it shows and telling its value as its
// description, selectable. SetValue keeps both in step.
QLabel* ValueLabel(const QString& name, const QString& text = {});
void SetValue(QLabel* label, const QString& text);
// A row of `form`: a caption and its value label (named by the caption);
// returns the caption, for translation.
QLabel* AddValueRow(QFormLayout* form, const QString& caption, const QString& value);

// The bold title above a pane.
QLabel* PaneTitle();

// A command's status text and tool tip, kept as "status\ntool tip".
struct CommandTexts {
    QString status, toolTip;
};
CommandTexts SplitCommandText(const QString& text);

// Outside a desktop that names its icon theme (a bare X session, some window
// managers), Qt looks in "hicolor" alone, which holds almost none of the
// freedesktop icons: Adwaita is taken then, when it is installed.
void ChooseIconTheme();

// The icon of the desktop's theme called `name` (a freedesktop name), or
// Qt's standard icon `fallback` when the theme has none.
QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback);

// `icon` with grey copies of its images for the disabled state: each
// pixel's grey level is 0.299 R + 0.587 G + 0.114 B, its alpha kept.
QIcon WithGreyDisabledImages(const QIcon& icon, int size = 24);
QImage GreyCopy(const QImage& image);

}  // namespace tl::ui
