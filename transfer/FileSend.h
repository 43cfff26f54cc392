// Outbound file send: the workers that put a file behind its 18-byte header on a link.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class CSerialPort;
class CLinkSocket;

constexpr int SERIAL_SEND_CHUNK = 255;
constexpr int NETWORK_SEND_CHUNK = 512;
constexpr int SEND_START_DELAY_MS = 1000;

// One send: opens `path`, waits the start delay, sends the header and then the file in chunks of
// `chunk` bytes while `transferActive` is not 0. A chunk read after the flag dropped is not sent.
// Returns 1 when the file was sent or the sending was stopped, 0 when it could not be opened
// ("Can't open file" is shown).
uint32_t SendFileWorker(const std::string& path, int chunk, bool yieldAfterChunk,
                        const std::atomic<int32_t>& transferActive,
                        const std::function<void(const unsigned char*, int)>& send,
                        int startDelayMs = SEND_START_DELAY_MS);

uint32_t ThreadSendFileComm(CSerialPort* port);
uint32_t ThreadSendFileNet(CLinkSocket* link);

// The transfer flag the workers watch (the main dialog's); tests may point it elsewhere.
std::atomic<int32_t>& TransferActiveFlag();
void SetTransferActiveFlag(std::atomic<int32_t>* flag);
// The start delay (1000 ms; tests shorten it).
void SetSendStartDelay(int ms);
