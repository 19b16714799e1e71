// Expansion of date templates into file names.
#include "services/FileNameTemplate.h"

#include "services/DateAndDirectory.h"

namespace {

// The null-text result, shared with the support libraries' codes.
constexpr DWORD NullTextError = 1006;

// Builds the expanded name; never writes past its capacity and always stays terminated.
class Scratch {
public:
    bool Full() const { return used_ >= Capacity - 1; }

    void Append(char c) {
        if (!Full())
            text_[used_++] = c;
    }

    // Appends value zero-padded to at least width digits ("%0<width>d").
    void AppendNumber(unsigned value, int width) {
        char format[16];
        std::snprintf(format, sizeof format, "%%0%dd", width);
        const size_t room = Capacity - used_;
        const int written = std::snprintf(text_ + used_, room, format, static_cast<int>(value));
        if (written > 0)
            used_ += (static_cast<size_t>(written) < room) ? static_cast<size_t>(written) : room - 1;
    }

    void CopyTo(char *field) const { std::memcpy(field, text_, used_ + 1); }

private:
    static constexpr size_t Capacity = FileNameTemplateSize;
    char text_[Capacity] = {};
    size_t used_ = 0;
};

bool IsControl(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

// Value of one date letter; false for a letter that is not a date item.
bool LetterValue(char letter, int run, const SYSTEMTIME &time, unsigned &value) {
    switch (letter) {
        case 'Y': {
            // The last run digits of the year; from five digits on that is the whole year.
            unsigned modulus = 1;
            for (int i = 0; i < run && modulus < 100000; ++i)
                modulus *= 10;
            value = time.wYear % modulus;
            return true;
        }
        case 'M':
            value = time.wMonth;
            return true;
        case 'D':
            value = time.wDay;
            return true;
        case 'J':
            value = DayOfYear(time);
            return true;
        case 'H':
            value = time.wHour;
            return true;
        case 'm':
            value = time.wMinute;
            return true;
        default:
            return false;
    }
}

}  // namespace

DWORD ExpandFileNameTemplate(char *text, SYSTEMTIME time) {
    if (text == nullptr)
        return NullTextError;

    // The template ends at its terminator or at the end of its field, whichever comes first.
    const void *terminator = std::memchr(text, '\0', FileNameTemplateSize - 1);
    const size_t length = terminator ? static_cast<size_t>(static_cast<const char *>(terminator) - text)
                                     : static_cast<size_t>(FileNameTemplateSize - 1);

    Scratch result;
    size_t i = 0;
    while (i < length && !result.Full()) {
        const char c = text[i++];
        if (IsControl(c))
            continue;
        if (c != '<') {
            result.Append(c);
            continue;
        }
        // A field; one left unclosed consumes the rest of the template.
        while (i < length) {
            const char f = text[i];
            if (f == '>') {
                ++i;
                break;
            }
            // A run of one repeated letter is one date item; its length is the item's width.
            size_t end = i + 1;
            while (end < length && text[end] == f)
                ++end;
            const int run = static_cast<int>(end - i);
            unsigned value = 0;
            if (f == 'S' || LetterValue(f, run, time, value)) {
                if (f != 'S')
                    result.AppendNumber(value, run);
                i = end;
            } else {
                ++i;  // any other character inside a field is dropped
            }
        }
    }
    result.CopyTo(text);
    return 0;
}

DWORD ExpandFileNameTemplateNow(char *text) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return ExpandFileNameTemplate(text, now);
}
