#pragma once

#include <QComboBox>

// The port list Combo1: the numbers 1 to 8, each followed by the short name of the device
// behind it ("1  ttyUSB0"), so that the user can tell an adapter from a built-in port. The
// names are looked up again each time the list opens, since adapters come and go; the
// selected number stays selected.
class PortList : public QComboBox {
    Q_OBJECT
public:
    explicit PortList(QWidget* parent = nullptr);

    // Puts the device names behind the numbers.
    void RefreshDevices();

    void showPopup() override;
};
