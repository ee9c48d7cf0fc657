// "Enter probable file size": asked while a file the sector scan found is
// recovered and neither its content nor a file system told its size. It
// shows what is known of the file and offers the type's default size, the
// distance to the next file of any or of the same type, or a size typed
// in, for this file, its type or every type; or the file is skipped.
#pragma once

#include <QDialog>

#include <cstdint>
#include <optional>
#include <string>

class QButtonGroup;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace tl {
class CApp;
struct CFoundObject;
}

namespace tl::ui {

class CProbableFileSizeDlg : public QDialog {
    Q_OBJECT
public:
    // The answer's buttons, as the recovery engine counts them.
    enum Button { kOk = 1, kCancel = 2, kSkipFile = 5 };

    CProbableFileSizeDlg(CApp& app, const CFoundObject& record, const QString& typeName, QWidget* parent = nullptr);

    int Result() const { return button_; }
    int Choice() const;  // 1..4
    int Scope() const;   // 0..2
    // The typed size times its unit, in bytes; nothing when it is not a
    // number or does not fit in 64 bits.
    std::optional<std::uint64_t> CustomSize() const;
    // "button choice scope custom-size", the engine's reply.
    std::string Reply() const;

    void reject() override;

private:
    void Follow();

    QButtonGroup* choices_;
    QButtonGroup* scopes_;
    QLineEdit* size_;
    QComboBox* unit_;
    QPushButton* ok_;
    int button_ = kCancel;
};

}  // namespace tl::ui
