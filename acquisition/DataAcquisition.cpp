// DataAcquisition engine core: construction and destruction, the process-wide processor
// bookkeeping, Start, Stop and the engine thread.
#include "acquisition/DataAcquisition.h"

#include <new>

#include "services/Win32Util.h"

LONG DataAcquisition::LiveInstances = 0;
DWORD DataAcquisition::LogicalProcessorCount = 0;
DWORD DataAcquisition::NextProcessorIndex = 4;

namespace {

// Bounds of Stop's waits for the archive and engine threads, in milliseconds.
constexpr DWORD ThreadEndTimeout = 10000;
// Exit code given to a thread that had to be terminated (all 32 bits set).
constexpr DWORD TerminatedExitCode = static_cast<DWORD>(-1);
// Exit codes of the engine thread.
constexpr unsigned EngineStoppedBeforeStart = 1;
constexpr unsigned EngineEndedByException = 2;
// Tries of the processor enumeration while it keeps asking for a bigger buffer.
constexpr int ProcessorInformationTries = 8;

typedef BOOL(WINAPI *GetLogicalProcessorInformationFunction)(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION, PDWORD);

unsigned CountBits(ULONG_PTR mask) {
    unsigned count = 0;
    for (; mask != 0; mask &= mask - 1)
        ++count;
    return count;
}

}  // namespace

DataAcquisition::DataAcquisition(EventLog &eventLog) : EventLogRef(eventLog) {
    // The sample buffers and their records are constructed as members.
    static const char DefaultName[] = "Metek1";
    Name = new char[sizeof DefaultName];
    std::memcpy(Name, DefaultName, sizeof DefaultName);

    ReinitRequestEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    AbortReinitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StopRequestEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ArchiveStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ArchiveIdleEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ReinitIdleEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EngineReadyEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (SampleBuffer &buffer : Buffers)
        buffer.BufferReadyEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);

    FillBufferIndex = 0;
    FillRecord = &Buffers[0].Records[0];
    GetSystemTimeAsFileTime(&DayStart);

    // The first live engine of the process reports the priority class and counts processors.
    if (++LiveInstances == 1) {
        CheckProcessPriority();
        CountLogicalProcessors();
    }

    // Each engine gets the next logical processor, wrapping to 0 past the last one counted.
    ProcessorIndex = NextProcessorIndex;
    // An index beyond the mask's width gets no mask: the system refuses it and the engine
    // thread runs unpinned, as for any processor it may not use.
    AffinityMask = (ProcessorIndex < 32) ? (static_cast<DWORD>(1) << ProcessorIndex) : 0;
    NextProcessorIndex = (ProcessorIndex + 1 < LogicalProcessorCount) ? ProcessorIndex + 1 : 0;
}

DataAcquisition::~DataAcquisition() {
    --LiveInstances;
    delete[] Name;
    Name = nullptr;

    HANDLE *const ordered[] = {&ReinitRequestEvent, &AbortReinitEvent, &StopRequestEvent, &ArchiveStopEvent,
                               &ArchiveIdleEvent,   &ReinitIdleEvent,  &EngineReadyEvent};
    for (HANDLE *event : ordered) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
    for (SampleBuffer &buffer : Buffers) {
        if (buffer.BufferReadyEvent != nullptr) {
            CloseHandle(buffer.BufferReadyEvent);
            buffer.BufferReadyEvent = nullptr;
        }
        for (SampleRecord &record : buffer.Records) {
            delete[] record.Text;
            record.Text = nullptr;
        }
    }
}

void DataAcquisition::CheckProcessPriority() {
    char message[MessageSize];
    if (GetPriorityClass(GetCurrentProcess()) == REALTIME_PRIORITY_CLASS) {
        std::snprintf(message, sizeof message, EventCode::ProcessPrioritySet.Formats[0], Name);
        EventLogRef.Write(EventCode::ProcessPrioritySet, message);
    } else {
        std::snprintf(message, sizeof message, EventCode::ProcessSetup.Formats[0], Name);
        EventLogRef.Write(EventCode::ProcessSetup, message);
    }
}

void DataAcquisition::CountLogicalProcessors() {
    char message[MessageSize];
    std::snprintf(message, sizeof message, EventCode::ProcessSetup.Formats[2]);

    // Each enumeration establishes the count afresh.
    LogicalProcessorCount = 0;

    // Looked up at run time: the function is missing from old systems.
    GetLogicalProcessorInformationFunction getInformation = nullptr;
    HMODULE kernel = GetModuleHandleA("kernel32");
    if (kernel != nullptr) {
        // Through a generic function pointer type, which converts to any other without warning.
        getInformation = reinterpret_cast<GetLogicalProcessorInformationFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(kernel, "GetLogicalProcessorInformation")));
    }

    if (getInformation != nullptr) {
        SYSTEM_LOGICAL_PROCESSOR_INFORMATION *information = nullptr;
        DWORD length = 0;
        BOOL done = getInformation(nullptr, &length);
        for (int tries = 0;
             !done && tries < ProcessorInformationTries && GetLastError() == ERROR_INSUFFICIENT_BUFFER;
             ++tries) {
            std::free(information);
            information =
                static_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION *>(std::malloc(length ? length : 1));
            if (information == nullptr)
                break;
            done = getInformation(information, &length);
        }
        if (done && information != nullptr) {
            // Only whole entries within the reported length; each core entry counts the
            // logical processors of its mask at the mask's full width.
            const DWORD entries = length / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION);
            DWORD count = 0;
            for (DWORD i = 0; i < entries; ++i) {
                if (information[i].Relationship == RelationProcessorCore)
                    count += CountBits(information[i].ProcessorMask);
            }
            LogicalProcessorCount = count;
            std::snprintf(message, sizeof message, EventCode::ProcessSetup.Formats[1],
                          static_cast<int>(LogicalProcessorCount));
        }
        std::free(information);
    }

    EventLogRef.Write(EventCode::ProcessSetup, message);
}

DWORD DataAcquisition::Start() {
    char message[MessageSize];
    std::snprintf(message, sizeof message, EventCode::EngineStartRequested.Formats[0], Name);
    EventLogRef.Write(EventCode::EngineStartRequested, message);

    // One engine thread per engine: a second would fill the same ring. Stop releases the
    // thread, after which the engine may be started again.
    if (EngineThreadHandle != nullptr)
        return ERROR_BUSY;

    const uintptr_t thread = _beginthreadex(nullptr, 0, EngineThread, this, 0, &ThreadId);
    if (thread == 0) {
        // A failure must never read as success, even when the runtime left no error code.
        const DWORD error = GetLastError();
        return error != 0 ? error : static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    }
    EngineThreadHandle = reinterpret_cast<HANDLE>(thread);

    // The thread is already running: its first instructions may run at normal priority on any
    // processor of the process.
    SetThreadPriority(EngineThreadHandle, THREAD_PRIORITY_TIME_CRITICAL);
    if (GetThreadPriority(EngineThreadHandle) == THREAD_PRIORITY_TIME_CRITICAL) {
        std::snprintf(message, sizeof message, EventCode::ThreadPrioritySet.Formats[0], Name);
        EventLogRef.Write(EventCode::ThreadPrioritySet, message);
    } else {
        std::snprintf(message, sizeof message, EventCode::ThreadPriorityFailed.Formats[0], Name);
        EventLogRef.Write(EventCode::ThreadPriorityFailed, message);
    }

    UseExistingProcessor();
    if (SetThreadAffinityMask(EngineThreadHandle, AffinityMask) != 0) {
        std::snprintf(message, sizeof message, EventCode::ProcessorAssignment.Formats[0], Name,
                      static_cast<int>(ProcessorIndex), static_cast<unsigned long>(AffinityMask));
    } else {
        std::snprintf(message, sizeof message, EventCode::ProcessorAssignment.Formats[1], Name,
                      static_cast<int>(ProcessorIndex), static_cast<int>(GetLastError()));
    }
    EventLogRef.Write(EventCode::ProcessorAssignment, message);
    return 0;
}

void DataAcquisition::UseExistingProcessor() {
    // A machine with fewer processors than the engine's index (two-core station PCs) gets
    // the last processor the process may run on instead: a warning once, not an error at
    // every start. An index the machine has keeps the design's outcome, failure included.
    if (LogicalProcessorCount == 0 || ProcessorIndex < LogicalProcessorCount)
        return;
    DWORD_PTR processMask = 0, systemMask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask) || processMask == 0)
        return;
    DWORD last = 0;
    for (DWORD cpu = 0; cpu < 32; ++cpu)
        if (processMask & (static_cast<DWORD_PTR>(1) << cpu))
            last = cpu;
    char message[MessageSize];
    std::snprintf(message, sizeof message, EventCode::ProcessorFallback.Formats[0], Name,
                  static_cast<int>(ProcessorIndex), static_cast<int>(LogicalProcessorCount),
                  static_cast<int>(last));
    EventLogRef.Write(EventCode::ProcessorFallback, message);
    ProcessorIndex = last;
    AffinityMask = static_cast<DWORD>(1) << last;
}

unsigned __stdcall DataAcquisition::EngineThread(void *engine) {
    DataAcquisition *self = static_cast<DataAcquisition *>(engine);
    if (IsSignalled(self->StopRequestEvent))
        return EngineStoppedBeforeStart;
    // The instrument raises SerialAcquisitionException when its port cannot be opened or
    // configured (it has logged why). The exception class belongs to the instrument layer,
    // so it is caught generically here: whatever leaves Acquire ends this thread only.
    try {
        self->Acquire();
    } catch (...) {
        return EngineEndedByException;
    }
    return 0;
}

void DataAcquisition::Stop() {
    char message[MessageSize];
    std::snprintf(message, sizeof message, EventCode::EngineStopping.Formats[0], Name);
    EventLogRef.Write(EventCode::EngineStopping, message);

    SetEvent(StopRequestEvent);

    // A running (re)initialization is asked to end and waited for.
    if (!IsSignalled(ReinitIdleEvent)) {
        SetEvent(AbortReinitEvent);
        WaitForSingleObject(ReinitIdleEvent, INFINITE);
        ResetEvent(AbortReinitEvent);
    }

    // An archive thread still waiting for the engine goes on and sees the stop.
    if (!IsSignalled(EngineReadyEvent))
        SetEvent(EngineReadyEvent);

    // The engine thread ends first: it keeps the complete lines the port still holds and hands
    // its partial buffer over. Only then is the archive thread told to stop, so that it
    // archives every buffer handed over, the last one included, before it ends.
    if (EngineThreadHandle != nullptr)
        EndThreadWithin(EngineThreadHandle, "engine");

    if (ArchiveThreadHandle != nullptr) {
        SetEvent(ArchiveStopEvent);
        EndThreadWithin(ArchiveThreadHandle, "archive");
        CloseHandle(ArchiveThreadHandle);
        ArchiveThreadHandle = nullptr;
        // The archive thread's view of the clock-synchronisation block goes with it.
        CloseClockSyncBlock();
    }

    ResetEvent(StopRequestEvent);
    ResetEvent(EngineReadyEvent);

    if (EngineThreadHandle != nullptr) {
        CloseHandle(EngineThreadHandle);
        EngineThreadHandle = nullptr;
    }
}

void DataAcquisition::EndThreadWithin(HANDLE thread, const char *role) {
    if (WaitForSingleObject(thread, ThreadEndTimeout) == WAIT_OBJECT_0)
        return;
    TerminateThread(thread, TerminatedExitCode);
    char message[MessageSize];
    std::snprintf(message, sizeof message, EventCode::ThreadTerminated.Formats[0], Name, role,
                  static_cast<unsigned long>(ThreadEndTimeout));
    EventLogRef.Write(EventCode::ThreadTerminated, message);
}

void DataAcquisition::CloseClockSyncBlock() {
    if (ClockSyncMutex != nullptr) {
        CloseHandle(ClockSyncMutex);
        ClockSyncMutex = nullptr;
    }
    if (ClockSyncMapping != nullptr) {
        if (ClockSyncView != nullptr) {
            UnmapViewOfFile(ClockSyncView);
            ClockSyncView = nullptr;
        }
        CloseHandle(ClockSyncMapping);
        ClockSyncMapping = nullptr;
    }
    ClockSyncActive = 0;
}
