// Which device each COMn of the serial console opens, and the folder captured files go to: the
// "Serial Ports..." and "Open Capture Folder" entries, and the port list's tooltips that name the
// device each item opens now.
#pragma once

#include "app/DialogFeature.h"

class QComboBox;
class QWidget;
class SerialConsole;

class CPortChoiceFeature : public CDialogFeature {
    Q_OBJECT
public:
    // `portList` is the dialog's Serial Port list; `window` the dialog the windows open over.
    CPortChoiceFeature(SerialConsole& serial, QComboBox* portList, QWidget* window);

    void AddMenuEntries(CFeatureMenu& menu) override;

    // Which device each COMn opens: chosen in a window, stored as the user's mapping. The list of
    // the Serial Port box and the names the status line uses stay "COM1".."COM9".
    void OnSerialPorts();
    // Shows the capture folder in the desktop's file manager, or says why there is none.
    void OnOpenCaptureFolder();
    // Each COMn item tells, as its tooltip, which device it opens now; so does the list.
    void UpdatePortTips();

private:
    SerialConsole& m_serial;
    QComboBox* m_portList;
    QWidget* m_window;
};
