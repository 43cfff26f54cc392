#include "serial/SerialConsole.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "serial/EncodeSendLine.h"

using platform::Result;

namespace {
constexpr int SEND_BUFFER_SIZE = 1024;
}

SerialConsole::SerialConsole(QObject* parent) : QObject(parent) {
    m_serialPort.SetReceiver(this);
}

SerialConsole::~SerialConsole() {
    Close();
}

Result SerialConsole::Open(const std::string& portName, const LineSettings& settings) {
    if (m_bSerialOpen)
        Close();
    // Bumped before the receive thread starts, so every loss it reports names this open.
    m_openGeneration.fetch_add(1);
    if (!m_serialPort.Open(portName, settings)) {
        Result r =
            Result::Fail("Can't open PORT", m_serialPort.LastError(), m_serialPort.LastErrno());
        r.hint = m_serialPort.LastHint();
        return r;
    }
    m_bSerialOpen = 1;
    m_lineSettings = settings;
    m_serialRing.Clear();
    // A device without modem lines (a pty) is told through the ModemLines' signal; the port
    // works on without them.
    m_modemLines.Start(std::make_unique<platform::TtyModemIo>(m_serialPort.Device().Fd()));
    emit opened();
    return Result::Ok();
}

void SerialConsole::Close() {
    if (m_serialPort.m_bOpen.load() != 0)
        emit aboutToClose();
    // Its watch thread uses the port's descriptor: it ends first.
    m_modemLines.Stop();
    m_serialPort.Close();
    m_bSerialOpen = 0;
}

Result SerialConsole::Send(std::string_view line) {
    // A line of 1024 characters beyond ASCII takes more than 1024 bytes in UTF-8, so the buffer
    // grows with the line: nothing is cut short.
    std::vector<unsigned char> buf(std::max<size_t>(SEND_BUFFER_SIZE, line.size()));
    const int count = EncodeSendLine(line, buf.data(), static_cast<int>(buf.size()));
    return SendBytes(buf.data(), count);
}

Result SerialConsole::SendBytes(const unsigned char* bytes, int count) {
    if (!m_bSerialOpen)
        return Result::Fail("The port is not open: the line was not sent");
    const uint32_t written =
        m_serialPort.Write(bytes, static_cast<uint32_t>(count), SERIAL_CONSOLE_SEND_MS);
    if (written != static_cast<uint32_t>(count))
        return Result::Fail("The device did not take the whole line",
                            std::to_string(written) + " of " + std::to_string(count) +
                                " bytes were written to " + PortName() + " within " +
                                std::to_string(SERIAL_CONSOLE_SEND_MS) + " ms.",
                            m_serialPort.m_bOpen.load() != 0 ? EAGAIN : 0);
    return Result::Ok();
}

void SerialConsole::NotifyReceived() {
    if (!m_bRefreshPending.exchange(true))
        emit received();
}

void SerialConsole::Clear() {
    m_serialRing.Clear();
}

bool SerialConsole::CaptureArmed() {
    IReceiveTap* tap = m_pTap.load();
    return tap && tap->Armed();
}

void SerialConsole::CaptureSerialChunk(const unsigned char* bytes, int n) {
    if (IReceiveTap* tap = m_pTap.load())
        tap->Chunk(bytes, n);
}

void SerialConsole::ReceiveThreadFailed(const std::string& text) {
    emit failure(QString::fromStdString(text), QString());
}

void SerialConsole::PortHungUp(const std::string& reason) {
    // Receive thread: the port is closed on the console's own thread, which joins this one.
    const uint64_t generation = m_openGeneration.load();
    QMetaObject::invokeMethod(
        this,
        [this, generation, text = QString::fromStdString(reason)] {
            ClosePortLost(generation, text);
        },
        Qt::QueuedConnection);
}

void SerialConsole::ClosePortLost(uint64_t generation, const QString& reason) {
    if (!m_bSerialOpen || generation != m_openGeneration.load())
        return;  // closed (or closed and reopened) by the user in the meantime
    Close();
    emit portLost(reason);
}
