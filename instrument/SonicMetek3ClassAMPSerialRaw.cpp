// The raw data line of the uSonic-3: every good record's comma-separated text is rewritten
// into nine space-separated texts (status field, u, v, w, T, A1, A2, A3, A4) ended by CR LF.
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/Win32Util.h"

namespace {

// Writes a finite value whose magnitude is below 2^31 + 1 with three decimals, exactly as
// "%.3f" does (the binary value itself rounded, a tie to the even neighbour, a minus sign for
// every negative value, -0.0 included), without printf, which costs more than the rest of
// the raw line together. Returns the characters written (at most 16).
int FormatThreeDecimals(char *text, double value) {
    const double magnitude = std::fabs(value);
    // The product is rounded; fma gives its exact error, so the rounding to thousandths is
    // decided on the exact value: fraction - 0.5 is exact, and compared with -error exactly.
    const double scaled = magnitude * 1000.0;
    const double error = std::fma(magnitude, 1000.0, -scaled);
    const double whole = std::floor(scaled);
    const double above = (scaled - whole) - 0.5;
    unsigned long long thousandths = static_cast<unsigned long long>(whole);
    if (above > -error || (above == -error && (thousandths & 1) != 0))
        ++thousandths;
    char digits[24];
    int count = 0;
    for (int i = 0; i < 3; ++i) {
        digits[count++] = static_cast<char>('0' + thousandths % 10);
        thousandths /= 10;
    }
    digits[count++] = '.';
    do {
        digits[count++] = static_cast<char>('0' + thousandths % 10);
        thousandths /= 10;
    } while (thousandths != 0);
    int length = 0;
    if (std::signbit(value))
        text[length++] = '-';
    while (count > 0)
        text[length++] = digits[--count];
    text[length] = '\0';
    return length;
}

// Writes the value with three decimals, or "-99." when it counts as missing, is 95 or more,
// is not a finite number or has an integer part outside the 32-bit range. The last two are
// kept out because they have no truncated integer to test and could need hundreds of digits.
// The tests apply to the value as written, rounded to three decimals: 94.9996 would read back
// as 95.000 and -98.9996 as -99.000, the missing value.
int FormatRawValue(char *text, double value) {
    if (std::isfinite(value)) {
        const double whole = std::trunc(value);
        if (whole >= static_cast<double>(INT_MIN) && whole <= static_cast<double>(INT_MAX)) {
            const int length = FormatThreeDecimals(text, value);
            const double written = std::trunc(ReadInstrumentNumber(text));
            if (written != -99.0 && written < 95.0)
                return length;
        }
    }
    memcpy(text, "-99.", 5);
    return 4;
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

        // The line is put together here: the status text (at most StatusFieldUsed characters),
        // eight values of at most 16 characters each, their blanks, CR and LF.
        const double values[8] = {U, V, W, T, A1, A2, A3, A4};
        char line[StatusFieldSize + 8 * 18 + 3];
        size_t length = strlen(RawStatusText);
        memcpy(line, RawStatusText, length);
        int valueLengths[8] = {};
        for (int i = 0; i < 8; ++i) {
            const int valueLength = FormatRawValue(ValueTexts[i], values[i]);
            valueLengths[i] = valueLength;
            line[length++] = ' ';
            memcpy(line + length, ValueTexts[i], static_cast<size_t>(valueLength));
            length += static_cast<size_t>(valueLength);
        }
        line[length++] = '\r';
        line[length++] = '\n';
        line[length] = '\0';

        // The record keeps its array when the new line fits, else gets a new one.
        const LONG needed = static_cast<LONG>(length) + 1;
        if (record.Length < needed || !record.Text) {
            char *text = new (std::nothrow) char[static_cast<size_t>(needed)]();
            if (!text)
                continue;  // the received text stays as it is
            delete[] record.Text;
            record.Text = text;
        }
        memcpy(record.Text, line, static_cast<size_t>(needed));
        record.Length = needed - 1;

        // The flux periods get the record as the raw file gives it back: u, v, w and T read
        // from their texts, the stamp to the millisecond of the raw time key.
        if (FluxSettings.Period != 0) {
            flux::Record sample;
            sample.Time = static_cast<flux::Stamp>(FileTimeToUnits(record.TimeStamp)) /
                          flux::UnitsPerMillisecond * flux::UnitsPerMillisecond;
            double *fields[4] = {&sample.U, &sample.V, &sample.W, &sample.T};
            for (int i = 0; i < 4; ++i)
                *fields[i] = flux::ReadRawValue(ValueTexts[i], static_cast<size_t>(valueLengths[i]));
            try {
                FluxRecords.push_back(sample);
            } catch (const std::bad_alloc &) {
                FluxRecordsIncomplete = true;
            }
        }
    }

    DataAcquisition::ProcessRawSamples();
}
