#include "port_list.h"

#include "port_names.h"

#include <QFileInfo>
#include <QStyle>
#include <QStyleOptionComboBox>

PortList::PortList(QWidget* parent) : QComboBox(parent) {}

void PortList::RefreshDevices() {
    const QStringList devices = PortDevices(count());
    // What the closed box can show beside the number: its width less the arrow's.
    QStyleOptionComboBox option;
    initStyleOption(&option);
    const int room =
        style()
            ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this)
            .width();
    for (int i = 0; i < count(); ++i) {
        QString text = QString::number(i + 1);
        const QString name = QFileInfo(devices.value(i)).fileName();
        if (!name.isEmpty()) {
            text += QStringLiteral("  ");
            text += fontMetrics().elidedText(name, Qt::ElideMiddle,
                                             room - fontMetrics().horizontalAdvance(text));
        }
        setItemText(i, text);
    }
}

void PortList::showPopup() {
    RefreshDevices();
    QComboBox::showPopup();
}
