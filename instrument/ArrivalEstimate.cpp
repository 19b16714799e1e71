#include "instrument/ArrivalEstimate.h"

#include <cmath>

double CharacterWireSeconds(uint32_t baudRate, char parity, unsigned dataBits, unsigned stopBitsCode) {
    if (baudRate == 0)
        return 0.0;
    const double parityBits = (parity == 'N' || parity == 'n') ? 0.0 : 1.0;
    double stopBits = 1.0;
    if (stopBitsCode == 2)
        stopBits = 2.0;
    else if (stopBitsCode == 15)
        stopBits = 1.5;
    return (1.0 + static_cast<double>(dataBits) + parityBits + stopBits) / static_cast<double>(baudRate);
}

bool EstimateByteArrival(uint64_t byte, uint64_t last, const ArrivalChunk *chunks, size_t count,
                         double characterCounts, int64_t *estimate) {
    bool found = false, floored = false;
    int64_t best = 0, floor = 0;
    for (size_t i = 0; i < count; ++i) {
        const ArrivalChunk &chunk = chunks[i];
        if (chunk.End <= byte) {
            floor = floored && floor > chunk.Counter ? floor : chunk.Counter;
            floored = true;
            continue;
        }
        // A chunk's End is never below its own bytes: End - 1 >= byte here.
        const double after = static_cast<double>(chunk.End - 1 - byte) * characterCounts;
        const int64_t bound = chunk.Counter - static_cast<int64_t>(std::llround(after));
        if (!found || bound < best)
            best = bound;
        found = true;
        if (chunk.End > last)
            break;  // this chunk holds the terminator; later ones carry the next lines
    }
    if (found)
        *estimate = floored && best < floor ? floor : best;
    return found;
}

bool ChunkReadingOf(uint64_t byte, const ArrivalChunk *chunks, size_t count, int64_t *reading) {
    for (size_t i = 0; i < count; ++i) {
        if (chunks[i].End > byte) {
            *reading = chunks[i].Counter;
            return true;
        }
    }
    return false;
}
