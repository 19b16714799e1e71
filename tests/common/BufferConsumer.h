// Stands in for the archive thread in tests and benchmarks: takes each handed-over buffer,
// copies its records and sets its SampleCount back to 0 (or holds it, to play an archive that
// has fallen behind).
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "instrument/SonicMetek3ClassAMPSerial.h"

struct Received {
    std::string Text;
    ULONGLONG Stamp;
    int Buffer;
};

class Consumer {
    static constexpr DWORD Guard = 30000;  // failure guard; never reached when all is well

public:
    Consumer(SonicMetek3ClassAMPSerial &engine, bool hold) : engine_(engine), hold_(hold) {
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        progress_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        thread_ = std::thread([this] { Run(); });
    }
    ~Consumer() {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
        CloseHandle(progress_);
    }

    // Waits until at least count records have come in.
    bool WaitForRecords(size_t count) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (records_.size() >= count)
                    return true;
            }
            if (WaitForSingleObject(progress_, Guard) != WAIT_OBJECT_0)
                return false;
        }
    }
    bool WaitForHandOvers(size_t count) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (sizes_.size() >= count)
                    return true;
            }
            if (WaitForSingleObject(progress_, Guard) != WAIT_OBJECT_0)
                return false;
        }
    }
    // Gives every held buffer back.
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int b : held_)
            engine_.Buffers[b].SampleCount.store(0, std::memory_order_release);
        held_.clear();
        hold_ = false;
    }
    std::vector<Received> Records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    std::vector<DWORD> Sizes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes_;
    }

private:
    void Run() {
        HANDLE waitSet[1 + DataAcquisition::BufferCount] = {stop_};
        for (int b = 0; b < DataAcquisition::BufferCount; ++b)
            waitSet[1 + b] = engine_.Buffers[b].BufferReadyEvent;
        for (;;) {
            DWORD result = WaitForMultipleObjects(1 + DataAcquisition::BufferCount, waitSet, FALSE, INFINITE);
            if (result == WAIT_OBJECT_0 || result == WAIT_FAILED)
                return;
            int b = static_cast<int>(result - WAIT_OBJECT_0 - 1);
            SampleBuffer &buffer = engine_.Buffers[b];
            DWORD count = buffer.SampleCount.load(std::memory_order_acquire);
            std::lock_guard<std::mutex> lock(mutex_);
            for (DWORD i = 0; i < count; ++i) {
                const SampleRecord &r = buffer.Records[i];
                ULONGLONG stamp =
                    (static_cast<ULONGLONG>(r.TimeStamp.dwHighDateTime) << 32) | r.TimeStamp.dwLowDateTime;
                records_.push_back({std::string(r.Text, static_cast<size_t>(r.Length)), stamp, b});
                statusGood_ = statusGood_ && r.Status == SampleGood && r.Text[r.Length] == '\0';
            }
            sizes_.push_back(count);
            if (hold_)
                held_.push_back(b);
            else
                buffer.SampleCount.store(0, std::memory_order_release);
            SetEvent(progress_);
        }
    }

    SonicMetek3ClassAMPSerial &engine_;
    bool hold_;
    HANDLE stop_ = nullptr;
    HANDLE progress_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Received> records_;
    std::vector<DWORD> sizes_;
    std::vector<int> held_;

public:
    bool statusGood_ = true;
};
