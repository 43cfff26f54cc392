// The terminal without a window: the serial console, the network console and the file
// pass-through between them. A program with a QCoreApplication can drive the whole device test
// with this one object.
#pragma once

#include <QObject>

#include "net/NetConsole.h"
#include "platform/Retirer.h"
#include "serial/SerialConsole.h"
#include "transfer/PassThrough.h"
#include "transfer/TrafficLog.h"

class TerminalEngine : public QObject {
    Q_OBJECT
public:
    explicit TerminalEngine(QObject* parent = nullptr) : QObject(parent) {
        serial.Port().Device().Traffic().Set(&traffic);
        serial.Port().SetRetirer(&retirer);
        net.Traffic().Set(&traffic);
        serial.Modem().SetRetirer(&retirer);
        // The log keeps each network chunk with the link it crossed; told before anything
        // crosses a new link (this is the console's first handler).
        connect(&net, &NetConsole::linkChanged, this,
                [this] { trafficLog.SetNetLink(CurrentNetLink()); });
    }
    ~TerminalEngine() override { Shutdown(); }

    // Closes the port first, then disconnects or stops the server; idempotent.
    void Shutdown() {
        serial.Close();
        net.Stop();
    }

    // The network link in use as the traffic log shows it: 0.0.0.0 ports 0 when it is not known.
    pcapng::NetLink CurrentNetLink() const {
        platform::SocketEnd local, peer;
        if (!net.LinkEnds(&local, &peer))
            return {};
        return {{local.address, local.port}, {peer.address, peer.port}, net.Udp()};
    }

    // In this order: the retirer outlives every part that hands it a stopped worker; the log and
    // its hub outlive every thread of the consoles, and the pass-through (destroyed first) uses
    // both consoles.
    platform::Retirer retirer;
    TrafficLog trafficLog{retirer};
    TrafficHub traffic{trafficLog};
    SerialConsole serial;
    NetConsole net;
    PassThrough passThrough{serial, net};
};
