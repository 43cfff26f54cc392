// Outbound file send: the worker that puts a file behind its 18-byte header on a link.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

constexpr int SERIAL_SEND_CHUNK = 255;
constexpr int NETWORK_SEND_CHUNK = 512;
constexpr int SEND_START_DELAY_MS = 1000;
// The header announces the length in 32 bits and the receiver takes at most 2^31 - 1 bytes.
constexpr int64_t MAX_SEND_FILE_SIZE = 0x7FFFFFFF;

struct SendFileJob {
    std::string path;
    int chunk = SERIAL_SEND_CHUNK;
    bool yieldAfterChunk = false;
    // Waits the start delay; returns false when the worker must stop at once (its run was
    // superseded or the link is going), true when the delay passed.
    std::function<bool()> waitStartDelay;
    // Whether the header may still go out (after the delay): false once the run was superseded.
    std::function<bool()> mayStart;
    // Whether the next chunk may go out: false once the transfer ended.
    std::function<bool()> keepGoing;
    // Called right before the header is sent (the moment the transfer's time is taken from).
    std::function<void()> headerLeaving;
    // Sends one chunk; false when the link failed, and nothing more is sent then.
    std::function<bool(const unsigned char*, int)> send;
    // Called once the last byte of the file has been sent (not when the sending was stopped).
    std::function<void()> sentAll;
};

// One send: opens the file, waits the start delay, sends the header and then the file in chunks
// while keepGoing() holds and every send succeeds. A chunk read after it turned false is not sent.
// Returns true when the file was sent or the sending was stopped; false when it could not be opened
// (`openError` says why: "<path>: <strerror>").
bool SendFileWorker(const SendFileJob& job, std::string* openError);
