// Serial ports (POSIX layer): COM devices over termios.
//
// "\\.\COMn" opens $KESTRUNE_COMn when set, else /dev/ttyS<n-1>; CreateFileA of a native
// device path ("/dev/ttyUSB0", "/dev/serial/by-id/...", any path that names a character
// device) opens that device the same way, through the path as it is at each open, so a
// symbolic link that has moved to another tty is followed on the next open. The open is exclusive:
// flock(LOCK_EX|LOCK_NB) on the device (TIOCEXCL alone does not hold against root) plus
// TIOCEXCL; a second open fails with ERROR_ACCESS_DENIED. The tty is put in raw mode, as a
// Windows port always is, and USB adapters are asked for low latency (ASYNC_LOW_LATENCY).
//
// Each open port has a reader thread that moves bytes from the tty into the layer's own
// receive queue (sized by SetupComm). That queue is what ReadFile reads and ClearCommError
// counts, and it lets the layer see every byte as it arrives: when the event character comes
// in, a pending WaitCommEvent completes at once (or the event is remembered for the next
// wait), and the performance-counter reading of its arrival is kept for
// KestruneGetCommArrivalTimes. The reading of every chunk the reader takes from the tty is
// kept with the chunk's bytes, and handed out with them (split where a read splits a chunk)
// through KestruneGetCommChunkTimes: the reading loop estimates from it when each line's
// first byte came. While the queue is full the reader leaves the bytes in the tty, so the
// peer is held back instead of bytes being dropped.
//
// KestruneGetCommLatency tells whether a USB adapter kept the low-latency request of the open
// (read back with TIOCGSERIAL) and what its latency timer is (latency_timer of the device or
// of its parent in sysfs, where ftdi_sio and its kind keep it).
//
// DCB onto termios: baud rates of the termios table, 5-8 data bits, parity none/odd/even/
// mark/space (CMSPAR), one or two stop bits (one and a half only with 5 data bits, where the
// UART gives it for CSTOPB), XON/XOFF with its characters (IXON/IXOFF, VSTART/VSTOP), RTS/CTS
// (CRTSCTS), DTR and RTS lines (TIOCMBIS/TIOCMBIC; ignored by devices without modem lines, such
// as ptys), fNull (null bytes dropped by the reader). Deliberate differences: XonLim and
// XoffLim are kept but the kernel uses its own thresholds; fTXContinueOnXoff, EofChar and
// fAbortOnError are kept only (the layer reports no line errors that could abort). Settings
// POSIX cannot express (DSR flow control or sensitivity, DTR handshake, RTS toggle, one-way
// CTS flow control, error-character replacement, baud rates outside the table) are refused
// with ERROR_INVALID_PARAMETER, and a refused SetCommState leaves the port as it was.
//
// Overlapped operations need an event in the OVERLAPPED (a null hEvent, which Windows
// answers by signalling the handle, fails with ERROR_INVALID_PARAMETER). Writes complete
// before WriteFile returns. Only EV_RXCHAR, EV_RXFLAG and EV_RX80FULL can be waited for.
// EV_RX80FULL fires when the receive queue reaches 80 % of its size.
//
// A device that hangs up (a pty whose other end closed, a USB adapter pulled out: POLLHUP,
// end of file or EIO) behaves as a removed device on Windows: a pending WaitCommEvent
// completes with ERROR_OPERATION_ABORTED, later WaitCommEvent calls fail with
// ERROR_GEN_FAILURE, and once the bytes received before the hang-up have been read, so do
// ClearCommError and ReadFile.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "platform/posix/handles_internal.h"

namespace kestrune {
namespace {

// Status values of OVERLAPPED.Internal, as the system keeps them.
const ULONG_PTR StatusSuccess = 0;
const ULONG_PTR StatusPending = 0x103;
const ULONG_PTR StatusCancelled = 0xC0000120;

const DWORD DefaultQueueSize = 4096;
const DWORD MaximumQueueSize = 1u << 24;
const DWORD SupportedEvents = EV_RXCHAR | EV_RXFLAG | EV_RX80FULL;
// Arrival readings handed out by ReadFile but not yet collected are kept up to this many.
const size_t MaximumDeliveredTimes = 1u << 16;

void StoreStatus(LPOVERLAPPED overlapped, ULONG_PTR status, ULONG_PTR transferred) {
    __atomic_store_n(&overlapped->InternalHigh, transferred, __ATOMIC_RELAXED);
    __atomic_store_n(&overlapped->Internal, status, __ATOMIC_RELEASE);
}

ULONG_PTR LoadStatus(const OVERLAPPED *overlapped) {
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
}

// Completes an overlapped operation: status, byte count, then its event.
void Complete(LPOVERLAPPED overlapped, ULONG_PTR status, ULONG_PTR transferred) {
    HANDLE event = overlapped->hEvent;
    StoreStatus(overlapped, status, transferred);
    if (event != nullptr)
        SetEvent(event);
}

LONGLONG CounterNow() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

ULONGLONG MillisecondsNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

struct BaudEntry {
    DWORD rate;
    speed_t speed = B0;
};

const BaudEntry BaudTable[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedFromRate(DWORD rate, speed_t *speed) {
    for (const BaudEntry &entry : BaudTable) {
        if (entry.rate == rate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

DWORD RateFromSpeed(speed_t speed) {
    for (const BaudEntry &entry : BaudTable) {
        if (entry.speed == speed)
            return entry.rate;
    }
    return 0;
}

#ifdef __linux__
// The latency timer of a USB serial adapter in milliseconds, from sysfs: the tty's device or
// its parent (the USB interface) has latency_timer. 0 where there is none.
DWORD LatencyTimerOf(const char *path) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr)
        return 0;
    const char *name = strrchr(resolved, '/');
    name = name != nullptr ? name + 1 : resolved;
    const char *const places[] = {"/sys/class/tty/%s/device/latency_timer",
                                  "/sys/class/tty/%s/device/../latency_timer"};
    for (const char *place : places) {
        char file[PATH_MAX];
        snprintf(file, sizeof file, place, name);
        FILE *timer = fopen(file, "r");
        if (timer == nullptr)
            continue;
        unsigned long ms = 0;
        const bool read = fscanf(timer, "%lu", &ms) == 1;
        fclose(timer);
        if (read)
            return static_cast<DWORD>(ms);
    }
    return 0;
}
#endif

bool IsModemLineError(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOTSUP || err == ENOSYS;
}

class SerialPort : public KernelObject {
public:
    SerialPort() : KernelObject(ObjectKind::SerialPort) {}
    ~SerialPort() override;

    DWORD Open(const char *path, bool overlapped);

    BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) override;
    BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) override;
    BOOL Flush() override;

    BOOL Setup(DWORD inQueue, DWORD outQueue);
    BOOL Properties(LPCOMMPROP properties);
    BOOL GetTimeouts(LPCOMMTIMEOUTS timeouts);
    BOOL SetTimeouts(const COMMTIMEOUTS *timeouts);
    BOOL GetState(LPDCB dcb);
    BOOL SetState(const DCB *dcb);
    BOOL GetMask(LPDWORD mask);
    BOOL SetMask(DWORD mask);
    BOOL WaitEvent(LPDWORD mask, LPOVERLAPPED overlapped);
    BOOL ClearError(LPDWORD errors, LPCOMSTAT status);
    BOOL Purge(DWORD flags);
    BOOL Cancel();
    DWORD TakeArrivalTimes(LARGE_INTEGER *times, DWORD capacity);
    DWORD TakeChunkTimes(KESTRUNE_COMM_CHUNK *chunks, DWORD capacity);
    void Latency(KESTRUNE_COMM_LATENCY *latency) const {
        latency->LowLatencyRefused = lowLatencyRefused_ ? 1 : 0;
        latency->LatencyTimerMs = latencyTimerMs_;
    }

private:
    struct PendingRead {
        LPOVERLAPPED overlapped = nullptr;
        char *buffer = nullptr;
        DWORD wanted = 0;
        DWORD got = 0;
        ULONGLONG totalDeadline = 0;  // 0: none
        DWORD interval = 0;           // 0: none
        ULONGLONG lastByte = 0;
    };

    static void *ReaderMain(void *self);
    void ReaderLoop();
    void WakeReader();
    void PullLocked(LONGLONG arrival);
    void HangUpLocked();
    size_t FullThresholdLocked() const { return queue_.size() - queue_.size() / 5; }
    void EnqueueLocked(const unsigned char *data, size_t count, LONGLONG arrival);
    void SignalEventsLocked(DWORD events);
    DWORD DequeueLocked(char *to, DWORD count);
    void ServiceReadLocked(ULONGLONG now);
    int ReadTimeoutLocked(ULONGLONG now) const;
    BOOL CompleteSynchronously(LPOVERLAPPED overlapped, HANDLE ownEvent, LPDWORD transferred);
    void CancelLocked();
    DCB StateFromTermiosLocked(const struct termios &tio) const;

    int fd_ = -1;
    int wake_[2] = {-1, -1};
    bool overlapped_ = false;
    bool exclusive_ = false;
    bool readerStarted_ = false;
    pthread_t reader_{};

    LayerMutex lock_;       // everything below
    LayerMutex writeLock_;  // one writer at a time
    bool stop_ = false;
    bool hungUp_ = false;
    std::vector<unsigned char> queue_;
    size_t head_ = 0;
    size_t count_ = 0;
    DWORD txSize_ = DefaultQueueSize;
    ULONGLONG received_ = 0;                                  // bytes ever queued
    ULONGLONG delivered_ = 0;                                 // bytes ever handed out
    LONGLONG lastArrival_ = 0;                                // latest arrival reading queued
    std::deque<std::pair<ULONGLONG, LONGLONG>> flagTimes_;    // queued event characters
    std::deque<LONGLONG> deliveredTimes_;                     // handed out, not yet collected
    std::deque<std::pair<ULONGLONG, LONGLONG>> chunkTimes_;   // queued chunks: end (received_), reading
    ULONGLONG chunkHanded_ = 0;                               // chunk bytes handed out up to here
    std::deque<std::pair<DWORD, LONGLONG>> deliveredChunks_;  // handed out, not yet collected
    bool lowLatencyRefused_ = false;
    DWORD latencyTimerMs_ = 0;
    DCB dcb_ = {};
    COMMTIMEOUTS timeouts_ = {};
    DWORD mask_ = 0;
    DWORD history_ = 0;
    DWORD errors_ = 0;
    LPOVERLAPPED waitOverlapped_ = nullptr;
    LPDWORD waitMask_ = nullptr;
    PendingRead read_;
};

class Locked {
public:
    explicit Locked(LayerMutex &mutex) : mutex_(mutex) { mutex_.lock(); }
    ~Locked() { mutex_.unlock(); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    LayerMutex &mutex_;
};

DWORD SerialPort::Open(const char *path, bool overlapped) {
    overlapped_ = overlapped;
    fd_ = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        int err = errno;
        if (err == EBUSY)
            return ERROR_ACCESS_DENIED;  // held exclusively (TIOCEXCL) by another program
        if (err == ENOENT || err == ENXIO || err == ENODEV)
            return ERROR_FILE_NOT_FOUND;
        return Win32ErrorFromErrno(err);
    }
    if (!isatty(fd_))
        return ERROR_FILE_NOT_FOUND;  // not a serial device
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        return err == EWOULDBLOCK ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err);
    }
    exclusive_ = ioctl(fd_, TIOCEXCL) == 0;

#ifdef __linux__
    // A USB adapter's latency timer would delay every byte by up to 16 ms: ask for low latency
    // where the driver allows (ptys and some drivers do not; that is fine).
    struct serial_struct serial;
    if (ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd_, TIOCSSERIAL, &serial);
        // Read back: some drivers take the request without error and keep their timer.
        struct serial_struct kept;
        lowLatencyRefused_ = ioctl(fd_, TIOCGSERIAL, &kept) != 0 || (kept.flags & ASYNC_LOW_LATENCY) == 0;
    }
    latencyTimerMs_ = LatencyTimerOf(path);
#endif

    // Raw mode, as a Windows port always is; line settings stay as found.
    struct termios tio;
    if (tcgetattr(fd_, &tio) != 0)
        return Win32ErrorFromErrno(errno);
    tio.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSANOW, &tio) != 0)
        return Win32ErrorFromErrno(errno);

    queue_.resize(DefaultQueueSize);
    dcb_ = StateFromTermiosLocked(tio);

    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        return Win32ErrorFromErrno(errno);
    if (pthread_create(&reader_, nullptr, ReaderMain, this) != 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    readerStarted_ = true;
    return 0;
}

SerialPort::~SerialPort() {
    if (readerStarted_) {
        {
            Locked hold(lock_);
            stop_ = true;
        }
        WakeReader();
        pthread_join(reader_, nullptr);
    }
    {
        Locked hold(lock_);
        CancelLocked();
    }
    if (fd_ >= 0) {
        if (exclusive_)
            ioctl(fd_, TIOCNXCL);  // the exclusive mode belongs to the tty, not to this open
        close(fd_);                // also releases the flock
    }
    if (wake_[0] >= 0)
        close(wake_[0]);
    if (wake_[1] >= 0)
        close(wake_[1]);
}

void *SerialPort::ReaderMain(void *self) {
    static_cast<SerialPort *>(self)->ReaderLoop();
    return nullptr;
}

void SerialPort::WakeReader() {
    const char byte = 1;
    ssize_t ignored = write(wake_[1], &byte, 1);
    (void)ignored;
}

void SerialPort::ReaderLoop() {
    for (;;) {
        struct pollfd fds[2];
        nfds_t watched = 1;
        int timeout;
        fds[0].fd = wake_[0];
        fds[0].events = POLLIN;
        fds[0].revents = 0;
        {
            Locked hold(lock_);
            if (stop_)
                return;
            // A hung-up device (its other end is gone) is not polled again: it would report
            // the hang-up without end.
            if (!hungUp_ && count_ < queue_.size()) {
                fds[1].fd = fd_;
                fds[1].events = POLLIN;
                fds[1].revents = 0;
                watched = 2;
            }
            timeout = ReadTimeoutLocked(MillisecondsNow());
        }

        int ready = poll(fds, watched, timeout);
        const LONGLONG arrival = CounterNow();
        if (ready < 0 && errno != EINTR)
            return;

        Locked hold(lock_);
        if (stop_)
            return;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (watched == 2 && fds[1].revents != 0) {
            PullLocked(arrival);
            // Hung up with nothing left to read (some devices report POLLHUP, then EAGAIN).
            if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[1].revents & POLLIN))
                HangUpLocked();
        }
        ServiceReadLocked(MillisecondsNow());
    }
}

void SerialPort::PullLocked(LONGLONG arrival) {
    unsigned char chunk[4096];
    while (!hungUp_ && count_ < queue_.size()) {
        size_t room = queue_.size() - count_;
        ssize_t n = read(fd_, chunk, room < sizeof chunk ? room : sizeof chunk);
        if (n > 0) {
            // The bytes were there when read() returned, but not necessarily when `arrival`
            // was read: some may have come while this thread waited for the lock or read the
            // chunk before. Stamped with the later reading, no byte is placed before it came.
            const LONGLONG readAt = CounterNow();
            EnqueueLocked(chunk, static_cast<size_t>(n), readAt > arrival ? readAt : arrival);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        HangUpLocked();  // end of file or EIO: the other end is gone
    }
}

void SerialPort::HangUpLocked() {
    if (hungUp_)
        return;
    hungUp_ = true;
    // A wait in progress learns of it at once, as on Windows when the device goes away.
    if (waitOverlapped_ != nullptr) {
        *waitMask_ = 0;
        LPOVERLAPPED overlapped = waitOverlapped_;
        waitOverlapped_ = nullptr;
        waitMask_ = nullptr;
        Complete(overlapped, StatusCancelled, 0);
    }
    // A read in progress gets what is left and ends: nothing more will come.
    if (read_.overlapped != nullptr) {
        if (count_ > 0)
            read_.got += DequeueLocked(read_.buffer + read_.got, read_.wanted - read_.got);
        LPOVERLAPPED overlapped = read_.overlapped;
        DWORD got = read_.got;
        read_ = PendingRead();
        Complete(overlapped, got > 0 ? StatusSuccess : StatusCancelled, got);
    }
}

void SerialPort::EnqueueLocked(const unsigned char *data, size_t count, LONGLONG arrival) {
    DWORD events = 0;
    const size_t capacity = queue_.size();
    const bool wasBelowThreshold = count_ < FullThresholdLocked();
    // Bytes later in the stream cannot have arrived earlier: a reading taken by one thread
    // before another thread pulled newer bytes is raised to theirs.
    if (arrival < lastArrival_)
        arrival = lastArrival_;
    lastArrival_ = arrival;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char byte = data[i];
        if (dcb_.fNull && byte == 0)
            continue;
        queue_[(head_ + count_) % capacity] = byte;
        ++count_;
        events |= EV_RXCHAR;
        if (byte == static_cast<unsigned char>(dcb_.EvtChar)) {
            flagTimes_.emplace_back(received_, arrival);
            events |= EV_RXFLAG;
        }
        ++received_;
    }
    if (chunkTimes_.empty() || chunkTimes_.back().first < received_)
        chunkTimes_.emplace_back(received_, arrival);
    if (wasBelowThreshold && count_ >= FullThresholdLocked())
        events |= EV_RX80FULL;
    if (events != 0)
        SignalEventsLocked(events);
}

void SerialPort::SignalEventsLocked(DWORD events) {
    const DWORD monitored = events & mask_;
    if (monitored == 0)
        return;
    if (waitOverlapped_ != nullptr) {
        *waitMask_ = monitored | history_;
        history_ = 0;
        LPOVERLAPPED overlapped = waitOverlapped_;
        waitOverlapped_ = nullptr;
        waitMask_ = nullptr;
        Complete(overlapped, StatusSuccess, 0);
    } else {
        history_ |= monitored;
    }
}

DWORD SerialPort::DequeueLocked(char *to, DWORD count) {
    DWORD taken = 0;
    const size_t capacity = queue_.size();
    while (taken < count && count_ > 0) {
        to[taken++] = static_cast<char>(queue_[head_]);
        head_ = (head_ + 1) % capacity;
        --count_;
    }
    delivered_ += taken;
    while (!flagTimes_.empty() && flagTimes_.front().first < delivered_) {
        deliveredTimes_.push_back(flagTimes_.front().second);
        flagTimes_.pop_front();
    }
    while (deliveredTimes_.size() > MaximumDeliveredTimes)
        deliveredTimes_.pop_front();
    while (!chunkTimes_.empty() && chunkHanded_ < delivered_) {
        const auto &chunk = chunkTimes_.front();
        const ULONGLONG end = chunk.first < delivered_ ? chunk.first : delivered_;
        if (end > chunkHanded_)
            deliveredChunks_.emplace_back(static_cast<DWORD>(end - chunkHanded_), chunk.second);
        chunkHanded_ = end;
        if (chunk.first <= delivered_)
            chunkTimes_.pop_front();
    }
    while (deliveredChunks_.size() > MaximumDeliveredTimes)
        deliveredChunks_.pop_front();
    if (taken > 0 && !hungUp_)
        WakeReader();  // room again: the reader may take more from the tty
    return taken;
}

int SerialPort::ReadTimeoutLocked(ULONGLONG now) const {
    if (read_.overlapped == nullptr)
        return -1;
    ULONGLONG deadline = read_.totalDeadline;
    if (read_.interval != 0 && read_.got > 0) {
        ULONGLONG intervalEnd = read_.lastByte + read_.interval;
        if (deadline == 0 || intervalEnd < deadline)
            deadline = intervalEnd;
    }
    if (deadline == 0)
        return -1;
    if (deadline <= now)
        return 0;
    ULONGLONG wait = deadline - now;
    return wait > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(wait);
}

void SerialPort::ServiceReadLocked(ULONGLONG now) {
    if (read_.overlapped == nullptr)
        return;
    if (count_ > 0) {
        read_.got += DequeueLocked(read_.buffer + read_.got, read_.wanted - read_.got);
        read_.lastByte = now;
    }
    bool done = read_.got == read_.wanted;
    if (!done && read_.totalDeadline != 0 && now >= read_.totalDeadline)
        done = true;
    if (!done && read_.interval != 0 && read_.got > 0 && now >= read_.lastByte + read_.interval)
        done = true;
    if (done) {
        LPOVERLAPPED overlapped = read_.overlapped;
        DWORD got = read_.got;
        read_ = PendingRead();
        Complete(overlapped, StatusSuccess, got);
    }
}

void SerialPort::CancelLocked() {
    if (waitOverlapped_ != nullptr) {
        *waitMask_ = 0;
        LPOVERLAPPED overlapped = waitOverlapped_;
        waitOverlapped_ = nullptr;
        waitMask_ = nullptr;
        Complete(overlapped, StatusCancelled, 0);
    }
    if (read_.overlapped != nullptr) {
        LPOVERLAPPED overlapped = read_.overlapped;
        DWORD got = read_.got;
        read_ = PendingRead();
        Complete(overlapped, StatusCancelled, got);
    }
}

// Waits for an operation started on a non-overlapped handle, as the system does for it.
BOOL SerialPort::CompleteSynchronously(LPOVERLAPPED overlapped, HANDLE ownEvent, LPDWORD transferred) {
    BOOL ok = GetOverlappedResult(nullptr, overlapped, transferred, TRUE);
    DWORD error = GetLastError();
    CloseHandle(ownEvent);
    SetLastError(ok ? 0 : error);
    return ok;
}

BOOL SerialPort::Read(LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if ((buffer == nullptr && toRead > 0) || (overlapped_ && overlapped == nullptr) ||
        (overlapped != nullptr && overlapped->hEvent == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    OVERLAPPED own = {};
    HANDLE ownEvent = nullptr;
    if (!overlapped_) {
        ownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (ownEvent == nullptr)
            return FALSE;
        own.hEvent = ownEvent;
        overlapped = &own;
    }
    if (read != nullptr)
        *read = 0;

    {
        Locked hold(lock_);
        if (read_.overlapped != nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);  // one read at a time
            if (ownEvent != nullptr)
                CloseHandle(ownEvent);
            return FALSE;
        }
        if (hungUp_ && count_ == 0 && toRead > 0) {
            if (ownEvent != nullptr)
                CloseHandle(ownEvent);
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        ResetEvent(overlapped->hEvent);
        const COMMTIMEOUTS &t = timeouts_;
        DWORD got = DequeueLocked(static_cast<char *>(buffer), toRead);
        bool immediate = got == toRead;
        ULONGLONG now = MillisecondsNow();
        PendingRead pending;
        pending.overlapped = overlapped;
        pending.buffer = static_cast<char *>(buffer);
        pending.wanted = toRead;
        pending.got = got;
        pending.lastByte = now;
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 0) {
            immediate = true;  // return at once with what is there
        } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                   t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
            immediate = immediate || got > 0;  // at once when bytes are there, else the first byte
            pending.totalDeadline = now + t.ReadTotalTimeoutConstant;
            pending.interval = 1;
        } else {
            ULONGLONG total =
                static_cast<ULONGLONG>(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant;
            if (total != 0)
                pending.totalDeadline = now + total;
            pending.interval = t.ReadIntervalTimeout == MAXDWORD ? 0 : t.ReadIntervalTimeout;
        }
        if (immediate) {
            StoreStatus(overlapped, StatusSuccess, got);
            SetEvent(overlapped->hEvent);
            if (read != nullptr)
                *read = got;
            if (ownEvent != nullptr)
                CloseHandle(ownEvent);
            return TRUE;
        }
        StoreStatus(overlapped, StatusPending, got);
        read_ = pending;
    }
    WakeReader();  // a new deadline to watch
    if (ownEvent != nullptr)
        return CompleteSynchronously(overlapped, ownEvent, read);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL SerialPort::Write(LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    if ((buffer == nullptr && toWrite > 0) || (overlapped_ && overlapped == nullptr) ||
        (overlapped != nullptr && overlapped->hEvent == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    COMMTIMEOUTS t;
    {
        Locked hold(lock_);
        t = timeouts_;
    }
    ULONGLONG total =
        static_cast<ULONGLONG>(t.WriteTotalTimeoutMultiplier) * toWrite + t.WriteTotalTimeoutConstant;
    ULONGLONG deadline = total != 0 ? MillisecondsNow() + total : 0;
    if (overlapped != nullptr)
        ResetEvent(overlapped->hEvent);

    DWORD done = 0;
    DWORD error = 0;
    {
        Locked hold(writeLock_);
        const char *from = static_cast<const char *>(buffer);
        while (done < toWrite) {
            ssize_t n = write(fd_, from + done, toWrite - done);
            if (n > 0) {
                done += static_cast<DWORD>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                int wait = -1;
                if (deadline != 0) {
                    ULONGLONG now = MillisecondsNow();
                    if (now >= deadline)
                        break;  // write timeout: success with fewer bytes
                    wait = static_cast<int>(deadline - now);
                }
                struct pollfd out = {fd_, POLLOUT, 0};
                poll(&out, 1, wait);
                continue;
            }
            error = n < 0 ? Win32ErrorFromErrno(errno) : static_cast<DWORD>(ERROR_WRITE_FAULT);
            break;
        }
    }
    if (written != nullptr)
        *written = done;
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    if (overlapped != nullptr)
        Complete(overlapped, StatusSuccess, done);
    return TRUE;
}

BOOL SerialPort::Flush() {
    Locked hold(writeLock_);
    if (tcdrain(fd_) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL SerialPort::Setup(DWORD inQueue, DWORD outQueue) {
    if (inQueue == 0 || outQueue == 0 || inQueue > MaximumQueueSize || outQueue > MaximumQueueSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Locked hold(lock_);
    if (inQueue != queue_.size()) {
        if (inQueue < count_) {
            SetLastError(ERROR_INVALID_PARAMETER);  // would drop received bytes
            return FALSE;
        }
        std::vector<unsigned char> resized(inQueue);
        for (size_t i = 0; i < count_; ++i)
            resized[i] = queue_[(head_ + i) % queue_.size()];
        queue_.swap(resized);
        head_ = 0;
    }
    txSize_ = outQueue;
    WakeReader();
    return TRUE;
}

BOOL SerialPort::Properties(LPCOMMPROP properties) {
    Locked hold(lock_);
    memset(properties, 0, sizeof *properties);
    properties->wPacketLength = sizeof(COMMPROP);
    properties->wPacketVersion = 2;
    properties->dwServiceMask = SP_SERIALCOMM;
    properties->dwMaxTxQueue = MaximumQueueSize;
    properties->dwMaxRxQueue = MaximumQueueSize;
    properties->dwMaxBaud = BAUD_USER;
    properties->dwProvSubType = PST_RS232;
    properties->dwProvCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_PARITY_CHECK | PCF_XONXOFF | PCF_SETXCHAR |
                                     PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS | PCF_SPECIALCHARS;
    properties->dwSettableParams =
        SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING | SP_PARITY_CHECK;
    properties->dwSettableBaud = BAUD_USER;
    properties->wSettableData = DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8;
    properties->wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD |
                                      PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
    properties->dwCurrentTxQueue = txSize_;
    properties->dwCurrentRxQueue = static_cast<DWORD>(queue_.size());
    return TRUE;
}

BOOL SerialPort::GetTimeouts(LPCOMMTIMEOUTS timeouts) {
    Locked hold(lock_);
    *timeouts = timeouts_;
    return TRUE;
}

BOOL SerialPort::SetTimeouts(const COMMTIMEOUTS *timeouts) {
    const COMMTIMEOUTS &t = *timeouts;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant == MAXDWORD) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Locked hold(lock_);
    timeouts_ = t;
    return TRUE;
}

DCB SerialPort::StateFromTermiosLocked(const struct termios &tio) const {
    DCB dcb = dcb_;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = RateFromSpeed(cfgetospeed(&tio));
    dcb.fBinary = 1;
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
    }
    if (!(tio.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (tio.c_cflag & CMSPAR)
        dcb.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (tio.c_cflag & CSTOPB)
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    else
        dcb.StopBits = ONESTOPBIT;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    if (tio.c_cflag & CRTSCTS) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.fOutxCtsFlow = 0;
        if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    return dcb;
}

BOOL SerialPort::GetState(LPDCB dcb) {
    Locked hold(lock_);
    struct termios tio;
    if (tcgetattr(fd_, &tio) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    *dcb = StateFromTermiosLocked(tio);
    return TRUE;
}

BOOL SerialPort::SetState(const DCB *requested) {
    const DCB &d = *requested;
    speed_t speed = B0;
    bool valid = SpeedFromRate(d.BaudRate, &speed) && d.ByteSize >= 5 && d.ByteSize <= 8 &&
                 d.Parity <= SPACEPARITY && d.StopBits <= TWOSTOPBITS && !d.fOutxDsrFlow &&
                 !d.fDsrSensitivity && d.fDtrControl != DTR_CONTROL_HANDSHAKE &&
                 d.fRtsControl != RTS_CONTROL_TOGGLE && !d.fErrorChar &&
                 (d.fOutxCtsFlow != 0) == (d.fRtsControl == RTS_CONTROL_HANDSHAKE);
    // One and a half stop bits exist only with 5 data bits, two stop bits only with more.
    if (d.StopBits == ONE5STOPBITS && d.ByteSize != 5)
        valid = false;
    if (d.StopBits == TWOSTOPBITS && d.ByteSize == 5)
        valid = false;
    if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar)
        valid = false;
    if (!valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    Locked hold(lock_);
    struct termios before;
    if (tcgetattr(fd_, &before) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return FALSE;
    }
    struct termios tio = before;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= d.ByteSize == 5 ? CS5 : d.ByteSize == 6 ? CS6 : d.ByteSize == 7 ? CS7 : CS8;
    switch (d.Parity) {
        case ODDPARITY:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            tio.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case SPACEPARITY:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (d.StopBits != ONESTOPBIT)
        tio.c_cflag |= CSTOPB;
    if (d.fOutxCtsFlow)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    if (d.fOutX)
        tio.c_iflag |= IXON;
    if (d.fInX)
        tio.c_iflag |= IXOFF;
    if (d.fParity && d.Parity != NOPARITY)
        tio.c_iflag |= INPCK;
    tio.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);

    // Apply, then read back: a setting the device did not take is a refusal.
    const tcflag_t cflagMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const tcflag_t iflagMask = IXON | IXOFF;
    struct termios after;
    bool taken = tcsetattr(fd_, TCSANOW, &tio) == 0 && tcgetattr(fd_, &after) == 0 &&
                 cfgetospeed(&after) == speed && (after.c_cflag & cflagMask) == (tio.c_cflag & cflagMask) &&
                 (after.c_iflag & iflagMask) == (tio.c_iflag & iflagMask);
    DWORD error = ERROR_INVALID_PARAMETER;
    if (taken) {
        // DTR and RTS lines; devices without modem lines (ptys) have nothing to set.
        int dtr = TIOCM_DTR, rts = TIOCM_RTS;
        if (ioctl(fd_, d.fDtrControl == DTR_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &dtr) != 0 &&
            !IsModemLineError(errno)) {
            taken = false;
            error = Win32ErrorFromErrno(errno);
        }
        if (taken && !d.fOutxCtsFlow &&
            ioctl(fd_, d.fRtsControl == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &rts) != 0 &&
            !IsModemLineError(errno)) {
            taken = false;
            error = Win32ErrorFromErrno(errno);
        }
    }
    if (!taken) {
        tcsetattr(fd_, TCSANOW, &before);
        SetLastError(error);
        return FALSE;
    }
    dcb_ = d;
    dcb_.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SerialPort::GetMask(LPDWORD mask) {
    Locked hold(lock_);
    *mask = mask_;
    return TRUE;
}

BOOL SerialPort::SetMask(DWORD mask) {
    if (mask & ~SupportedEvents) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    Locked hold(lock_);
    // A wait in progress completes with an empty mask; the event history starts afresh.
    if (waitOverlapped_ != nullptr) {
        *waitMask_ = 0;
        LPOVERLAPPED overlapped = waitOverlapped_;
        waitOverlapped_ = nullptr;
        waitMask_ = nullptr;
        Complete(overlapped, StatusSuccess, 0);
    }
    mask_ = mask;
    history_ = 0;
    return TRUE;
}

BOOL SerialPort::WaitEvent(LPDWORD mask, LPOVERLAPPED overlapped) {
    if (mask == nullptr || (overlapped_ && overlapped == nullptr) ||
        (overlapped != nullptr && overlapped->hEvent == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    OVERLAPPED own = {};
    HANDLE ownEvent = nullptr;
    if (!overlapped_) {
        ownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (ownEvent == nullptr)
            return FALSE;
        own.hEvent = ownEvent;
        overlapped = &own;
    }
    {
        Locked hold(lock_);
        if (mask_ == 0 || waitOverlapped_ != nullptr) {
            if (ownEvent != nullptr)
                CloseHandle(ownEvent);
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // Pick up what the tty holds, so an event that already happened is not missed.
        PullLocked(CounterNow());
        if (hungUp_) {
            if (ownEvent != nullptr)
                CloseHandle(ownEvent);
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        ResetEvent(overlapped->hEvent);
        if (history_ & mask_) {
            *mask = history_ & mask_;
            history_ = 0;
            StoreStatus(overlapped, StatusSuccess, 0);
            SetEvent(overlapped->hEvent);
            if (ownEvent != nullptr)
                CloseHandle(ownEvent);
            return TRUE;
        }
        StoreStatus(overlapped, StatusPending, 0);
        waitOverlapped_ = overlapped;
        waitMask_ = mask;
    }
    if (ownEvent != nullptr) {
        DWORD ignored;
        return CompleteSynchronously(overlapped, ownEvent, &ignored);
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL SerialPort::ClearError(LPDWORD errors, LPCOMSTAT status) {
    Locked hold(lock_);
    // Count what has arrived, including what the tty still holds.
    PullLocked(CounterNow());
    if (hungUp_ && count_ == 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (errors != nullptr)
        *errors = errors_;
    errors_ = 0;
    if (status != nullptr) {
        memset(status, 0, sizeof *status);
        status->cbInQue = static_cast<DWORD>(count_);
        int pending = 0;
        if (ioctl(fd_, TIOCOUTQ, &pending) == 0 && pending > 0)
            status->cbOutQue = static_cast<DWORD>(pending);
    }
    return TRUE;
}

BOOL SerialPort::Purge(DWORD flags) {
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Locked hold(lock_);
    if ((flags & PURGE_RXABORT) && read_.overlapped != nullptr) {
        LPOVERLAPPED overlapped = read_.overlapped;
        DWORD got = read_.got;
        read_ = PendingRead();
        Complete(overlapped, StatusCancelled, got);
    }
    if (flags & PURGE_RXCLEAR) {
        tcflush(fd_, TCIFLUSH);
        head_ = 0;
        count_ = 0;
        delivered_ = received_;
        flagTimes_.clear();
        deliveredTimes_.clear();
        chunkTimes_.clear();
        chunkHanded_ = received_;
        deliveredChunks_.clear();
        WakeReader();
    }
    if (flags & PURGE_TXCLEAR)
        tcflush(fd_, TCOFLUSH);
    return TRUE;
}

BOOL SerialPort::Cancel() {
    Locked hold(lock_);
    CancelLocked();
    return TRUE;
}

DWORD SerialPort::TakeArrivalTimes(LARGE_INTEGER *times, DWORD capacity) {
    Locked hold(lock_);
    DWORD taken = 0;
    while (taken < capacity && !deliveredTimes_.empty()) {
        times[taken++].QuadPart = deliveredTimes_.front();
        deliveredTimes_.pop_front();
    }
    return taken;
}

DWORD SerialPort::TakeChunkTimes(KESTRUNE_COMM_CHUNK *chunks, DWORD capacity) {
    Locked hold(lock_);
    DWORD taken = 0;
    while (taken < capacity && !deliveredChunks_.empty()) {
        chunks[taken].Bytes = deliveredChunks_.front().first;
        chunks[taken].Arrival.QuadPart = deliveredChunks_.front().second;
        ++taken;
        deliveredChunks_.pop_front();
    }
    return taken;
}

std::shared_ptr<SerialPort> LookupPort(HANDLE handle) {
    return LookupObject<SerialPort>(handle, ObjectKind::SerialPort);
}

// "COMn" (any case) gives n, else 0.
unsigned PortNumber(const char *device) {
    if (strncasecmp(device, "COM", 3) != 0 || !isdigit(static_cast<unsigned char>(device[3])))
        return 0;
    char *end = nullptr;
    unsigned long number = strtoul(device + 3, &end, 10);
    if (*end != '\0' || number == 0 || number > 9999)
        return 0;
    return static_cast<unsigned>(number);
}

}  // namespace
}  // namespace kestrune

using kestrune::LookupPort;

// The tty a COM number names: $KESTRUNE_COMn when set, else /dev/ttyS<n-1>.
bool KestruneCommDevicePath(const char *name, char *path, size_t capacity) {
    if (name == nullptr || path == nullptr || capacity == 0)
        return false;
    const char *device = strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
    if (device[0] == '/')
        return snprintf(path, capacity, "%s", device) < static_cast<int>(capacity);
    const unsigned number = kestrune::PortNumber(device);
    if (number == 0)
        return false;
    char variable[32];
    snprintf(variable, sizeof variable, "KESTRUNE_COM%u", number);
    const char *configured = getenv(variable);
    const int length = configured != nullptr && configured[0] != '\0'
                           ? snprintf(path, capacity, "%s", configured)
                           : snprintf(path, capacity, "/dev/ttyS%u", number - 1);
    return length > 0 && length < static_cast<int>(capacity);
}

HANDLE KestruneOpenDevicePath(const char *path, DWORD disposition, DWORD flags) {
    if (disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<kestrune::SerialPort>();
    DWORD error = port->Open(path, (flags & FILE_FLAG_OVERLAPPED) != 0);
    if (error != 0) {
        port.reset();
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = kestrune::RegisterObject(port);
    if (handle == nullptr)
        return INVALID_HANDLE_VALUE;
    SetLastError(0);
    return handle;
}

HANDLE KestruneOpenDevice(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    (void)access;
    (void)share;  // a COM port is exclusive whatever the share mode
    char path[4096];
    if (kestrune::PortNumber(name + 4) == 0 || !KestruneCommDevicePath(name, path, sizeof path)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return KestruneOpenDevicePath(path, disposition, flags);
}

#define WITH_PORT(handle, call)         \
    do {                                \
        auto port = LookupPort(handle); \
        if (!port)                      \
            return FALSE;               \
        return port->call;              \
    } while (0)

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    WITH_PORT(hFile, Setup(dwInQueue, dwOutQueue));
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    if (lpCommProp == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WITH_PORT(hFile, Properties(lpCommProp));
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WITH_PORT(hFile, GetTimeouts(lpCommTimeouts));
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WITH_PORT(hFile, SetTimeouts(lpCommTimeouts));
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WITH_PORT(hFile, GetState(lpDCB));
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WITH_PORT(hFile, SetState(lpDCB));
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (lpEvtMask == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WITH_PORT(hFile, GetMask(lpEvtMask));
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    WITH_PORT(hFile, SetMask(dwEvtMask));
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    WITH_PORT(hFile, WaitEvent(lpEvtMask, lpOverlapped));
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    WITH_PORT(hFile, ClearError(lpErrors, lpStat));
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    WITH_PORT(hFile, Purge(dwFlags));
}

BOOL CancelIo(HANDLE hFile) {
    WITH_PORT(hFile, Cancel());
}

DWORD KestruneGetCommArrivalTimes(HANDLE hFile, LARGE_INTEGER *times, DWORD capacity) {
    if (times == nullptr || capacity == 0)
        return 0;
    auto port = LookupPort(hFile);
    return port ? port->TakeArrivalTimes(times, capacity) : 0;
}

DWORD KestruneGetCommChunkTimes(HANDLE hFile, KESTRUNE_COMM_CHUNK *chunks, DWORD capacity) {
    if (chunks == nullptr || capacity == 0)
        return 0;
    auto port = LookupPort(hFile);
    return port ? port->TakeChunkTimes(chunks, capacity) : 0;
}

BOOL KestruneGetCommLatency(HANDLE hFile, KESTRUNE_COMM_LATENCY *latency) {
    auto port = LookupPort(hFile);
    if (!port || latency == nullptr) {
        SetLastError(port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    port->Latency(latency);
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait) {
    (void)hFile;  // the OVERLAPPED carries everything
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONG_PTR status = kestrune::LoadStatus(lpOverlapped);
    if (status == kestrune::StatusPending) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (lpOverlapped->hEvent == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        while ((status = kestrune::LoadStatus(lpOverlapped)) == kestrune::StatusPending) {
            if (WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED)
                return FALSE;
        }
    }
    if (lpNumberOfBytesTransferred != nullptr)
        *lpNumberOfBytesTransferred =
            static_cast<DWORD>(__atomic_load_n(&lpOverlapped->InternalHigh, __ATOMIC_RELAXED));
    if (status == kestrune::StatusCancelled) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    return TRUE;
}
