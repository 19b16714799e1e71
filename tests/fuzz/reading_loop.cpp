// The reading loop's handling of received bytes over an arbitrary byte stream, in arbitrary
// chunks, as the port would deliver them.
//
// The input describes the stream: a byte that selects either a run of one repeated byte (so
// lines longer than the receive area occur without huge inputs) or a piece copied from the
// input, and a second part giving the chunk sizes. Invariants, checked against a model that
// splits the whole stream at the terminator:
// - every record is the model's line, or the first ReceiveAreaSize bytes of a longer line;
// - no record is longer than the receive area, and its text is terminated after Length bytes;
// - the cut-line count equals the number of lines of ReceiveAreaSize bytes or more;
// - the lines received count the terminators.
// AddressSanitizer checks that no byte outside the receive area and the records is touched.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"

namespace {

constexpr size_t Area = SerialAcquisition::ReceiveAreaSize;

// One engine serves every input: after each, a terminator ends whatever line is pending, so
// the next input starts at the beginning of a line with an empty receive area, as a new
// engine would.
struct Harness {
    FuzzRoot root;
    EventLog log{"Fuzz EventLog", "C:\\Data\\Fuzz"};
    SonicMetek3ClassAMPSerial sonic{"Metek", "666", log};
};

// Takes every handed-over buffer back, as the archive thread would, appending its records.
void Collect(SonicMetek3ClassAMPSerial &sonic, std::vector<std::string> &records) {
    for (DWORD b = 0; b < DataAcquisition::BufferCount; ++b) {
        SampleBuffer &buffer = sonic.Buffers[(sonic.FillBufferIndex + b) % DataAcquisition::BufferCount];
        const DWORD count = buffer.SampleCount.load();
        FUZZ_CHECK(count <= SampleBuffer::Capacity, "buffer of %lu records",
                   static_cast<unsigned long>(count));
        for (DWORD i = 0; i < count; ++i) {
            const SampleRecord &record = buffer.Records[i];
            FUZZ_CHECK(record.Text != nullptr && record.Length >= 0, "record without text");
            FUZZ_CHECK(static_cast<size_t>(record.Length) <= Area, "record of %ld bytes",
                       static_cast<long>(record.Length));
            FUZZ_CHECK(record.Text[record.Length] == '\0', "record not terminated");
            records.emplace_back(record.Text, static_cast<size_t>(record.Length));
        }
        buffer.SampleCount.store(0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Harness *harness = new Harness();
    FuzzedDataProvider provider(data, size);

    // The stream.
    std::string stream;
    const size_t pieces = provider.ConsumeIntegralInRange<size_t>(0, 16);
    for (size_t p = 0; p < pieces && provider.remaining_bytes() > 0; ++p) {
        if (provider.ConsumeBool()) {
            const size_t length = provider.ConsumeIntegralInRange<size_t>(0, 2 * Area + 10);
            const char byte = provider.ConsumeIntegral<char>();
            stream.append(length, byte);
        } else {
            stream += provider.ConsumeRandomLengthString(256);
        }
    }

    SonicMetek3ClassAMPSerial *sonic = &harness->sonic;
    const DWORD lostBefore = sonic->LinesLost;
    const DWORD cutBefore = sonic->LinesTruncated;
    const DWORD receivedBefore = sonic->LinesReceived;
    const char terminator = sonic->LineTerminator;
    FILETIME now = {0, 0x01DC0000};

    // The chunks, each at most the room left in the receive area, as ReadPort reads them.
    std::vector<std::string> records;
    size_t at = 0;
    while (at < stream.size()) {
        const size_t room = Area - sonic->ReceiveAreaCount;
        FUZZ_CHECK(room > 0, "no room in the receive area");
        size_t chunk =
            provider.remaining_bytes() > 0 ? provider.ConsumeIntegralInRange<size_t>(1, 4096) : 4096;
        chunk = std::min({chunk, room, stream.size() - at});
        memcpy(sonic->ReceiveArea + sonic->ReceiveAreaCount, stream.data() + at, chunk);
        sonic->ProcessReceived(static_cast<DWORD>(chunk), now, 0);
        FUZZ_CHECK(sonic->ReceiveAreaCount < Area, "receive area left full");
        at += chunk;
        Collect(*sonic, records);
    }
    sonic->HandOverBuffer();
    Collect(*sonic, records);

    // The model.
    std::vector<std::string> expected;
    size_t cut = 0;
    size_t terminators = 0;
    size_t begin = 0;
    for (;;) {
        const size_t end = stream.find(terminator, begin);
        const size_t length = (end == std::string::npos ? stream.size() : end) - begin;
        if (length >= Area) {
            // A line that fills the area exactly is stored whole; only a longer one is cut.
            if (length > Area)
                ++cut;
            expected.push_back(stream.substr(begin, Area));
        } else if (end != std::string::npos) {
            expected.push_back(stream.substr(begin, length));
        }
        if (end == std::string::npos)
            break;
        ++terminators;
        begin = end + 1;
    }

    const DWORD lost = sonic->LinesLost - lostBefore;
    const DWORD cutCounted = sonic->LinesTruncated - cutBefore;
    const DWORD received = sonic->LinesReceived - receivedBefore;
    FUZZ_CHECK(lost == 0, "%lu lines lost", static_cast<unsigned long>(lost));
    FUZZ_CHECK(cutCounted == cut, "%lu lines cut, %zu longer than the area",
               static_cast<unsigned long>(cutCounted), cut);
    FUZZ_CHECK(received == terminators, "%lu lines received, %zu terminators",
               static_cast<unsigned long>(received), terminators);
    FUZZ_CHECK(records.size() == expected.size(), "%zu records, %zu expected", records.size(),
               expected.size());
    for (size_t i = 0; i < records.size(); ++i)
        FUZZ_CHECK(records[i] == expected[i], "record %zu differs (%zu bytes, %zu expected)", i,
                   records[i].size(), expected[i].size());
    // The incomplete tail waits in the receive area.
    const size_t lastTerminator = stream.rfind(terminator);
    const size_t tail = stream.size() - (lastTerminator == std::string::npos ? 0 : lastTerminator + 1);
    FUZZ_CHECK(sonic->ReceiveAreaCount == tail % Area, "tail of %lu bytes, %zu expected",
               static_cast<unsigned long>(sonic->ReceiveAreaCount), tail);

    sonic->ReceiveArea[sonic->ReceiveAreaCount] = terminator;
    sonic->ProcessReceived(1, now, 0);
    sonic->HandOverBuffer();
    std::vector<std::string> ignored;
    Collect(*sonic, ignored);
    FUZZ_CHECK(sonic->ReceiveAreaCount == 0, "receive area not empty after a terminator");
    return 0;
}
