// The one writer of everything vaskel-passthrough reports, for one device or a rack: the lines on
// standard output and standard error as the sessions tell them (prefixed with the station's name
// in a rack, whole lines under one lock), the JSON lines file as runs end, and at the end the
// JUnit, HTML and JSON reports, all from the values the sessions return.
#pragma once

#include <QJsonObject>

#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "runner/Options.h"
#include "runner/Results.h"
#include "runner/Session.h"

class Reporter {
public:
    // `lone`: one device (no station names, no prefixes, the single-device report forms).
    Reporter(const RunnerOptions& options, std::ostream& out, std::ostream& err, bool errIsTerminal,
             bool lone);
    ~Reporter();

    // Creates the JSON lines file, so that it exists even when no run finishes; false (told on
    // standard error) when it cannot be.
    bool Begin();

    // What one station's sessions tell; made and used on the station's thread. The station and
    // the part (setting) it is on name the JSON lines.
    class StationSink : public SessionSink {
    public:
        virtual void SetPart(const std::string& label) = 0;
        // A line of the station's own on standard output ("setting 115200 8N1").
        virtual void Say(const std::string& line) = 0;
    };
    std::unique_ptr<StationSink> SinkFor(const Station& station);

    // Writes the JUnit, HTML and JSON reports of every station; returns the exit code, which a
    // report that could not be written turns from 0 into EXIT_NOT_STORED.
    int Finish(const std::vector<StationResult>& results, int code, bool interrupted);

    // A failure of the reporter's own, or of a station's (named by `station`, empty for none):
    // told on standard error.
    void Told(const std::string& text, const std::string& detail, const Station* station = nullptr);

private:
    class Sink;
    void JsonLine(const Station& station, const std::string& label, QJsonObject line);

    RunnerOptions m_opt;
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_bErrTerminal;
    bool m_bLone;
    std::mutex m_lock;  // guards the shared streams and the JSON lines file
    std::ofstream m_jsonl;
    bool m_jsonlFailed = false;
};
