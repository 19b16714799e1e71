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

}  // namespace

int main(int argc, char **argv) {
    std::string stationName, broker = "localhost", dataDirectory, statePath, clientId;
    std::string username, password, cafile, capath, cert, key, page;
    bool insecure = false, havePassword = false;
    int interval = 30, keepalive = 30;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const bool takesValue = arg == "--station" || arg == "--broker" || arg == "--data-dir" ||
                                arg == "--state" || arg == "--interval" || arg == "-i" || arg == "--id" ||
                                arg == "-k" || arg == "--keepalive" || arg == "-u" || arg == "--username" ||
                                arg == "-P" || arg == "--pw" || arg == "--cafile" || arg == "--capath" ||
                                arg == "--cert" || arg == "--key" || arg == "--page";
        if (takesValue && i + 1 < argc) {
            std::string value = argv[++i];
            if (arg == "--station")
                stationName = value;
            else if (arg == "--broker")
                broker = value;
            else if (arg == "--data-dir")
                dataDirectory = value;
            else if (arg == "--state")
                statePath = value;
            else if (arg == "--interval")
                interval = std::atoi(value.c_str());
            else if (arg == "-i" || arg == "--id")
                clientId = value;
            else if (arg == "-k" || arg == "--keepalive")
                keepalive = std::atoi(value.c_str());
            else if (arg == "-u" || arg == "--username")
                username = value;
            else if (arg == "-P" || arg == "--pw") {
                password = value;
                havePassword = true;
            } else if (arg == "--cafile")
                cafile = value;
            else if (arg == "--capath")
                capath = value;
            else if (arg == "--cert")
                cert = value;
            else if (arg == "--page")
                page = value;
            else
                key = value;
        } else if (arg == "--insecure") {
            insecure = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "kestrune-publish: unknown or incomplete argument %s\n%s", arg.c_str(),
                         Usage);
            return 2;
        }
    }
    // HOST, HOST:PORT, [IPV6] or [IPV6]:PORT; a bare IPv6 address has more than one colon.
    std::string host = broker;
    int port = 1883;
    bool portOk = true;
    size_t colon = broker.rfind(':');
    if (!broker.empty() && broker.front() == '[') {
        size_t close = broker.find(']');
        host = close == std::string::npos ? "" : broker.substr(1, close - 1);
        if (close != std::string::npos && close + 1 < broker.size()) {
            portOk = broker[close + 1] == ':';
            port = std::atoi(broker.c_str() + close + 2);
        }
    } else if (colon != std::string::npos && broker.find(':') == colon) {
        host = broker.substr(0, colon);
        port = std::atoi(broker.c_str() + colon + 1);
    }
    if (!portOk)
        host.clear();
    if (!publish::ValidTopicLevel(stationName)) {
        std::fprintf(stderr,
                     "kestrune-publish: --station takes 1 to 100 characters without '/', '+', '#' or control "
                     "characters\n%s",
                     Usage);
        return 2;
    }
    if (!page.empty() && page.compare(0, 7, "http://") != 0 && page.compare(0, 8, "https://") != 0) {
        std::fprintf(stderr, "kestrune-publish: --page takes an http:// or https:// address\n%s", Usage);
        return 2;
    }
    if (host.empty() || port < 1 || port > 65535 || interval < 1 || interval > 3600 || keepalive < 5 ||
        keepalive > 65535 || (!cert.empty()) != (!key.empty())) {
        std::fprintf(stderr,
                     "kestrune-publish: --broker takes HOST[:PORT], --interval 1 to 3600 s, --keepalive 5 to "
                     "65535 s; --cert and --key go together\n%s",
                     Usage);
        return 2;
    }

    // The station as `kestrune status` sees it: the same configuration, read the same way.
    std::vector<const char *> statusArgs = {"kestrune", "status"};
    if (!dataDirectory.empty()) {
        statusArgs.push_back("--data-dir");
        statusArgs.push_back(dataDirectory.c_str());
    }
    Configuration configuration;
    if (configuration.Load(static_cast<int>(statusArgs.size()), statusArgs.data()) != 0) {
        std::fprintf(stderr, "kestrune-publish: %s\n", configuration.Error);
        return 2;
    }
    const std::string instrument = Configuration::InstrumentSubkey;
    const std::string logDirectory = NativePath(configuration.Text(Configuration::DataDirectory));
    const std::string statsDirectory = NativePath(configuration.Text(Configuration::StatsArchiveDirectory));
    if (statePath.empty()) {
        const char *stateDirectory = std::getenv("STATE_DIRECTORY");
        std::string directory = stateDirectory && *stateDirectory ? stateDirectory : "";
        if (directory.empty()) {
            std::string registry = station::RegistryStorePath();  // KESTRUNE_ROOT/registry.db
            directory = registry.substr(0, registry.find_last_of('/'));
        }
        statePath = directory + "/publish-" + stationName + ".cursor";
    }
    if (Inside(statePath, logDirectory) || Inside(statePath, statsDirectory)) {
        std::fprintf(stderr, "kestrune-publish: the state file %s lies in the station's data directory\n",
                     statePath.c_str());
        return 2;
    }
    if (clientId.empty())
        clientId = "kestrune-publish-" + stationName + "-" + instrument;

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    mosquitto_lib_init();
    Link link;
    struct mosquitto *mosq = mosquitto_new(clientId.c_str(), true, &link);
    if (!mosq) {
        std::fprintf(stderr, "kestrune-publish: cannot create the MQTT client\n");
        return 1;
    }
    const std::string healthTopic = publish::Topic(stationName, instrument, "health");
    const std::string offline = publish::OfflineJson(stationName, instrument);
    mosquitto_connect_callback_set(mosq, OnConnect);
    mosquitto_disconnect_callback_set(mosq, OnDisconnect);
    mosquitto_publish_callback_set(mosq, OnPublish);
    mosquitto_message_callback_set(mosq, OnMessage);
    int rc = mosquitto_will_set(mosq, healthTopic.c_str(), static_cast<int>(offline.size()), offline.data(),
                                1, true);
    if (rc == MOSQ_ERR_SUCCESS && (!username.empty() || havePassword))
        rc = mosquitto_username_pw_set(mosq, username.empty() ? nullptr : username.c_str(),
                                       havePassword ? password.c_str() : nullptr);
    if (rc == MOSQ_ERR_SUCCESS && (!cafile.empty() || !capath.empty() || !cert.empty()))
        rc = mosquitto_tls_set(
            mosq, cafile.empty() ? nullptr : cafile.c_str(), capath.empty() ? nullptr : capath.c_str(),
            cert.empty() ? nullptr : cert.c_str(), key.empty() ? nullptr : key.c_str(), nullptr);
    if (rc == MOSQ_ERR_SUCCESS && insecure)
        rc = mosquitto_tls_insecure_set(mosq, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "kestrune-publish: %s\n", mosquitto_strerror(rc));
        return 2;
    }

    const std::vector<std::string> streamTopics = {publish::Topic(stationName, instrument, "stats"),
                                                   publish::Topic(stationName, instrument, "flux"),
                                                   publish::Topic(stationName, instrument, "events")};
    // The facts of `kestrune status`, read afresh for each health message.
    auto HealthPayload = [&] {
        Configuration current;
        const Millis now = NowMillis();
        const long errors = publish::ErrorsToday(logDirectory, now);
        if (current.Load(static_cast<int>(statusArgs.size()), statusArgs.data()) != 0)
            return publish::HealthJson(stationName, instrument, now, "", errors, page);
        return publish::HealthJson(stationName, instrument, now, StationStatus(current).Json(), errors, page);
    };
    bool syncing = false;
    int syncMid = 0;
    publish::Source source(logDirectory, statsDirectory, stationName, instrument);
    publish::Cursor committed;
    publish::LoadCursor(statePath, committed);
    publish::Cursor batchEnd = committed;
    bool batchOpen = false;
    std::deque<std::pair<int, publish::Cursor>> pending;
    bool cursorWarned = false;

    bool everConnected = false, inEpisode = false, socketOpen = false;
    Millis episodeStart = 0, nextAttempt = 0, nextHealth = 0, nextCollect = 0;
    int backoff = 1;
    std::fprintf(stderr, "kestrune-publish: station %s, instrument %s, broker %s:%d, state %s\n",
                 stationName.c_str(), instrument.c_str(), host.c_str(), port, statePath.c_str());

    while (!StopRequested) {
        Millis now = NowMillis();
        if (!link.Connected && !socketOpen) {
            if (now < nextAttempt) {
                Nap(200);
                continue;
            }
            rc = mosquitto_connect(mosq, host.c_str(), port, keepalive);
            if (rc == MOSQ_ERR_SUCCESS) {
                socketOpen = true;
                link.Refused = false;
            } else {
                if (!inEpisode) {
                    inEpisode = true;
                    episodeStart = now;
                    std::fprintf(stderr,
                                 "kestrune-publish: broker %s:%d unreachable (%s); retrying with back-off\n",
                                 host.c_str(), port,
                                 rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
                }
                nextAttempt = now + backoff * 1000LL;
                backoff = backoff < 60 ? backoff * 2 : 60;
                continue;
            }
        }
        rc = mosquitto_loop(mosq, 200, 1);
        now = NowMillis();
        if (rc != MOSQ_ERR_SUCCESS || link.Refused) {
            // The connection is gone: what was sent without an acknowledgement goes again from
            // the committed cursor once the broker is back.
            if (!inEpisode) {
                inEpisode = true;
                episodeStart = now;
                std::fprintf(
                    stderr, "kestrune-publish: broker %s:%d: %s; retrying with back-off\n", host.c_str(),
                    port, link.Refused ? mosquitto_connack_string(link.RefusedCode) : mosquitto_strerror(rc));
            }
            mosquitto_disconnect(mosq);
            link.Connected = false;
            link.Refused = false;
            socketOpen = false;
            syncing = false;
            pending.clear();
            link.Acked.clear();
            batchOpen = false;
            nextAttempt = now + backoff * 1000LL;
            backoff = backoff < 60 ? backoff * 2 : 60;
            continue;
        }
        if (!link.Connected)
            continue;  // waiting for the broker's answer to the connect
        if (link.JustConnected) {
            // What the broker already holds of our streams comes as its retained messages,
            // sent on the subscription before the answer to the health message that follows it.
            link.JustConnected = false;
            link.Retained.clear();
            for (const std::string &topic : streamTopics)
                mosquitto_subscribe(mosq, nullptr, topic.c_str(), 1);
            const std::string payload = HealthPayload();
            syncing = mosquitto_publish(mosq, &syncMid, healthTopic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), 1, true) == MOSQ_ERR_SUCCESS;
            nextHealth = now + interval * 1000LL;
        }
        if (syncing) {
            if (!link.Acked.count(syncMid))
                continue;
            syncing = false;
            link.Acked.erase(syncMid);
            publish::Cursor before = committed;
            for (const auto &retained : link.Retained)
                publish::AdvanceFromRetained(retained.first, retained.second, committed);
            link.Retained.clear();
            for (const std::string &topic : streamTopics)
                mosquitto_unsubscribe(mosq, nullptr, topic.c_str());
            if (committed != before)
                publish::SaveCursor(statePath, committed);
        }
        if (inEpisode || !everConnected) {
            if (inEpisode)
                std::fprintf(stderr, "kestrune-publish: connected to broker %s:%d again after %lld s\n",
                             host.c_str(), port, static_cast<long long>((now - episodeStart) / 1000));
            else
                std::fprintf(stderr, "kestrune-publish: connected to broker %s:%d\n", host.c_str(), port);
            inEpisode = false;
            everConnected = true;
            backoff = 1;
            nextCollect = 0;
        }

        // Acknowledged messages move the cursor on, in the order they were sent.
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
        if (committed != before && !publish::SaveCursor(statePath, committed) && !cursorWarned) {
            std::fprintf(stderr, "kestrune-publish: cannot write the state file %s: %s\n", statePath.c_str(),
                         std::strerror(errno));
            cursorWarned = true;
        }

        if (now >= nextHealth) {
            const std::string payload = HealthPayload();
            mosquitto_publish(mosq, nullptr, healthTopic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), 1, true);
            nextHealth = now + interval * 1000LL;
        }
        if (!batchOpen && pending.empty() && now >= nextCollect) {
            publish::Source::Batch batch = source.Collect(committed, now, 100);
            for (const auto &message : batch.Messages) {
                int mid = 0;
                if (mosquitto_publish(mosq, &mid, message.Topic.c_str(),
                                      static_cast<int>(message.Payload.size()), message.Payload.data(), 1,
                                      message.Retain) != MOSQ_ERR_SUCCESS)
                    break;  // the connection went: the loop above starts over
                pending.emplace_back(mid, message.After);
            }
            if (pending.size() == batch.Messages.size()) {
                batchEnd = batch.End;
                batchOpen = true;
            }
            nextCollect = now + 1000;
        }
    }

    // Stopped: leave the retained offline mark, as the last will would.
    if (link.Connected) {
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
        publish::SaveCursor(statePath, committed);
        mosquitto_disconnect(mosq);
    }
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return 0;
}
