// Cost of the registry on POSIX: one write on an open key, and one whole bookkeeping update
// through RegEditor (open the key, load its values, write both values, close).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/win32.h"
#include "services/StationFormats.h"
#include "support/RegEditor.h"

namespace {

const char *const KeyPath = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";

// A fresh KESTRUNE_ROOT for one benchmark, removed afterwards.
class ScratchRoot {
public:
    ScratchRoot() {
        char pattern[] = "/tmp/kestrune-bench-XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
        setenv("KESTRUNE_ROOT", path_.c_str(), 1);
    }
    ~ScratchRoot() {
        unsetenv("KESTRUNE_ROOT");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

private:
    std::string path_;
};

void SetDwordOnOpenKey(benchmark::State &state) {
    ScratchRoot root;
    HKEY key = nullptr;
    char noClass[1] = "";
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        state.SkipWithError("cannot create the key");
        return;
    }
    DWORD value = 0;
    for (auto _ : state) {
        ++value;
        if (RegSetValueExA(key, "ArchiveSamples", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4) !=
            ERROR_SUCCESS)
            state.SkipWithError("write failed");
    }
    RegCloseKey(key);
}
BENCHMARK(SetDwordOnOpenKey)->Unit(benchmark::kMicrosecond);

void BookkeepingUpdate(benchmark::State &state) {
    ScratchRoot root;
    DWORD samples = 0;
    SYSTEMTIME time;
    GetSystemTime(&time);
    for (auto _ : state) {
        RegEditor editor(KeyPath);
        editor.CurrentValue = editor.FindValue("ArchiveSamples");
        if (!editor.CurrentValue)
            editor.CurrentValue = editor.AddValue("ArchiveSamples", REG_DWORD);
        editor.LastResult = editor.CurrentValue->Value->SetDword("ArchiveSamples", ++samples);
        editor.SetStringValue("ArchiveDate", ArchiveDateText(time).Text);
    }
}
BENCHMARK(BookkeepingUpdate)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
