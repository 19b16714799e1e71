// File-name template expansion with arbitrary templates and times.
//
// The first 16 bytes of the input are the time (every SYSTEMTIME field, unchecked), the rest
// the template, in a field of exactly FileNameTemplateSize bytes on the heap, so a read or a
// write past the field is caught by AddressSanitizer. Invariants:
// - the result is terminated inside the field (under 260 characters);
// - it holds no control character and no '<' (fields are always consumed);
// - a template with no '<' and no control character comes back unchanged;
// - expanding the same template and time twice gives the same result.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "services/FileNameTemplate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    SYSTEMTIME time = {};
    const size_t timeBytes = size < sizeof time ? size : sizeof time;
    memcpy(&time, data, timeBytes);
    data += timeBytes;
    size -= timeBytes;

    // The field: the template's bytes, then a terminator when they leave room; a template of
    // 259 characters or more fills the field without one.
    std::unique_ptr<char[]> field(new char[FileNameTemplateSize]);
    memset(field.get(), 'x', FileNameTemplateSize);
    const size_t copied = size < static_cast<size_t>(FileNameTemplateSize) ? size : FileNameTemplateSize;
    memcpy(field.get(), data, copied);
    if (copied < static_cast<size_t>(FileNameTemplateSize))
        field[copied] = '\0';
    const void *nul = memchr(field.get(), '\0', FileNameTemplateSize - 1);
    const std::string original(field.get(),
                               nul ? static_cast<const char *>(nul) - field.get() : FileNameTemplateSize - 1);

    std::unique_ptr<char[]> again(new char[FileNameTemplateSize]);
    memcpy(again.get(), field.get(), FileNameTemplateSize);

    FUZZ_CHECK(ExpandFileNameTemplate(field.get(), time) == 0, "expansion failed");
    const void *end = memchr(field.get(), '\0', FileNameTemplateSize);
    FUZZ_CHECK(end != nullptr, "result not terminated inside the field");
    const std::string result(field.get());
    FUZZ_CHECK(result.size() < static_cast<size_t>(FileNameTemplateSize), "result of %zu characters",
               result.size());

    bool tokens = false;
    for (unsigned char c : original)
        if (c == '<' || c < 0x20 || c == 0x7F)
            tokens = true;
    for (unsigned char c : result) {
        FUZZ_CHECK(c >= 0x20 && c != 0x7F, "control character 0x%02X in [%s]", c, result.c_str());
        FUZZ_CHECK(c != '<', "'<' left in [%s] from [%s]", result.c_str(), original.c_str());
    }
    if (!tokens)
        FUZZ_CHECK(result == original, "[%s] became [%s]", original.c_str(), result.c_str());

    FUZZ_CHECK(ExpandFileNameTemplate(again.get(), time) == 0, "expansion failed");
    FUZZ_CHECK(strcmp(again.get(), field.get()) == 0, "two expansions differ");
    return 0;
}
