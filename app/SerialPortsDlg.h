// "Serial Ports": which device each of COM1..COM9 opens, chosen from the devices present now or
// typed as a path, stored as the user's port mappings (platform/PortMap.h).
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "platform/PortMap.h"

class QComboBox;
class QLabel;

class CSerialPortsDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kPortCount = 9;  // COM1..COM9, the ports the main dialog offers

    // `ports`: where the mappings are kept. `devRoot` is where the present devices are looked
    // for, `sysRoot` where the kernel tells which serial ports have a UART (fake trees in tests).
    explicit CSerialPortsDlg(platform::PortMap ports, QWidget* parent = nullptr,
                             const std::string& devRoot = "/dev",
                             const std::string& sysRoot = "/sys");

    // The device box of COMn, n = 1..kPortCount; nullptr otherwise.
    QComboBox* DeviceBox(int n) const;
    // The device path COMn's row stands for: empty for "(default)" or an empty text, the link's
    // own path for a by-id entry chosen from the list, else the text as typed.
    std::string ChosenPath(int n) const;

    // Stores every row that changed. When the settings cannot be written the dialog stays open
    // and says so.
    void accept() override;

private:
    platform::PortMap m_ports;
    std::vector<QComboBox*> m_boxes;
    QLabel* m_error = nullptr;
};
