// What the running program costs at the instrument's own rate: the real kestrune acquires
// from usonic-sim at 20 Hz for a while (60 s by default), and this bench reads from /proc:
//   - the CPU time of each of its threads over the measured span (schedstat run time in ns,
//     and utime + stime in clock ticks), as a share of one CPU;
//   - the wake-ups per second of each thread: its voluntary context switches (each one a wait
//     that ended), and the involuntary ones (preemptions) beside them;
//   - the resident memory at the end (VmRSS) and its peak (VmHWM).
// The threads are told apart by their start order: main, engine, serial-port reader (the
// platform layer's thread that serves the engine's port), archive; the archive thread is also
// the one of lowest priority.
//
// Given the bin directories of other builds, it runs their kestrune and usonic-sim at the same
// time, each with its own KESTRUNE_ROOT, so that the figures share one load; the first column
// is always this build.
//
//   bench_ResourceAt20Hz [seconds, default 60] [other bin directory ...]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/TestRoot.h"

extern char **environ;

namespace {

struct ThreadSample {
    long tid = 0;
    unsigned long long startTime = 0;  // clock ticks after boot
    long priority = 0;
    unsigned long long ticks = 0;  // utime + stime
    unsigned long long runNs = 0;  // schedstat
    unsigned long long voluntary = 0, involuntary = 0;
};

std::string ReadText(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

unsigned long long StatusField(const std::string &status, const char *name) {
    size_t at = status.find(name);
    return at == std::string::npos ? 0 : strtoull(status.c_str() + at + strlen(name), nullptr, 10);
}

std::vector<ThreadSample> Sample(pid_t pid) {
    std::vector<ThreadSample> threads;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return threads;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string task = dir + "/" + e->d_name;
        ThreadSample t;
        t.tid = atol(e->d_name);
        std::string stat = ReadText(task + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        // Fields after the command: 3 state ... 14 utime 15 stime ... 18 priority ... 22 starttime.
        std::istringstream fields(stat.substr(close + 2));
        std::vector<std::string> f;
        std::string field;
        while (fields >> field)
            f.push_back(field);
        if (f.size() < 20)
            continue;
        t.ticks = strtoull(f[11].c_str(), nullptr, 10) + strtoull(f[12].c_str(), nullptr, 10);
        t.priority = atol(f[15].c_str());
        t.startTime = strtoull(f[19].c_str(), nullptr, 10);
        t.runNs = strtoull(ReadText(task + "/schedstat").c_str(), nullptr, 10);
        std::string status = ReadText(task + "/status");
        t.voluntary = StatusField(status, "\nvoluntary_ctxt_switches:");
        t.involuntary = StatusField(status, "nonvoluntary_ctxt_switches:");
        threads.push_back(t);
    }
    closedir(d);
    std::sort(threads.begin(), threads.end(), [](const ThreadSample &a, const ThreadSample &b) {
        return a.startTime != b.startTime ? a.startTime < b.startTime : a.tid < b.tid;
    });
    return threads;
}

// Starts a program with extra environment entries; its stdout comes back through *out.
pid_t Spawn(const std::vector<std::string> &args, const std::vector<std::string> &extraEnvironment,
            int *out) {
    std::vector<std::string> environment(extraEnvironment);
    for (char **e = environ; *e != nullptr; ++e)
        environment.push_back(*e);
    std::vector<char *> envp;
    for (std::string &e : environment)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> copy(args);
    std::vector<char *> argv;
    for (std::string &a : copy)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    *out = pipeFds[0];
    return pid;
}

std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

void SleepSeconds(double seconds) {
    struct timespec t;
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - static_cast<double>(t.tv_sec)) * 1e9);
    while (nanosleep(&t, &t) != 0) {
    }
}

// One kestrune with its simulator, under its own root.
struct Setup {
    std::string binDirectory;
    std::unique_ptr<TestRoot> root;
    std::string rootPath;
    pid_t sim = -1, program = -1;
    int simOut = -1, programOut = -1;
    std::vector<ThreadSample> before, after;
    std::string status;

    bool Start() {
        int simPipe = -1;
        sim = Spawn({binDirectory + "/kestrune-sim", "--rate", "20"}, {}, &simPipe);
        simOut = simPipe;
        const std::string device = sim > 0 ? ReadLine(simOut) : "";
        if (device.empty())
            return false;
        program = Spawn({binDirectory + "/kestrune"},
                        {"KESTRUNE_ROOT=" + rootPath, "KESTRUNE_COM1=" + device}, &programOut);
        return program > 0;
    }
    void Stop() {
        for (pid_t pid : {program, sim}) {
            if (pid > 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
        }
        for (int fd : {simOut, programOut})
            if (fd >= 0)
                close(fd);
    }
};

const char *Role(size_t index, size_t count) {
    if (index == 0)
        return "main";
    if (count == 4)
        return index == 1 ? "engine" : index == 2 ? "port reader" : "archive";
    return "other";
}

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 60.0;
    std::vector<std::string> bins;
    {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("./x");
        bins.push_back(path.substr(0, path.rfind('/')));
    }
    for (int i = 2; i < argc; ++i)
        bins.push_back(argv[i]);

    double load[3] = {};
    if (getloadavg(load, 3) == 3)
        printf("load average at the start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);

    std::vector<Setup> setups(bins.size());
    for (size_t i = 0; i < bins.size(); ++i) {
        setups[i].binDirectory = bins[i];
        setups[i].root = std::make_unique<TestRoot>();
        setups[i].rootPath = setups[i].root->Path();
        if (!setups[i].Start()) {
            fprintf(stderr, "bench_ResourceAt20Hz: cannot start %s/kestrune with usonic-sim\n",
                    bins[i].c_str());
            for (Setup &s : setups)
                s.Stop();
            return 1;
        }
    }
    // Until each program has its four threads (the archive thread comes last), then 2 s more
    // so that the start-up work is behind.
    for (int tries = 0; tries < 200; ++tries) {
        bool all = true;
        for (Setup &s : setups)
            all = all && Sample(s.program).size() >= 4;
        if (all)
            break;
        SleepSeconds(0.1);
    }
    SleepSeconds(2);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (Setup &s : setups)
        s.before = Sample(s.program);
    SleepSeconds(seconds);
    for (Setup &s : setups) {
        s.after = Sample(s.program);
        s.status = ReadText("/proc/" + std::to_string(s.program) + "/status");
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    for (Setup &s : setups)
        s.Stop();
    const double span = static_cast<double>(end.tv_sec - start.tv_sec) +
                        static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;

    std::map<std::string, double> engineShare, archiveShare;
    for (Setup &s : setups) {
        printf("\n%s/kestrune at 20 Hz over %.1f s\n", s.binDirectory.c_str(), span);
        printf("  %-12s %8s %5s %11s %9s %9s %12s %12s\n", "thread", "tid", "prio", "CPU ms (ns)", "% CPU",
               "% (ticks)", "wake-ups/s", "preempted/s");
        double totalNs = 0, totalWakeUps = 0;
        for (size_t i = 0; i < s.after.size(); ++i) {
            const ThreadSample &a = s.after[i];
            ThreadSample b;
            for (const ThreadSample &candidate : s.before)
                if (candidate.tid == a.tid)
                    b = candidate;
            const double ns = static_cast<double>(a.runNs - b.runNs);
            const double share = 100.0 * ns * 1e-9 / span;
            const double tickShare =
                100.0 * static_cast<double>(a.ticks - b.ticks) / static_cast<double>(ticksPerSecond) / span;
            const double wakeUps = static_cast<double>(a.voluntary - b.voluntary) / span;
            totalNs += ns;
            totalWakeUps += wakeUps;
            const char *role = Role(i, s.after.size());
            printf("  %-12s %8ld %5ld %11.2f %9.3f %9.3f %12.1f %12.1f\n", role, a.tid, a.priority, ns * 1e-6,
                   share, tickShare, wakeUps, static_cast<double>(a.involuntary - b.involuntary) / span);
            if (strcmp(role, "engine") == 0)
                engineShare[s.binDirectory] = share;
            if (strcmp(role, "archive") == 0)
                archiveShare[s.binDirectory] = share;
        }
        printf("  %-12s %8s %5s %11.2f %9.3f %9s %12.1f\n", "process", "", "", totalNs * 1e-6,
               100.0 * totalNs * 1e-9 / span, "", totalWakeUps);
        printf("  resident memory: %llu kB (peak %llu kB)\n", StatusField(s.status, "VmRSS:"),
               StatusField(s.status, "VmHWM:"));
    }
    if (setups.size() > 1) {
        printf("\nthis build / other build, %% CPU:\n");
        for (size_t i = 1; i < setups.size(); ++i) {
            const std::string &other = setups[i].binDirectory;
            auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
            printf("  vs %s: engine %.2f, archive %.2f\n", other.c_str(),
                   ratio(engineShare[bins[0]], engineShare[other]),
                   ratio(archiveShare[bins[0]], archiveShare[other]));
        }
    }
    if (getloadavg(load, 3) == 3)
        printf("load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
