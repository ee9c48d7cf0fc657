// The legend: what each icon of the drive pane and the found-files views
// stands for, under the pane's title.
#pragma once

#include <QWidget>

#include "app/app.h"

class QLabel;
class QListWidget;

namespace tl::ui {

class CLegendPane : public QWidget {
    Q_OBJECT
public:
    explicit CLegendPane(CApp& app, QWidget* parent = nullptr);
    // The title and the entries in the current language.
    void Retranslate();
    // The title above the pane (hidden where a tab names it).
    void ShowTitle(bool shown);
    // Tall enough for the title and five rows of entries.
    int PreferredHeight() const;

private:
    CApp& app_;
    QLabel* title_;
    QListWidget* entries_;
};

}  // namespace tl::ui
