#include "app/PortChoiceFeature.h"

#include <QAction>
#include <QComboBox>

#include "app/SerialPortsDlg.h"
#include "app/Ui.h"
#include "platform/Paths.h"
#include "serial/SerialConsole.h"

CPortChoiceFeature::CPortChoiceFeature(SerialConsole& serial, QComboBox* portList, QWidget* window)
    : m_serial(serial), m_portList(portList), m_window(window) {
    connect(m_portList, &QComboBox::currentIndexChanged, this, [this] {
        m_portList->setToolTip(m_portList->currentData(Qt::ToolTipRole).toString());
    });
}

void CPortChoiceFeature::AddMenuEntries(CFeatureMenu& menu) {
    connect(menu.Add(MenuPlace::SerialPorts, QStringLiteral("Serial Ports...")),
            &QAction::triggered, this, [this] { OnSerialPorts(); });
    connect(menu.Add(MenuPlace::OpenCaptureFolder, QStringLiteral("Open Capture Folder")),
            &QAction::triggered, this, [this] { OnOpenCaptureFolder(); });
}

void CPortChoiceFeature::OnSerialPorts() {
    CSerialPortsDlg dlg(m_serial.Ports(), m_window);
    if (dlg.exec() == QDialog::Accepted)
        UpdatePortTips();
}

void CPortChoiceFeature::OnOpenCaptureFolder() {
    const std::string dir = platform::CaptureDirectory(m_serial.Ports().ProgramDirectory());
    if (dir.empty()) {
        ui::MessageBox("Can't find a folder for captured files",
                       "Neither the program's folder nor the documents folder can be written.");
        return;
    }
    ui::OpenFolder(dir);
}

void CPortChoiceFeature::UpdatePortTips() {
    for (int i = 0; i < m_portList->count(); ++i)
        m_portList->setItemData(i, QString::fromStdString(m_serial.Ports().DescribeTarget(i + 1)),
                                Qt::ToolTipRole);
    const int current = m_portList->currentIndex();
    m_portList->setToolTip(current >= 0 ? m_portList->itemData(current, Qt::ToolTipRole).toString()
                                        : QString());
}
