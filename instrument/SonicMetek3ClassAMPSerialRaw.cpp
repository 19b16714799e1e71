// The raw data line of the uSonic-3: every good record's comma-separated text is rewritten
// into nine space-separated texts (status field, u, v, w, T, A1, A2, A3, A4) ended by CR LF.
#include <climits>
#include <new>

#include "instrument/SonicMetek3ClassAMPSerial.h"

namespace {

// Room for a value of 32-bit integer part with three decimals.
constexpr size_t ValueTextSizeForRounding = 32;

// Writes the value with three decimals, or "-99." when it counts as missing, is 95 or more,
// is not a finite number or has an integer part outside the 32-bit range. The last two are
// kept out because they have no truncated integer to test and could need hundreds of digits.
// The tests apply to the value as written, rounded to three decimals: 94.9996 would read back
// as 95.000 and -98.9996 as -99.000, the missing value.
void FormatRawValue(char *text, size_t size, double value) {
    snprintf(text, size, "%.0f.", MissingValue);
    if (!std::isfinite(value))
        return;
    const double whole = std::trunc(value);
    if (whole < static_cast<double>(INT_MIN) || whole > static_cast<double>(INT_MAX))
        return;
    char written[ValueTextSizeForRounding];
    snprintf(written, sizeof written, "%.3f", value);
    const double printed = std::trunc(ReadInstrumentNumber(written));
    if (printed != -99.0 && printed < 95.0)
        snprintf(text, size, "%s", written);
}

// Copies the StatusField into the raw line's text with every byte that is not printable ASCII,
// and every blank, written as '?': the status stays one field of printable characters, and no
// stray carriage return or line feed can break the file's lines.
void CopyStatusText(char *text, size_t size, const char *status, int used) {
    size_t i = 0;
    for (; i + 1 < size && static_cast<int>(i) < used && status[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(status[i]);
        text[i] = (c <= 0x20 || c > 0x7E) ? '?' : static_cast<char>(c);
    }
    if (size > 0)
        text[i] = '\0';
}

}  // namespace

void SonicMetek3ClassAMPSerial::ProcessRawSamples() {
    SampleBuffer &buffer = Buffers[CurrentBuffer];
    const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);

    for (CurrentSample = 0; CurrentSample < count && CurrentSample < SampleBuffer::Capacity;
         ++CurrentSample) {
        SampleRecord &record = buffer.Records[CurrentSample];
        if (record.Status != SampleGood)
            continue;

        ParseRecord(record, true);
        CopyStatusText(RawStatusText, sizeof RawStatusText, StatusField, StatusFieldUsed);

        const double values[8] = {U, V, W, T, A1, A2, A3, A4};
        size_t size = strlen(RawStatusText) + 11;  // eight blanks, CR, LF, terminator
        for (int i = 0; i < 8; ++i) {
            FormatRawValue(ValueTexts[i], sizeof ValueTexts[i], values[i]);
            size += strlen(ValueTexts[i]);
        }

        char *line = new (std::nothrow) char[size];
        if (!line)
            continue;  // the received text stays as it is
        int length = snprintf(line, size, "%s %s %s %s %s %s %s %s %s\r\n", RawStatusText, ValueTexts[0],
                              ValueTexts[1], ValueTexts[2], ValueTexts[3], ValueTexts[4], ValueTexts[5],
                              ValueTexts[6], ValueTexts[7]);
        if (length < 0 || static_cast<size_t>(length) >= size) {
            delete[] line;
            continue;
        }

        // The record keeps its array when the new line fits, else gets a new one.
        const LONG needed = static_cast<LONG>(length) + 1;
        if (record.Length < needed || !record.Text) {
            char *text = new (std::nothrow) char[static_cast<size_t>(needed)]();
            if (!text) {
                delete[] line;
                continue;
            }
            delete[] record.Text;
            record.Text = text;
        }
        memcpy(record.Text, line, static_cast<size_t>(needed));
        record.Length = needed - 1;
        delete[] line;
    }

    DataAcquisition::ProcessRawSamples();
}
