// When a byte of the serial stream arrived, estimated from the port's arrival readings and
// the line's wire time. Pure arithmetic on the C++ standard library: no clock, no port.
#pragma once

#include <cstddef>
#include <cstdint>

// One arrival reading: every byte of the stream before offset End (counted from the start of
// the reading) had arrived when the performance counter read Counter. The bytes from the
// previous reading's End up to End are the chunk the reading belongs to.
struct ArrivalChunk {
    uint64_t End = 0;
    int64_t Counter = 0;
};

// The wire time of one character, in seconds: a start bit, the data bits, a parity bit
// unless the parity is 'N' (any case), and the stop bits (code 1, 2 or 15 for one and a
// half), over the baud rate. 0 for a baud rate of 0.
double CharacterWireSeconds(uint32_t baudRate, char parity, unsigned dataBits, unsigned stopBitsCode);

// The counter reading at which byte `byte` of the stream arrived, estimated from the chunks
// that carried the bytes from `byte` to `last` (a line's first byte and its terminator).
// Each of them bounds it: the chunk's last byte, End - 1, left the sender (End - 1 - byte)
// character times after `byte`, and had arrived by the chunk's reading, so `byte` arrived by
// Counter - (End - 1 - byte) * characterCounts. The estimate is the tightest bound, the
// smallest. It is never before the reading of the chunk just before the one holding `byte`,
// when that is among `chunks`: `byte` had not come yet when that chunk was read (a burst that
// came faster than the wire, such as a pty's, would otherwise be placed before it was sent).
// `chunks` are in stream order; those after the one holding `last` are ignored. Returns false
// when no chunk carried any of those bytes.
bool EstimateByteArrival(uint64_t byte, uint64_t last, const ArrivalChunk *chunks, size_t count,
                         double characterCounts, int64_t *estimate);

// The reading of the chunk that carried byte `byte`, uncorrected: the moment that byte was
// known to be there (a line's stamp at its terminator). False when no chunk carried it.
bool ChunkReadingOf(uint64_t byte, const ArrivalChunk *chunks, size_t count, int64_t *reading);
