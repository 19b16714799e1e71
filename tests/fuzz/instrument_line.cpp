// Instrument lines through the parser, the raw line and the statistics.
//
// The input is a run of lines separated by LF (the reading loop's terminator), each stored as
// a record the way the reading loop stores it. Invariants:
// - the raw line of a good record is nine fields separated by single blanks: the status text
//   and eight values, then exactly one CR LF; every byte is printable ASCII;
// - every value text is "-99." or a finite number below 95 whose integer part is not -99;
// - after accumulating every line, the period line carries no non-finite figure and is as
//   wide as the period line of a plain simulator line.
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"

namespace {

constexpr DWORD RawBuffer = 1;
constexpr DWORD StatsBuffer = 2;
const char *const StatsPath = "C:\\Stats\\fuzz.txt";

struct Harness {
    FuzzRoot root;
    EventLog log{"Fuzz EventLog", "C:\\Data\\Fuzz"};
    SonicMetek3ClassAMPSerial sonic{"Metek", "666", log};
    size_t periodWidth = 0;

    Harness() {
        CreateDirectoryA("C:\\Stats", nullptr);
        Accumulate("ABCDEFGHI1250,1.50,-2.25,0.10,20.30,5.0,6.0,7.0,8.0,9.0,10.0\r");
        periodWidth = WritePeriod().size();
    }

    static void SetRecord(SampleRecord &record, const std::string &text, SHORT status) {
        delete[] record.Text;
        record.Text = new char[text.size() + 1];
        memcpy(record.Text, text.c_str(), text.size() + 1);
        record.Length = static_cast<LONG>(text.size());
        record.Status = status;
    }

    std::string RawLine(const std::string &text) {
        SampleBuffer &buffer = sonic.Buffers[RawBuffer];
        SetRecord(buffer.Records[0], text, SampleGood);
        buffer.SampleCount = 1;
        sonic.CurrentBuffer = RawBuffer;
        sonic.ProcessRawSamples();
        buffer.SampleCount = 0;
        const SampleRecord &record = buffer.Records[0];
        FUZZ_CHECK(record.Length >= 0 && record.Text != nullptr, "no raw line");
        FUZZ_CHECK(strlen(record.Text) == static_cast<size_t>(record.Length), "length %ld",
                   static_cast<long>(record.Length));
        return std::string(record.Text, static_cast<size_t>(record.Length));
    }

    void Accumulate(const std::string &text, SHORT status = SampleGood) {
        SampleBuffer &buffer = sonic.Buffers[StatsBuffer];
        SetRecord(buffer.Records[0], text, status);
        sonic.CurrentBuffer = StatsBuffer;
        sonic.CurrentSample = 0;
        sonic.AccumulateStatistics();
    }

    // Closes the period into a fresh file and returns its period line without CR LF.
    std::string WritePeriod() {
        DeleteFileA(StatsPath);
        snprintf(sonic.StatsFilePath, sizeof sonic.StatsFilePath, "%s", StatsPath);
        GetSystemTime(&sonic.PeriodStartTime);
        sonic.PeriodEndTime = sonic.PeriodStartTime;
        sonic.WriteStatistics();
        std::ifstream in(root.Posix("c/Stats/fuzz.txt"), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string file = bytes.str();
        FUZZ_CHECK(file.size() >= 2 && file.compare(file.size() - 2, 2, "\r\n") == 0, "no period line");
        const size_t begin = file.rfind("\r\n", file.size() - 3);
        return file.substr(begin == std::string::npos ? 0 : begin + 2, file.size() - 2 - (begin + 2));
    }
};

void CheckRawLine(const std::string &input, const std::string &raw) {
    FUZZ_CHECK(raw.size() >= 2 && raw.compare(raw.size() - 2, 2, "\r\n") == 0, "raw line [%s]", raw.c_str());
    const std::string body = raw.substr(0, raw.size() - 2);
    for (unsigned char c : body)
        FUZZ_CHECK(c >= 0x20 && c <= 0x7E, "byte 0x%02X in the raw line of [%s]", c, input.c_str());
    std::vector<std::string> fields;
    size_t begin = 0;
    for (;;) {
        const size_t blank = body.find(' ', begin);
        fields.push_back(body.substr(begin, blank == std::string::npos ? std::string::npos : blank - begin));
        if (blank == std::string::npos)
            break;
        begin = blank + 1;
    }
    FUZZ_CHECK(fields.size() == 9, "%zu fields in [%s]", fields.size(), body.c_str());
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::string &field = fields[i];
        if (field == "-99.")
            continue;
        char *end = nullptr;
        const double value = strtod(field.c_str(), &end);
        FUZZ_CHECK(!field.empty() && *end == '\0', "value [%s] in [%s]", field.c_str(), body.c_str());
        FUZZ_CHECK(std::isfinite(value) && value < 95.0 && std::trunc(value) != -99.0, "value [%s] in [%s]",
                   field.c_str(), body.c_str());
        const size_t point = field.find('.');
        FUZZ_CHECK(point != std::string::npos && field.size() - point == 4,
                   "value [%s] not with three decimals", field.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Harness *harness = new Harness();
    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t begin = 0;
    while (begin <= input.size()) {
        size_t end = input.find('\n', begin);
        if (end == std::string::npos)
            end = input.size();
        const std::string line = input.substr(begin, end - begin);
        // A line may hold NUL bytes: the reading loop stores them, the parser stops at one.
        CheckRawLine(line, harness->RawLine(line));
        harness->Accumulate(line);
        begin = end + 1;
    }
    const std::string period = harness->WritePeriod();
    FUZZ_CHECK(period.size() == harness->periodWidth, "period line of %zu characters, not %zu: [%s]",
               period.size(), harness->periodWidth, period.c_str());
    for (size_t i = 0; i + 2 < period.size() + 1; ++i) {
        const std::string three = period.substr(i, 3);
        FUZZ_CHECK(strcasecmp(three.c_str(), "nan") != 0 && strcasecmp(three.c_str(), "inf") != 0,
                   "non-finite figure in [%s]", period.c_str());
    }
    for (unsigned char c : period)
        FUZZ_CHECK(c >= 0x20 && c <= 0x7E, "byte 0x%02X in the period line", c);
    return 0;
}
