// "File Information": what is known of one found object (its state,
// identifiers, place, sizes, times and recognised type), with the lists of
// the sectors and clusters its content is read from.
#pragma once

#include <QDialog>

namespace tl {
class CApp;
class CVolume;
struct CFoundObject;
}

namespace tl::ui {

class CFileInformationDlg : public QDialog {
    Q_OBJECT
public:
    // `record` is a copy of an object of `volume`'s tree; `stored` the
    // object itself, for its folder path.
    CFileInformationDlg(CApp& app, CVolume& volume, const CFoundObject& record, const CFoundObject& stored,
                        QWidget* parent = nullptr);

private:
    void ShowRuns(const QString& title, const QStringList& header, const QList<QStringList>& rows);
};

}  // namespace tl::ui
