// The serial console without its window: the port, its receive history and its open state.
// Open, Close, Send and Clear run on the UI thread and return result values; received bytes are
// announced by a signal from the port's receive thread, never by a message to a window.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <string>
#include <string_view>
#include <utility>

#include "display/ReceiveTap.h"
#include "display/RingBuffer.h"
#include "platform/Result.h"
#include "serial/LineSettings.h"
#include "serial/ModemLines.h"
#include "serial/SerialPort.h"

// The longest a console send waits for the port to take a line, in milliseconds.
constexpr int SERIAL_CONSOLE_SEND_MS = 500;

class SerialConsole : public QObject, private ISerialReceiver {
    Q_OBJECT
public:
    explicit SerialConsole(QObject* parent = nullptr);
    ~SerialConsole() override;

    // Opens the port ("COM1", or a device path) with the settings and empties the history.
    // Fails with "Can't open PORT" and the OS's reason (or what is wrong with the settings);
    // the console then stays closed.
    platform::Result Open(const std::string& portName, const LineSettings& settings);
    // Closes the port: announces aboutToClose first (so a file-send worker on the port lets go),
    // then closes it as CSerialPort::Close does (nothing from its receive thread reaches the
    // console afterwards; the thread goes to the port's retirer, or is joined without one).
    void Close();
    // Writes a typed line, escapes decoded, exactly as typed (nothing trimmed). Fails when the
    // port is not open, or the device did not take every byte within SERIAL_CONSOLE_SEND_MS
    // (a port held by flow control; error EAGAIN, the counts in the reason): the UI thread
    // never waits longer.
    platform::Result Send(std::string_view line);
    // Writes `count` bytes as they are, with the same wait and failures as Send.
    platform::Result SendBytes(const unsigned char* bytes, int count);
    void Clear();

    // Where this console's "COMn" names lead: the user's port mappings and the program
    // directory's COMn links, unless another map is given (a test, a second console with
    // devices of its own). Set while the port is closed.
    void SetPortMap(platform::PortMap map) { m_serialPort.Device().SetPortMap(std::move(map)); }
    const platform::PortMap& Ports() { return m_serialPort.Device().GetPortMap(); }

    bool IsOpen() const { return m_bSerialOpen != 0; }
    // "COM1": the name the user chose, as the status line and the messages say it.
    const std::string& PortName() const { return m_serialPort.m_strPortName; }
    CSerialPort& Port() { return m_serialPort; }
    // The rate the driver applied when the port opened (see CSerialPort::AppliedBaud).
    uint32_t AppliedBaud() const { return m_serialPort.AppliedBaud(); }
    // The settings the port was last opened with.
    const LineSettings& Settings() const { return m_lineSettings; }
    // The modem lines of the open port; started at each Open (the lines stay as the open left
    // them), stopped before the port closes.
    ModemLines& Modem() { return m_modemLines; }
    CRingBuffer& Ring() { return m_serialRing; }

    // Announces that bytes were stored in the history (any thread). At most one announcement is
    // pending at a time: the receive side marks the console dirty and signals only when no
    // refresh is pending, so a device that streams without pause cannot queue refreshes faster
    // than the window takes them.
    void NotifyReceived();
    // The window takes the pending announcement, just before it renders the latest history.
    void TakeRefresh() { m_bRefreshPending.store(false); }
    bool RefreshPending() const { return m_bRefreshPending.load(); }

    // While the tap is armed, received chunks go to it (on the receive thread) instead of the
    // history. Set before the port opens; the tap must outlive every open of the port.
    void SetCaptureTap(IReceiveTap* tap) { m_pTap.store(tap); }

signals:
    // Bytes were stored in the history, and no refresh was pending. Emitted on the receive
    // thread: connect it queued, and call TakeRefresh() when handling it.
    void received();
    // The receive thread could not start; emitted on that thread.
    void failure(const QString& text, const QString& detail);
    // The port has just opened and its modem lines started (UI thread).
    void opened();
    // The port is about to close (UI thread).
    void aboutToClose();
    // The device hung up or vanished while the port was open: the console has closed the port
    // as Close() would. Emitted on the UI thread.
    void portLost(const QString& reason);

private:
    CRingBuffer& SerialRing() override { return m_serialRing; }
    void PostCommRead() override { NotifyReceived(); }
    bool CaptureArmed() override;
    void CaptureSerialChunk(const unsigned char* bytes, int n) override;
    void ReceiveThreadFailed(const std::string& text) override;
    void PortHungUp(const std::string& reason) override;
    // UI thread: closes the port lost during open number `generation` (not a later one).
    void ClosePortLost(uint64_t generation, const QString& reason);

    CRingBuffer m_serialRing;
    int32_t m_bSerialOpen = 0;
    // Counts the opens, so a loss reported by one open's receive thread never closes a later one.
    std::atomic<uint64_t> m_openGeneration{0};
    std::atomic<IReceiveTap*> m_pTap{nullptr};
    std::atomic<bool> m_bRefreshPending{false};
    ModemLines m_modemLines;
    LineSettings m_lineSettings;
    // Last: its receive thread uses the members above, so it is destroyed (and joined) first.
    CSerialPort m_serialPort;
};
