// kestrune-sim: plays a Metek uSonic-3 CLASS-A MP on a serial line, so the program can be tried
// and tested without the instrument.
//
// It opens a pty pair (or writes to a given device), prints the device path to give as
// KESTRUNE_COM1, and sends one comma-separated line per sample at a fixed rate on absolute
// deadlines, with synthetic turbulence: u, v, w and T follow first-order autoregressive
// processes, and T is correlated with w as in a convective surface layer. Fault modes insert
// garbage, leave fields out, send over-long lines, bursts and pauses. With --log every line is
// recorded with its send time, so a test can check that nothing was lost or duplicated and
// measure how late the receiver stamped it. With --wire each byte is written at the time a
// serial line of the given baud rate and framing would carry it, so a receiver's stamps can be
// measured against each line's first byte.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

const char Usage[] =
    "usage: kestrune-sim [options]\n"
    "  --device PATH      send to this serial device instead of a new pty\n"
    "  --link PATH        make PATH a symbolic link to the pty (removed on exit)\n"
    "  --rate HZ          lines per second (default 20)\n"
    "  --count N          stop after N lines\n"
    "  --duration S       stop after S seconds\n"
    "  --log FILE         record each line: <number> <send time as FILETIME> <kind> <text>\n"
    "  --seed N           seed of the synthetic turbulence (default 1)\n"
    "  --batch N          send N lines with each write (default 1); the rate stays in lines\n"
    "                     per second, each line of a write is logged with the write's time\n"
    "  --crlf             end lines with CR LF instead of LF\n"
    "  --garbage N        every Nth line is preceded by garbage bytes\n"
    "  --missing N        every Nth line leaves out some fields\n"
    "  --overlong N       every Nth line is over-long (--overlong-length L, default 25000)\n"
    "  --burst N:K        every Nth line starts a burst of K lines sent back to back\n"
    "  --pause N:MS       after every Nth line, a pause of MS milliseconds\n"
    "  --preamble N       first send N lines (kind P in the log)\n"
    "  --after-flush      after the preamble, wait until the receiver discards its input (pty),\n"
    "                     then send the end of a line (not counted, not logged)\n"
    "  --linger           after the last line keep the line open until stdin closes\n"
    "  --wire             write each byte at its time on the wire (--baud, --framing); each\n"
    "                     line starts a random 0-1 ms after its deadline, its log row's send\n"
    "                     time is its first byte's, and a tab and the line feed's send time\n"
    "                     (FILETIME) end the row\n"
    "  --baud N           baud rate of --wire (default 57600)\n"
    "  --framing DPS      data bits, parity N/E/O/M/S and stop bits of --wire (default 8N1)\n"
    "Prints the device path first and \"done <lines>\" when it has sent everything.\n";

volatile sig_atomic_t stopRequested = 0;
void OnSignal(int) {
    stopRequested = 1;
}

struct Options {
    std::string device;
    std::string link;
    std::string log;
    double rate = 20.0;
    long count = -1;
    double duration = -1.0;
    unsigned seed = 1;
    bool crlf = false;
    long garbageEvery = 0;
    long missingEvery = 0;
    long overlongEvery = 0;
    long overlongLength = 25000;
    long burstEvery = 0;
    long burstLength = 0;
    long pauseEvery = 0;
    long pauseMs = 0;
    long preamble = 0;
    long batch = 1;
    bool afterFlush = false;
    bool linger = false;
    bool wire = false;
    long baud = 57600;
    std::string framing = "8N1";
    double characterNs = 0;  // --wire: the wire time of one character
};

// The wire time of one character: start bit, data bits, parity bit, stop bits over the baud
// rate; 0 for a framing that is not "<5-8><N|E|O|M|S><1|2>".
double CharacterNanoseconds(long baud, const std::string &framing) {
    if (baud <= 0 || framing.size() != 3 || framing[0] < '5' || framing[0] > '8' ||
        std::string("NEOMS").find(framing[1]) == std::string::npos ||
        (framing[2] != '1' && framing[2] != '2'))
        return 0;
    const double bits = 1.0 + (framing[0] - '0') + (framing[1] == 'N' ? 0 : 1) + (framing[2] - '0');
    return bits * 1e9 / static_cast<double>(baud);
}

bool ParsePair(const char *text, long *first, long *second) {
    char *end = nullptr;
    *first = strtol(text, &end, 10);
    if (end == text || *end != ':' || *first <= 0)
        return false;
    const char *rest = end + 1;
    *second = strtol(rest, &end, 10);
    return end != rest && *end == '\0' && *second > 0;
}

// An option without a value: true when arg is one and is taken (--help prints the usage and
// exits).
bool TakeSwitch(const std::string &arg, Options *o) {
    if (arg == "--crlf") {
        o->crlf = true;
    } else if (arg == "--after-flush") {
        o->afterFlush = true;
    } else if (arg == "--linger") {
        o->linger = true;
    } else if (arg == "--wire") {
        o->wire = true;
    } else if (arg == "--help" || arg == "-h") {
        fputs(Usage, stdout);
        exit(0);
    } else {
        return false;
    }
    return true;
}

enum class ValueOption { Taken, BadValue, Unknown };

// An option with its value; a --burst or --pause value that is not two positive numbers is
// BadValue (refused without a message).
ValueOption TakeValue(const std::string &arg, const char *v, Options *o) {
    if (arg == "--device") {
        o->device = v;
    } else if (arg == "--link") {
        o->link = v;
    } else if (arg == "--log") {
        o->log = v;
    } else if (arg == "--baud") {
        o->baud = atol(v);
    } else if (arg == "--framing") {
        o->framing = v;
    } else if (arg == "--rate") {
        o->rate = atof(v);
    } else if (arg == "--count") {
        o->count = atol(v);
    } else if (arg == "--duration") {
        o->duration = atof(v);
    } else if (arg == "--seed") {
        o->seed = static_cast<unsigned>(strtoul(v, nullptr, 10));
    } else if (arg == "--garbage") {
        o->garbageEvery = atol(v);
    } else if (arg == "--missing") {
        o->missingEvery = atol(v);
    } else if (arg == "--overlong") {
        o->overlongEvery = atol(v);
    } else if (arg == "--overlong-length") {
        o->overlongLength = atol(v);
    } else if (arg == "--burst") {
        if (!ParsePair(v, &o->burstEvery, &o->burstLength))
            return ValueOption::BadValue;
    } else if (arg == "--pause") {
        if (!ParsePair(v, &o->pauseEvery, &o->pauseMs))
            return ValueOption::BadValue;
    } else if (arg == "--preamble") {
        o->preamble = atol(v);
    } else if (arg == "--batch") {
        o->batch = atol(v);
    } else {
        return ValueOption::Unknown;
    }
    return ValueOption::Taken;
}

// The options taken together: the positive figures, what --wire needs (its character time is
// set here) and --after-flush only on the pty.
bool CheckOptions(Options *o) {
    if (!(o->rate > 0.0) || o->overlongLength < 1 || o->batch < 1) {
        fprintf(stderr, "kestrune-sim: the rate, the over-long length and the batch must be positive\n");
        return false;
    }
    if (o->wire) {
        o->characterNs = CharacterNanoseconds(o->baud, o->framing);
        if (o->characterNs <= 0 || o->batch != 1) {
            fprintf(stderr,
                    "kestrune-sim: --wire needs a positive --baud, a --framing such as 8N1 and no --batch\n");
            return false;
        }
    }
    if (o->afterFlush && !o->device.empty()) {
        fprintf(stderr, "kestrune-sim: --after-flush needs the pty\n");
        return false;
    }
    return true;
}

// Any option other than a switch takes the next argument as its value, so an unknown option
// at the end is one that "needs a value".
bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (TakeSwitch(arg, o))
            continue;
        if (i + 1 >= argc) {
            fprintf(stderr, "kestrune-sim: %s needs a value\n", arg.c_str());
            return false;
        }
        const char *v = argv[++i];
        switch (TakeValue(arg, v, o)) {
            case ValueOption::Taken:
                break;
            case ValueOption::BadValue:
                return false;
            case ValueOption::Unknown:
                fprintf(stderr, "kestrune-sim: unknown option %s\n", arg.c_str());
                return false;
        }
    }
    return CheckOptions(o);
}

// UTC now as a FILETIME value: 100-ns units since 1 January 1601.
uint64_t FileTimeNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 10000000u + static_cast<uint64_t>(now.tv_nsec) / 100u +
           116444736000000000ull;
}

void AddNanoseconds(struct timespec *t, double ns) {
    long long total = static_cast<long long>(t->tv_nsec) + static_cast<long long>(ns);
    t->tv_sec += static_cast<time_t>(total / 1000000000LL);
    t->tv_nsec = static_cast<long>(total % 1000000000LL);
    if (t->tv_nsec < 0) {
        t->tv_nsec += 1000000000L;
        t->tv_sec -= 1;
    }
}

// Sleeps until an absolute moment; false when a stop was requested.
bool SleepUntil(const struct timespec &deadline) {
    while (!stopRequested) {
        int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (rc == 0)
            return true;
        if (rc != EINTR)
            return false;
    }
    return false;
}

// Synthetic surface-layer turbulence.
class Turbulence {
public:
    Turbulence(unsigned seed, double rate) : random_(seed) {
        // Correlation time of about one second whatever the rate.
        keep_ = std::exp(-1.0 / rate);
        fresh_ = std::sqrt(1.0 - keep_ * keep_);
    }
    void Step() {
        u_ = keep_ * u_ + fresh_ * normal_(random_);
        v_ = keep_ * v_ + fresh_ * normal_(random_);
        w_ = keep_ * w_ + fresh_ * normal_(random_);
        t_ = keep_ * t_ + fresh_ * normal_(random_);
    }
    double U() const { return 3.2 + 0.8 * u_; }
    double V() const { return -1.1 + 0.7 * v_; }
    double W() const { return 0.05 + 0.35 * w_; }
    double T() const { return 20.5 + 0.25 * (0.6 * w_ + 0.8 * t_); }
    double Uniform() { return uniform_(random_); }
    int Below(int n) { return static_cast<int>(uniform_(random_) * n) % n; }

private:
    std::mt19937 random_;
    std::normal_distribution<double> normal_{0.0, 1.0};
    std::uniform_real_distribution<double> uniform_{0.0, 1.0};
    double keep_ = 0.0, fresh_ = 0.0;
    double u_ = 0.0, v_ = 0.0, w_ = 0.0, t_ = 0.0;
};

// Writes the value with the given number of decimals (rounded half away from zero), as
// "%.*f" would for the values of a line, at a fraction of its cost: the sender's own CPU time
// must not be what limits the rate. Returns the characters written.
int FormatFixed(char *out, double value, int decimals) {
    static const long long scales[] = {1, 10, 100, 1000};
    const long long scale = scales[decimals];
    long long scaled = std::llround(value * static_cast<double>(scale));
    char *at = out;
    if (scaled < 0) {
        *at++ = '-';
        scaled = -scaled;
    }
    char digits[24];
    int count = 0;
    long long whole = scaled / scale;
    do {
        digits[count++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    while (count > 0)
        *at++ = digits[--count];
    if (decimals > 0) {
        *at++ = '.';
        long long fraction = scaled % scale;
        for (int i = decimals - 1; i >= 0; --i) {
            at[i] = static_cast<char>('0' + fraction % 10);
            fraction /= 10;
        }
        at += decimals;
    }
    *at = '\0';
    return static_cast<int>(at - out);
}

// One instrument line without its terminator. The status field carries the line number in
// positions 1-9, the heating state at 10, the block digit at 11 and the percentage after it.
std::string MakeLine(unsigned long number, Turbulence &air, bool leaveFieldsOut) {
    air.Step();
    char heating = air.Uniform() < 0.97 ? '1' : (air.Uniform() < 0.5 ? '0' : '2');
    int block = air.Uniform() < 0.9 ? 0 : 1 + air.Below(9);
    int percent = block == 0 ? 0 : 10 * block;
    char fields[12][40];
    unsigned long digits = number % 1000000000ul;
    for (int i = 8; i >= 0; --i) {
        fields[0][i] = static_cast<char>('0' + digits % 10);
        digits /= 10;
    }
    fields[0][9] = heating;
    fields[0][10] = static_cast<char>('0' + block);
    fields[0][11] = static_cast<char>('0' + percent / 10);
    fields[0][12] = static_cast<char>('0' + percent % 10);
    fields[0][13] = '\0';
    FormatFixed(fields[1], air.U(), 2);
    FormatFixed(fields[2], air.V(), 2);
    FormatFixed(fields[3], air.W(), 2);
    FormatFixed(fields[4], air.T(), 2);
    FormatFixed(fields[5], 12.0 + air.Uniform(), 3);  // A1: supply voltage
    FormatFixed(fields[6], 35.0 + air.Uniform(), 3);  // A2: electronics temperature
    FormatFixed(fields[7], 0.0, 0);
    FormatFixed(fields[8], 0.0, 0);
    FormatFixed(fields[9], 65.0 + 5 * air.Uniform(), 3);  // A3: humidity
    FormatFixed(fields[10], 1013.0 + air.Uniform(), 3);   // A4: pressure
    FormatFixed(fields[11], 0.0, 0);
    int leaveOut = leaveFieldsOut ? 1 + air.Below(3) : 0;
    std::string line;
    line.reserve(96);
    for (int i = 0; i < 12; ++i) {
        if (leaveOut > 0 && i >= 1 && i <= 10 && air.Uniform() < 0.4) {
            --leaveOut;
            continue;
        }
        if (!line.empty())
            line += ',';
        line += fields[i];
    }
    return line;
}

std::string Garbage(Turbulence &air) {
    std::string bytes;
    int length = 1 + air.Below(40);
    for (int i = 0; i < length; ++i) {
        char c = static_cast<char>(1 + air.Below(255));
        if (c == '\n')
            c = '#';
        bytes += c;
    }
    return bytes;
}

// The log's text column: printable ASCII as is, anything else and backslash as \xHH.
std::string Escape(const std::string &text) {
    bool plain = true;
    for (unsigned char c : text)
        plain = plain && c >= 0x20 && c < 0x7f && c != '\\';
    if (plain)
        return text;
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Writes everything unless a stop is requested first. A signal interrupts a write blocked on a
// full line (the receiver reads nothing): the write then returns what it took, or EINTR, and
// the stop is seen before the next write can block again.
bool WriteAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (stopRequested)
            return false;
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            struct pollfd out = {fd, POLLOUT, 0};
            poll(&out, 1, -1);
        } else {
            return false;
        }
    }
    return true;
}

// Waits until the receiver discards its input: a pty master in packet mode reports the
// slave's input flush.
bool WaitForFlush(int master) {
    while (!stopRequested) {
        struct pollfd in = {master, POLLIN | POLLPRI, 0};
        int ready = poll(&in, 1, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        unsigned char packet[512];
        ssize_t n = read(master, packet, sizeof packet);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        if (packet[0] != TIOCPKT_DATA && (packet[0] & TIOCPKT_FLUSHREAD))
            return true;
    }
    return false;
}

void MakeRaw(int fd, speed_t speed) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (speed != B0) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    tcsetattr(fd, TCSANOW, &tio);
}

// Real-time settings for --wire: bytes 174 us apart; the default 50 us timer slack would blur
// them, and a sender held back mid-line by other work would make a poor truth: real-time
// priority where granted (below the receiving engine's), since the sender sleeps between
// bytes.
void SetUpProcess(const Options &options) {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (options.wire) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        struct sched_param priority = {};
        priority.sched_priority = 10;
        sched_setscheduler(0, SCHED_FIFO, &priority);
    }
}

// The line the instrument writes to: the given device, or a new pty whose slave's path is
// `path`. Returns the descriptor, or -1 after saying why.
int OpenLine(const Options &options, std::string &path, int &keepSlave) {
    keepSlave = -1;
    int out = -1;
    if (!options.device.empty()) {
        out = open(options.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (out < 0) {
            fprintf(stderr, "kestrune-sim: cannot open %s: %s\n", options.device.c_str(), strerror(errno));
            return -1;
        }
        if (isatty(out))
            MakeRaw(out, B57600);
        path = options.device;
    } else {
        out = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        const char *name = out >= 0 && grantpt(out) == 0 && unlockpt(out) == 0 ? ptsname(out) : nullptr;
        if (name == nullptr) {
            fprintf(stderr, "kestrune-sim: cannot open a pty: %s\n", strerror(errno));
            return -1;
        }
        path = name;
        MakeRaw(out, B0);
        // Holding the slave open keeps the line up between the receiver's opens; this end
        // never reads from it.
        keepSlave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (keepSlave >= 0)
            MakeRaw(keepSlave, B57600);
        if (options.afterFlush) {
            int on = 1;
            ioctl(out, TIOCPKT, &on);
        }
    }
    if (!options.link.empty()) {
        unlink(options.link.c_str());
        if (symlink(path.c_str(), options.link.c_str()) != 0) {
            fprintf(stderr, "kestrune-sim: cannot link %s: %s\n", options.link.c_str(), strerror(errno));
            return -1;
        }
    }
    return out;
}

// The log of the lines sent (--log), or null without one; false after saying why it cannot be
// written.
bool OpenLog(const Options &options, FILE *&log) {
    log = nullptr;
    if (options.log.empty())
        return true;
    log = fopen(options.log.c_str(), "w");
    if (log == nullptr) {
        fprintf(stderr, "kestrune-sim: cannot write %s: %s\n", options.log.c_str(), strerror(errno));
        return false;
    }
    // Line by line as a rule; a batched sender writes its rows in blocks, since one write per
    // row would cap the rate far below what the line itself carries.
    setvbuf(log, nullptr, options.batch > 1 ? _IOFBF : _IOLBF, options.batch > 1 ? 1 << 16 : 0);
    return true;
}

// Writes the lines to the line, one at a time, byte by byte on the wire's time (--wire) or in
// batches, and logs each with the time it was sent.
class Sender {
public:
    Sender(const Options &options, int out, FILE *log)
        : options_(options),
          out_(out),
          log_(log),
          terminator_(options.crlf ? "\r\n" : "\n"),
          phases_(options.seed ^ 0x9E3779B9u) {}

    unsigned long Number() const { return number_; }
    const std::string &Terminator() const { return terminator_; }

    bool SendLine(char kind, const std::string &record) {
        ++number_;
        if (options_.wire) {
            uint64_t first = 0, feed = 0;
            if (!SendWire(record + terminator_, &first, &feed))
                return false;
            LogRow(number_, first, kind, record, feed);
            return true;
        }
        const uint64_t sent = FileTimeNow();
        if (!WriteAll(out_, record + terminator_))
            return false;
        LogRow(number_, sent, kind, record);
        return true;
    }
    // Gathers the line for the batch's one write.
    void Gather(char kind, const std::string &record) {
        pending_.push_back({++number_, kind, record});
        pendingBytes_ += record;
        pendingBytes_ += terminator_;
    }
    size_t Gathered() const { return pending_.size(); }
    // Writes what was gathered; each line is logged with the write's time.
    bool SendPending() {
        if (pending_.empty())
            return true;
        const uint64_t sent = FileTimeNow();
        bool written = WriteAll(out_, pendingBytes_);
        if (written)
            for (const Pending &line : pending_)
                LogRow(line.Number, sent, line.Kind, line.Record);
        pending_.clear();
        pendingBytes_.clear();
        return written;
    }

private:
    struct Pending {
        unsigned long Number;
        char Kind;
        std::string Record;
    };

    void LogRow(unsigned long lineNumber, uint64_t sent, char kind, const std::string &record,
                uint64_t feedSent = 0) {
        if (log_ == nullptr)
            return;
        fprintf(log_, "%lu %llu %c %s", lineNumber, static_cast<unsigned long long>(sent), kind,
                Escape(record + (options_.crlf ? "\r" : "")).c_str());
        // The text escapes every control character, so a tab is never part of it.
        if (options_.wire)
            fprintf(log_, "\t%llu", static_cast<unsigned long long>(feedSent));
        fputc('\n', log_);
    }
    // --wire: a line starts a random 0-1 ms after it is due (so its stamps fall at every phase
    // of a millisecond), never before the previous line has left, and each byte is written at
    // its time on the wire.
    bool SendWire(const std::string &bytes, uint64_t *firstSent, uint64_t *feedSent) {
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        if (start.tv_sec < lineEnd_.tv_sec ||
            (start.tv_sec == lineEnd_.tv_sec && start.tv_nsec < lineEnd_.tv_nsec))
            start = lineEnd_;
        AddNanoseconds(&start, phase_(phases_));
        for (size_t k = 0; k < bytes.size(); ++k) {
            struct timespec due = start;
            AddNanoseconds(&due, static_cast<double>(k) * options_.characterNs);
            if (!SleepUntil(due) || !WriteAll(out_, bytes.substr(k, 1)))
                return false;
            if (k == 0)
                *firstSent = FileTimeNow();
        }
        *feedSent = FileTimeNow();
        lineEnd_ = start;
        AddNanoseconds(&lineEnd_, static_cast<double>(bytes.size()) * options_.characterNs);
        return true;
    }

    const Options &options_;
    const int out_;
    FILE *const log_;
    const std::string terminator_;
    unsigned long number_ = 0;
    std::mt19937 phases_;
    std::uniform_real_distribution<double> phase_{0.0, 1e6};
    struct timespec lineEnd_ = {};
    std::vector<Pending> pending_;
    std::string pendingBytes_;
};

// The record of the index-th counted line: over-long, garbage before a line, a line with a
// missing value, or a good line, as the options ask.
std::string MakeRecord(const Options &options, long index, unsigned long number, Turbulence &air,
                       char &kind) {
    kind = 'L';
    std::string record;
    if (options.overlongEvery > 0 && index % options.overlongEvery == 0) {
        kind = 'O';
        record = MakeLine(number, air, false);
        while (static_cast<long>(record.size()) < options.overlongLength)
            record += ",0.000";
        record.resize(static_cast<size_t>(options.overlongLength));
    } else if (options.garbageEvery > 0 && index % options.garbageEvery == 0) {
        kind = 'G';
        record = Garbage(air) + MakeLine(number, air, false);
    } else if (options.missingEvery > 0 && index % options.missingEvery == 0) {
        kind = 'M';
        record = MakeLine(number, air, true);
    } else {
        record = MakeLine(number, air, false);
    }
    return record;
}

// The preamble, then (--after-flush) the wait for the receiver's flush and the end of the line
// it started to listen in.
bool SendPreamble(const Options &options, Sender &sender, int out, Turbulence &air) {
    bool ok = true;
    for (long i = 0; ok && i < options.preamble && !stopRequested; ++i)
        ok = sender.SendLine('P', MakeLine(sender.Number() + 1, air, false));
    if (ok && options.afterFlush) {
        ok = WaitForFlush(out);
        // The instrument does not know when the receiver starts to listen: it is in the middle
        // of a line, whose end comes first. The receiver must drop it; it is not a line of the
        // count and not in the log.
        if (ok)
            ok = WriteAll(out, ",20.512,0.000,0.000" + sender.Terminator());
    }
    return ok;
}

// The counted lines at the rate, with their bursts and pauses, until the count or duration is
// reached or a stop comes.
bool SendLines(const Options &options, Sender &sender, Turbulence &air) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const double periodNs = 1e9 / options.rate;
    const long limit = options.count >= 0 ? options.count
                       : options.duration >= 0
                           ? static_cast<long>(std::floor(options.duration * options.rate))
                           : -1;
    bool ok = true;
    long sentLines = 0;
    long burstLeft = 0;
    while (ok && !stopRequested && (limit < 0 || sentLines < limit)) {
        if (burstLeft == 0 && sender.Gathered() == 0 && !SleepUntil(deadline))
            break;
        const long index = sentLines + 1;
        char kind;
        const std::string record = MakeRecord(options, index, sender.Number() + 1, air, kind);
        if (options.batch == 1) {
            ok = sender.SendLine(kind, record);
        } else {
            sender.Gather(kind, record);
            if (static_cast<long>(sender.Gathered()) >= options.batch || sentLines + 1 == limit)
                ok = sender.SendPending();
        }
        ++sentLines;

        if (burstLeft > 0) {
            --burstLeft;
        } else if (options.burstEvery > 0 && index % options.burstEvery == 0) {
            burstLeft = options.burstLength - 1;
        }
        if (burstLeft == 0)
            AddNanoseconds(&deadline, periodNs);
        if (options.pauseEvery > 0 && index % options.pauseEvery == 0) {
            if (ok)
                ok = sender.SendPending();  // a pause comes after the lines before it
            AddNanoseconds(&deadline, options.pauseMs * 1e6);
        }
    }
    if (ok)
        ok = sender.SendPending();  // what a stop left gathered
    return ok;
}

// Keeps the line open until stdin closes or a signal comes.
void Linger() {
    while (!stopRequested) {
        struct pollfd in = {STDIN_FILENO, POLLIN, 0};
        int ready = poll(&in, 1, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        char drain[64];
        if (ready <= 0 || read(STDIN_FILENO, drain, sizeof drain) <= 0)
            break;
    }
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fputs(Usage, stderr);
        return 2;
    }
    SetUpProcess(options);

    std::string path;
    int keepSlave = -1;
    const int out = OpenLine(options, path, keepSlave);
    FILE *log = nullptr;
    if (out < 0 || !OpenLog(options, log))
        return 1;
    printf("%s\n", path.c_str());
    fflush(stdout);

    Turbulence air(options.seed, options.rate);
    bool ok;
    unsigned long number;
    {
        Sender sender(options, out, log);
        ok = SendPreamble(options, sender, out, air) && SendLines(options, sender, air);
        number = sender.Number();
    }
    if (log != nullptr)
        fclose(log);
    printf("done %lu\n", number);
    fflush(stdout);

    if (options.linger)
        Linger();
    if (!options.link.empty())
        unlink(options.link.c_str());
    if (keepSlave >= 0)
        close(keepSlave);
    close(out);
    return ok || stopRequested ? 0 : 1;
}
