#include "transfer/FileSend.h"

#include <thread>
#include <vector>

#include "platform/File.h"
#include "transfer/Capture.h"

bool SendFileWorker(const SendFileJob& job, std::string* openError) {
    platform::CFile file;
    if (!file.OpenRead(job.path)) {
        if (openError)
            *openError = job.path + ": " + file.LastError();
        return false;
    }
    if (!job.waitStartDelay() || !job.mayStart())
        return true;

    // The header goes out even when the transfer was cancelled during the wait. A file of 2^31
    // bytes or more never gets here: the pass-through refuses it.
    unsigned char header[FILE_HEADER_SIZE];
    BuildFileHeader(static_cast<uint32_t>(file.GetLength()), header);
    if (job.headerLeaving)
        job.headerLeaving();
    if (!job.send(header, FILE_HEADER_SIZE))
        return true;

    std::vector<unsigned char> buf(static_cast<size_t>(job.chunk));
    long n = file.Read(buf.data(), buf.size());
    while (n > 0 && job.keepGoing()) {
        if (!job.send(buf.data(), static_cast<int>(n)))
            break;
        if (job.yieldAfterChunk)
            std::this_thread::yield();
        n = file.Read(buf.data(), buf.size());
    }
    if (n == 0 && job.sentAll)
        job.sentAll();
    return true;
}
