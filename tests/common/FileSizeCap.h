// A cap on the size of every file this process writes (RLIMIT_FSIZE), with SIGXFSZ ignored,
// so that a write across the cap comes back short and the next one fails with EFBIG, as on a
// disk that fills up. POSIX only: the tests that use it run on Linux only.
#pragma once

#include <sys/resource.h>

#include <csignal>

class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes) {
        if (getrlimit(RLIMIT_FSIZE, &saved_) != 0 ||
            (saved_.rlim_max != RLIM_INFINITY && saved_.rlim_max < bytes))
            return;
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = saved_;
        capped.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &capped) == 0;
        if (!active_)
            std::signal(SIGXFSZ, previousHandler_);
    }
    ~FileSizeCap() { Lift(); }
    FileSizeCap(const FileSizeCap &) = delete;
    FileSizeCap &operator=(const FileSizeCap &) = delete;

    void Lift() {
        if (!active_)
            return;
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
        active_ = false;
    }
    // False when the limit could not be lowered here (the test skips then).
    bool Active() const { return active_; }

private:
    rlimit saved_ = {};
    void (*previousHandler_)(int) = SIG_DFL;
    bool active_ = false;
};
