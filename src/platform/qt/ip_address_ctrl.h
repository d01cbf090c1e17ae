// The IP address control ("SysIPAddress32"): four fields of 0..255 separated by dots.
#pragma once

#include <QFrame>

#include <array>
#include <string>

class QLineEdit;

namespace rv::qt {

class IpAddressCtrl : public QFrame {
    Q_OBJECT
public:
    explicit IpAddressCtrl(QWidget* parent = nullptr);

    // WM_SETTEXT: "a.b.c.d" fills the four fields (a value above 255 reads as 255, a part that is not a
    // number leaves its field blank); "" blanks them all. GBK text.
    void SetWindowText(const std::string& text);
    // The dotted text of the non-blank fields as the control shows it ("" when blank).
    std::string GetWindowText() const;
    // CIPAddressCtrl::GetAddress: the four fields, a blank field reads as 0. Returns how many fields
    // are not blank.
    int GetAddress(unsigned char& f0, unsigned char& f1, unsigned char& f2, unsigned char& f3) const;
    bool IsBlank() const;
    void ClearAddress();

    // Names the control and its four fields for assistive tools: "NAME", "NAME第1段" .. "NAME第4段".
    void NameParts(const QString& name);

    // The edit of field 0..3 (tests type into them).
    QLineEdit* Field(int index) const { return fields_[static_cast<std::size_t>(index)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FieldEdited(int index);
    std::array<QLineEdit*, 4> fields_{};
};

} // namespace rv::qt
