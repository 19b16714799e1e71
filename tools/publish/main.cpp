// kestrune-publish: publishes the station's health, its statistics periods, its flux rows and
// the error entries of its event log to an MQTT broker. A separate process that only reads the
// station's files and the registry bookkeeping, like `kestrune status`; it writes only its own
// state file (the cursor), outside the data directory, and its own lines on stderr.
//
//   kestrune-publish --station NAME [--broker HOST[:PORT]] [--data-dir DIR] [--state FILE] ...
//
// A broker that is missing or down costs the acquisition nothing: the publisher retries with
// back-off (1 s doubling up to 60 s), says so once per outage on stderr, and on reconnecting
// publishes what it missed from its cursor.
#include <mosquitto.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "app/Configuration.h"
#include "app/StationStatus.h"
#include "platform/win32.h"
#include "tools/publish/Publisher.h"

namespace {

const char Usage[] =
    "usage: kestrune-publish --station NAME [options]\n"
    "  --station NAME      the station's name in the topics kestrune/NAME/<instrument>/...\n"
    "  --broker HOST[:PORT]  the MQTT broker (default localhost:1883)\n"
    "  --data-dir DIR      the station's data directory, as the program takes it (default: the\n"
    "                      program's, from the registry or its default)\n"
    "  --state FILE        the cursor file (default: publish-<station>.cursor in\n"
    "                      $STATE_DIRECTORY, else in KESTRUNE_ROOT); never in the data directory\n"
    "  --interval SECONDS  seconds between health messages (default 30)\n"
    "  --page URL          the station page's address for the overview's link (http:// or https://)\n"
    "  -i, --id ID         MQTT client id (default kestrune-publish-<station>-<instrument>)\n"
    "  -k, --keepalive S   MQTT keepalive in seconds (default 30)\n"
    "  -u, --username U    -P, --pw PASSWORD   broker login\n"
    "  --cafile FILE  --capath DIR  --cert FILE  --key FILE   TLS (any of them turns TLS on)\n"
    "  --insecure          do not check the broker certificate's host name\n";

volatile sig_atomic_t StopRequested = 0;
void OnSignal(int) {
    StopRequested = 1;
}

using Millis = station::Millis;

Millis NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Nap(int milliseconds) {
    struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, nullptr);  // a signal ends it early
}

struct Link {
    bool Connected = false;
    bool JustConnected = false;
    bool Refused = false;  // the broker answered the connect with a refusal
    int RefusedCode = 0;
    std::set<int> Acked;
    // Retained messages on our own stream topics while syncing after a connect: leaf, payload.
    std::vector<std::pair<std::string, std::string>> Retained;
};

void OnConnect(struct mosquitto *, void *data, int rc) {
    Link *link = static_cast<Link *>(data);
    link->Connected = rc == 0;
    link->JustConnected = rc == 0;
    link->Refused = rc != 0;
    link->RefusedCode = rc;
}
void OnDisconnect(struct mosquitto *, void *data, int) {
    static_cast<Link *>(data)->Connected = false;
}
void OnPublish(struct mosquitto *, void *data, int mid) {
    static_cast<Link *>(data)->Acked.insert(mid);
}
void OnMessage(struct mosquitto *, void *data, const struct mosquitto_message *message) {
    if (!message->retain || !message->topic)
        return;
    std::string topic = message->topic;
    std::string leaf = topic.substr(topic.find_last_of('/') + 1);
    static_cast<Link *>(data)->Retained.emplace_back(
        leaf,
        std::string(static_cast<const char *>(message->payload), static_cast<size_t>(message->payloadlen)));
}

std::string NativePath(const char *windowsPath) {
    char path[4096];
    if (!KestruneMapPath(windowsPath, path, sizeof path))
        return windowsPath;
    return path;
}

bool Inside(const std::string &path, const std::string &directory) {
    char resolvedDirectory[PATH_MAX], resolvedParent[PATH_MAX];
    if (!realpath(directory.c_str(), resolvedDirectory))
        return false;
    std::string parent =
        path.substr(0, path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/'));
    if (parent.empty())
        parent = ".";
    if (!realpath(parent.c_str(), resolvedParent))
        return false;
    std::string d = resolvedDirectory, p = resolvedParent;
    return p == d || p.compare(0, d.size() + 1, d + "/") == 0;
}

// What the command line asks for; the broker's host and port are split from --broker.
struct Options {
    std::string stationName, broker = "localhost", dataDirectory, statePath, clientId;
    std::string username, password, cafile, capath, cert, key, page;
    bool insecure = false, havePassword = false;
    int interval = 30, keepalive = 30;
    std::string host;
    int port = 1883;
};

// The phases below return this to go on; anything else is the exit status.
const int GoOn = -1;

bool TakesValue(const std::string &arg) {
    return arg == "--station" || arg == "--broker" || arg == "--data-dir" || arg == "--state" ||
           arg == "--interval" || arg == "-i" || arg == "--id" || arg == "-k" || arg == "--keepalive" ||
           arg == "-u" || arg == "--username" || arg == "-P" || arg == "--pw" || arg == "--cafile" ||
           arg == "--capath" || arg == "--cert" || arg == "--key" || arg == "--page";
}

void SetValue(Options &o, const std::string &arg, const std::string &value) {
    if (arg == "--station")
        o.stationName = value;
    else if (arg == "--broker")
        o.broker = value;
    else if (arg == "--data-dir")
        o.dataDirectory = value;
    else if (arg == "--state")
        o.statePath = value;
    else if (arg == "--interval")
        o.interval = std::atoi(value.c_str());
    else if (arg == "-i" || arg == "--id")
        o.clientId = value;
    else if (arg == "-k" || arg == "--keepalive")
        o.keepalive = std::atoi(value.c_str());
    else if (arg == "-u" || arg == "--username")
        o.username = value;
    else if (arg == "-P" || arg == "--pw") {
        o.password = value;
        o.havePassword = true;
    } else if (arg == "--cafile")
        o.cafile = value;
    else if (arg == "--capath")
        o.capath = value;
    else if (arg == "--cert")
        o.cert = value;
    else if (arg == "--page")
        o.page = value;
    else
        o.key = value;
}

int ParseArguments(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (TakesValue(arg) && i + 1 < argc) {
            SetValue(o, arg, argv[++i]);
        } else if (arg == "--insecure") {
            o.insecure = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "kestrune-publish: unknown or incomplete argument %s\n%s", arg.c_str(),
                         Usage);
            return 2;
        }
    }
    return GoOn;
}

// HOST, HOST:PORT, [IPV6] or [IPV6]:PORT; a bare IPv6 address has more than one colon. A host
// left empty marks a --broker that cannot be read.
void SplitBroker(Options &o) {
    const std::string &broker = o.broker;
    o.host = broker;
    bool portOk = true;
    size_t colon = broker.rfind(':');
    if (!broker.empty() && broker.front() == '[') {
        size_t close = broker.find(']');
        o.host = close == std::string::npos ? "" : broker.substr(1, close - 1);
        if (close != std::string::npos && close + 1 < broker.size()) {
            portOk = broker[close + 1] == ':';
            o.port = std::atoi(broker.c_str() + close + 2);
        }
    } else if (colon != std::string::npos && broker.find(':') == colon) {
        o.host = broker.substr(0, colon);
        o.port = std::atoi(broker.c_str() + colon + 1);
    }
    if (!portOk)
        o.host.clear();
}

int CheckOptions(const Options &o) {
    if (!publish::ValidTopicLevel(o.stationName)) {
        std::fprintf(stderr,
                     "kestrune-publish: --station takes 1 to 100 characters without '/', '+', '#' or control "
                     "characters\n%s",
                     Usage);
        return 2;
    }
    if (!o.page.empty() && o.page.compare(0, 7, "http://") != 0 && o.page.compare(0, 8, "https://") != 0) {
        std::fprintf(stderr, "kestrune-publish: --page takes an http:// or https:// address\n%s", Usage);
        return 2;
    }
    if (o.host.empty() || o.port < 1 || o.port > 65535 || o.interval < 1 || o.interval > 3600 ||
        o.keepalive < 5 || o.keepalive > 65535 || (!o.cert.empty()) != (!o.key.empty())) {
        std::fprintf(stderr,
                     "kestrune-publish: --broker takes HOST[:PORT], --interval 1 to 3600 s, --keepalive 5 to "
                     "65535 s; --cert and --key go together\n%s",
                     Usage);
        return 2;
    }
    return GoOn;
}

// The station as `kestrune status` sees it: the same configuration, read the same way. The
// arguments point into the options, which outlive it.
struct Station {
    std::vector<const char *> StatusArgs = {"kestrune", "status"};
    std::string Instrument, LogDirectory, StatsDirectory;
};

// Reads the station's configuration, then settles the state file (never in the data
// directories) and the client id the options left to their defaults.
int LocateStation(Options &o, Station &located) {
    if (!o.dataDirectory.empty()) {
        located.StatusArgs.push_back("--data-dir");
        located.StatusArgs.push_back(o.dataDirectory.c_str());
    }
    Configuration configuration;
    if (configuration.Load(static_cast<int>(located.StatusArgs.size()), located.StatusArgs.data()) != 0) {
        std::fprintf(stderr, "kestrune-publish: %s\n", configuration.Error);
        return 2;
    }
    located.Instrument = Configuration::InstrumentSubkey;
    located.LogDirectory = NativePath(configuration.Text(Configuration::DataDirectory));
    located.StatsDirectory = NativePath(configuration.Text(Configuration::StatsArchiveDirectory));
    if (o.statePath.empty()) {
        const char *stateDirectory = std::getenv("STATE_DIRECTORY");
        std::string directory = stateDirectory && *stateDirectory ? stateDirectory : "";
        if (directory.empty()) {
            std::string registry = station::RegistryStorePath();  // KESTRUNE_ROOT/registry.db
            directory = registry.substr(0, registry.find_last_of('/'));
        }
        o.statePath = directory + "/publish-" + o.stationName + ".cursor";
    }
    if (Inside(o.statePath, located.LogDirectory) || Inside(o.statePath, located.StatsDirectory)) {
        std::fprintf(stderr, "kestrune-publish: the state file %s lies in the station's data directory\n",
                     o.statePath.c_str());
        return 2;
    }
    if (o.clientId.empty())
        o.clientId = "kestrune-publish-" + o.stationName + "-" + located.Instrument;
    return GoOn;
}

void CatchSignals() {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// The MQTT client with its callbacks on the link, the retained offline mark as its last will,
// the login and TLS.
int CreateClient(const Options &o, const Station &located, Link &link, struct mosquitto *&mosq) {
    mosq = mosquitto_new(o.clientId.c_str(), true, &link);
    if (!mosq) {
        std::fprintf(stderr, "kestrune-publish: cannot create the MQTT client\n");
        return 1;
    }
    const std::string healthTopic = publish::Topic(o.stationName, located.Instrument, "health");
    const std::string offline = publish::OfflineJson(o.stationName, located.Instrument);
    mosquitto_connect_callback_set(mosq, OnConnect);
    mosquitto_disconnect_callback_set(mosq, OnDisconnect);
    mosquitto_publish_callback_set(mosq, OnPublish);
    mosquitto_message_callback_set(mosq, OnMessage);
    int rc = mosquitto_will_set(mosq, healthTopic.c_str(), static_cast<int>(offline.size()), offline.data(),
                                1, true);
    if (rc == MOSQ_ERR_SUCCESS && (!o.username.empty() || o.havePassword))
        rc = mosquitto_username_pw_set(mosq, o.username.empty() ? nullptr : o.username.c_str(),
                                       o.havePassword ? o.password.c_str() : nullptr);
    if (rc == MOSQ_ERR_SUCCESS && (!o.cafile.empty() || !o.capath.empty() || !o.cert.empty()))
        rc = mosquitto_tls_set(mosq, o.cafile.empty() ? nullptr : o.cafile.c_str(),
                               o.capath.empty() ? nullptr : o.capath.c_str(),
                               o.cert.empty() ? nullptr : o.cert.c_str(),
                               o.key.empty() ? nullptr : o.key.c_str(), nullptr);
    if (rc == MOSQ_ERR_SUCCESS && o.insecure)
        rc = mosquitto_tls_insecure_set(mosq, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "kestrune-publish: %s\n", mosquitto_strerror(rc));
        return 2;
    }
    return GoOn;
}

// The publisher's run against its broker: connecting with back-off, the sync from the broker's
// retained messages after each connect, the health messages, the batches from the station's
// files and the cursor that moves on as the broker acknowledges them.
class Run {
public:
    Run(const Options &options, const Station &found, struct mosquitto *client, Link &connection)
        : o(options),
          located(found),
          mosq(client),
          link(connection),
          healthTopic(publish::Topic(o.stationName, located.Instrument, "health")),
          offline(publish::OfflineJson(o.stationName, located.Instrument)),
          streamTopics({publish::Topic(o.stationName, located.Instrument, "stats"),
                        publish::Topic(o.stationName, located.Instrument, "flux"),
                        publish::Topic(o.stationName, located.Instrument, "events")}),
          source(located.LogDirectory, located.StatsDirectory, o.stationName, located.Instrument) {
        publish::LoadCursor(o.statePath, committed);
        batchEnd = committed;
    }

    // One turn of the loop: a connect when due, the client's network work, then what the
    // connection's state allows.
    void Step() {
        Millis now = NowMillis();
        if (!link.Connected && !socketOpen && !Connect(now))
            return;
        int rc = mosquitto_loop(mosq, 200, 1);
        now = NowMillis();
        if (rc != MOSQ_ERR_SUCCESS || link.Refused) {
            Lost(now, rc);
            return;
        }
        if (!link.Connected)
            return;  // waiting for the broker's answer to the connect
        if (link.JustConnected)
            StartSync(now);
        if (syncing && !FinishSync())
            return;
        if (inEpisode || !everConnected)
            Announce(now);
        CommitAcknowledged();
        if (now >= nextHealth) {
            const std::string payload = HealthPayload();
            mosquitto_publish(mosq, nullptr, healthTopic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), 1, true);
            nextHealth = now + o.interval * 1000LL;
        }
        if (!batchOpen && pending.empty() && now >= nextCollect)
            PublishBatch(now);
    }

    // Stopped: leave the retained offline mark, as the last will would.
    void Shutdown() {
        if (!link.Connected)
            return;
        int mid = 0;
        if (mosquitto_publish(mosq, &mid, healthTopic.c_str(), static_cast<int>(offline.size()),
                              offline.data(), 1, true) == MOSQ_ERR_SUCCESS)
            for (int i = 0; i < 10 && !link.Acked.count(mid) && link.Connected; ++i)
                mosquitto_loop(mosq, 200, 1);
        while (!pending.empty() && link.Acked.count(pending.front().first)) {
            committed = pending.front().second;
            pending.pop_front();
        }
        if (batchOpen && pending.empty())
            committed = batchEnd;
        publish::SaveCursor(o.statePath, committed);
        mosquitto_disconnect(mosq);
    }

private:
    // The facts of `kestrune status`, read afresh for each health message.
    std::string HealthPayload() const {
        Configuration current;
        const Millis now = NowMillis();
        const long errors = publish::ErrorsToday(located.LogDirectory, now);
        if (current.Load(static_cast<int>(located.StatusArgs.size()), located.StatusArgs.data()) != 0)
            return publish::HealthJson(o.stationName, located.Instrument, now, "", errors, o.page);
        return publish::HealthJson(o.stationName, located.Instrument, now, StationStatus(current).Json(),
                                   errors, o.page);
    }

    // True when an outage starts here: the caller says so once on stderr.
    bool StartEpisode(Millis now) {
        if (inEpisode)
            return false;
        inEpisode = true;
        episodeStart = now;
        return true;
    }

    void BackOff(Millis now) {
        nextAttempt = now + backoff * 1000LL;
        backoff = backoff < 60 ? backoff * 2 : 60;
    }

    // True once the socket is open; the broker's answer comes through the loop.
    bool Connect(Millis now) {
        if (now < nextAttempt) {
            Nap(200);
            return false;
        }
        int rc = mosquitto_connect(mosq, o.host.c_str(), o.port, o.keepalive);
        if (rc == MOSQ_ERR_SUCCESS) {
            socketOpen = true;
            link.Refused = false;
            return true;
        }
        if (StartEpisode(now))
            std::fprintf(stderr, "kestrune-publish: broker %s:%d unreachable (%s); retrying with back-off\n",
                         o.host.c_str(), o.port,
                         rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        BackOff(now);
        return false;
    }

    // The connection is gone: what was sent without an acknowledgement goes again from the
    // committed cursor once the broker is back.
    void Lost(Millis now, int rc) {
        if (StartEpisode(now))
            std::fprintf(stderr, "kestrune-publish: broker %s:%d: %s; retrying with back-off\n",
                         o.host.c_str(), o.port,
                         link.Refused ? mosquitto_connack_string(link.RefusedCode) : mosquitto_strerror(rc));
        mosquitto_disconnect(mosq);
        link.Connected = false;
        link.Refused = false;
        socketOpen = false;
        syncing = false;
        pending.clear();
        link.Acked.clear();
        batchOpen = false;
        BackOff(now);
    }

    // What the broker already holds of our streams comes as its retained messages, sent on the
    // subscription before the answer to the health message that follows it.
    void StartSync(Millis now) {
        link.JustConnected = false;
        link.Retained.clear();
        for (const std::string &topic : streamTopics)
            mosquitto_subscribe(mosq, nullptr, topic.c_str(), 1);
        const std::string payload = HealthPayload();
        syncing = mosquitto_publish(mosq, &syncMid, healthTopic.c_str(), static_cast<int>(payload.size()),
                                    payload.data(), 1, true) == MOSQ_ERR_SUCCESS;
        nextHealth = now + o.interval * 1000LL;
    }

    // False while the health message of the sync waits for its acknowledgement; then the cursor
    // moves past what the retained messages show the broker has.
    bool FinishSync() {
        if (!link.Acked.count(syncMid))
            return false;
        syncing = false;
        link.Acked.erase(syncMid);
        publish::Cursor before = committed;
        for (const auto &retained : link.Retained)
            publish::AdvanceFromRetained(retained.first, retained.second, committed);
        link.Retained.clear();
        for (const std::string &topic : streamTopics)
            mosquitto_unsubscribe(mosq, nullptr, topic.c_str());
        if (committed != before)
            publish::SaveCursor(o.statePath, committed);
        return true;
    }

    void Announce(Millis now) {
        if (inEpisode)
            std::fprintf(stderr, "kestrune-publish: connected to broker %s:%d again after %lld s\n",
                         o.host.c_str(), o.port, static_cast<long long>((now - episodeStart) / 1000));
        else
            std::fprintf(stderr, "kestrune-publish: connected to broker %s:%d\n", o.host.c_str(), o.port);
        inEpisode = false;
        everConnected = true;
        backoff = 1;
        nextCollect = 0;
    }

    // Acknowledged messages move the cursor on, in the order they were sent.
    void CommitAcknowledged() {
        publish::Cursor before = committed;
        while (!pending.empty() && link.Acked.count(pending.front().first)) {
            link.Acked.erase(pending.front().first);
            committed = pending.front().second;
            pending.pop_front();
        }
        if (batchOpen && pending.empty()) {
            committed = batchEnd;
            batchOpen = false;
        }
        if (committed != before && !publish::SaveCursor(o.statePath, committed) && !cursorWarned) {
            std::fprintf(stderr, "kestrune-publish: cannot write the state file %s: %s\n",
                         o.statePath.c_str(), std::strerror(errno));
            cursorWarned = true;
        }
    }

    void PublishBatch(Millis now) {
        publish::Source::Batch batch = source.Collect(committed, now, 100);
        for (const auto &message : batch.Messages) {
            int mid = 0;
            if (mosquitto_publish(mosq, &mid, message.Topic.c_str(), static_cast<int>(message.Payload.size()),
                                  message.Payload.data(), 1, message.Retain) != MOSQ_ERR_SUCCESS)
                break;  // the connection went: the next turn starts over
            pending.emplace_back(mid, message.After);
        }
        if (pending.size() == batch.Messages.size()) {
            batchEnd = batch.End;
            batchOpen = true;
        }
        nextCollect = now + 1000;
    }

    const Options &o;
    const Station &located;
    struct mosquitto *mosq;
    Link &link;
    const std::string healthTopic, offline;
    const std::vector<std::string> streamTopics;
    publish::Source source;
    bool syncing = false;
    int syncMid = 0;
    publish::Cursor committed;
    publish::Cursor batchEnd;
    bool batchOpen = false;
    std::deque<std::pair<int, publish::Cursor>> pending;
    bool cursorWarned = false;
    bool everConnected = false, inEpisode = false, socketOpen = false;
    Millis episodeStart = 0, nextAttempt = 0, nextHealth = 0, nextCollect = 0;
    int backoff = 1;
};

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int status = ParseArguments(argc, argv, o);
    if (status == GoOn) {
        SplitBroker(o);
        status = CheckOptions(o);
    }
    Station located;
    if (status == GoOn)
        status = LocateStation(o, located);
    if (status != GoOn)
        return status;
    CatchSignals();

    mosquitto_lib_init();
    Link link;
    struct mosquitto *mosq = nullptr;
    status = CreateClient(o, located, link, mosq);
    if (status != GoOn)
        return status;

    Run run(o, located, mosq, link);
    std::fprintf(stderr, "kestrune-publish: station %s, instrument %s, broker %s:%d, state %s\n",
                 o.stationName.c_str(), located.Instrument.c_str(), o.host.c_str(), o.port,
                 o.statePath.c_str());
    while (!StopRequested)
        run.Step();
    run.Shutdown();
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return 0;
}
