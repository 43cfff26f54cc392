// Where a link's received chunks go while a file pass-through captures them instead of the
// console (the capture lives with the pass-through, the link only hands chunks over).
#pragma once

class IReceiveTap {
public:
    virtual ~IReceiveTap() = default;
    // True while received chunks go through the capture rather than into the history. Read by
    // the serial receive thread for every chunk: must not block.
    virtual bool Armed() const = 0;
    // One received chunk (n >= 1) on an armed link. Called on the thread that received it.
    virtual void Chunk(const unsigned char* bytes, int n) = 0;
};
