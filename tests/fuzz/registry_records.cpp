// REG_MULTI_SZ parsing and the registry editor's records over arbitrary value bytes.
//
// The first input byte picks the value's type, the rest are its bytes. The multi-string
// parser gets them in a heap block of exactly their size, so AddressSanitizer catches a read
// past the value. Then the bytes are stored as a registry value of that type (in a temporary
// root) and loaded by a RegEditor. Invariants:
// - the string list holds the non-empty NUL-separated pieces, in order, each terminated,
//   MaximumSize the longest + 1;
// - the editor's record is the value: the text up to the first NUL for REG_SZ and
//   REG_EXPAND_SZ, the bytes for REG_BINARY, the little-endian number for a REG_DWORD of at
//   most four bytes (a longer one is skipped), the pieces for REG_MULTI_SZ;
// - the value stored after it is still loaded.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "support/RegEditor.h"

namespace {

const DWORD Types[] = {REG_NONE,  REG_SZ,       REG_EXPAND_SZ, REG_BINARY,
                       REG_DWORD, REG_MULTI_SZ, REG_QWORD,     0x4711};
const char *const KeyPath = "SOFTWARE\\Kestrune\\Fuzz";

std::vector<std::string> Pieces(const BYTE *data, size_t size) {
    std::vector<std::string> pieces;
    size_t begin = 0;
    while (begin < size) {
        size_t end = begin;
        while (end < size && data[end] != 0)
            ++end;
        if (end > begin)
            pieces.emplace_back(reinterpret_cast<const char *>(data) + begin, end - begin);
        begin = end + 1;
    }
    return pieces;
}

void CheckList(const RegEditStringList &list, const std::vector<std::string> &pieces) {
    FUZZ_CHECK(list.Count == pieces.size(), "%lu strings, %zu pieces", static_cast<unsigned long>(list.Count),
               pieces.size());
    size_t longest = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        longest = pieces[i].size() > longest ? pieces[i].size() : longest;
        FUZZ_CHECK(list.Items[i] != nullptr && strlen(list.Items[i]) == pieces[i].size() &&
                       memcmp(list.Items[i], pieces[i].data(), pieces[i].size()) == 0,
                   "string %zu differs", i);
    }
    FUZZ_CHECK(list.MaximumSize == (pieces.empty() ? 0 : longest + 1), "MaximumSize %lu, longest %zu",
               static_cast<unsigned long>(list.MaximumSize), longest);
}

struct Harness {
    FuzzRoot root;
    HKEY key = nullptr;
    Harness() {
        FUZZ_CHECK(RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS,
                   "key not created");
        const BYTE placeholder[] = {0};
        RegSetValueExA(key, "v", 0, REG_BINARY, placeholder, sizeof placeholder);
        const char after[] = "after";
        RegSetValueExA(key, "w", 0, REG_SZ, reinterpret_cast<const BYTE *>(after), sizeof after);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Harness *harness = new Harness();
    if (size == 0)
        return 0;
    const DWORD type = Types[data[0] % (sizeof Types / sizeof Types[0])];
    const size_t valueSize = size - 1;
    std::unique_ptr<BYTE[]> value(new BYTE[valueSize ? valueSize : 1]);
    memcpy(value.get(), data + 1, valueSize);
    const std::vector<std::string> pieces = Pieces(value.get(), valueSize);

    {
        RegEditStringList list;
        list.Parse(value.get(), static_cast<DWORD>(valueSize));
        CheckList(list, pieces);
        list.Parse(nullptr, static_cast<DWORD>(valueSize));
        CheckList(list, {});
    }

    FUZZ_CHECK(RegSetValueExA(harness->key, "v", 0, type, value.get(), static_cast<DWORD>(valueSize)) ==
                   ERROR_SUCCESS,
               "value not stored");
    RegEditor editor(KeyPath);
    FUZZ_CHECK(editor.FindValue("w") != nullptr, "the value after it was not loaded");
    RegEditEntry *entry = editor.FindValue("v");
    if (type == REG_DWORD && valueSize > sizeof(DWORD)) {
        FUZZ_CHECK(entry == nullptr, "a REG_DWORD of %zu bytes was loaded", valueSize);
        return 0;
    }
    FUZZ_CHECK(entry != nullptr && entry->Type == type, "value not loaded with its type");
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: {
            const RegEditBuffer *buffer = entry->Buffer();
            const size_t length = strnlen(reinterpret_cast<const char *>(value.get()), valueSize);
            FUZZ_CHECK(buffer && buffer->Bytes && buffer->Size == length + 1 && buffer->Bytes[length] == 0 &&
                           memcmp(buffer->Bytes, value.get(), length) == 0,
                       "text record differs");
            break;
        }
        case REG_BINARY: {
            const RegEditBuffer *buffer = entry->Buffer();
            FUZZ_CHECK(buffer && buffer->Size == valueSize &&
                           (valueSize == 0 || memcmp(buffer->Bytes, value.get(), valueSize) == 0),
                       "binary record differs");
            break;
        }
        case REG_DWORD: {
            DWORD expected = 0;
            for (size_t i = 0; i < valueSize; ++i)
                expected |= static_cast<DWORD>(value[i]) << (8 * i);
            FUZZ_CHECK(entry->Dword() && *entry->Dword() == expected, "number %lu, %lu expected",
                       static_cast<unsigned long>(entry->Dword() ? *entry->Dword() : 0),
                       static_cast<unsigned long>(expected));
            break;
        }
        case REG_MULTI_SZ:
            FUZZ_CHECK(entry->StringList() != nullptr, "no string list");
            CheckList(*entry->StringList(), pieces);
            break;
        default:
            FUZZ_CHECK(entry->Data == nullptr, "a record for type %lu", static_cast<unsigned long>(type));
            break;
    }
    return 0;
}
