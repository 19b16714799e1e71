// kestrune-publish: its cursor and what it gathers from a station's files, and two stations'
// publishers against a real broker (mosquitto on a loopback port, its files in the test root)
// with a subscriber through the library: health, every period once and in order across a
// broker outage, the error entries, and the last will of a killed publisher.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "app/StationStatus.h"
#include "tools/Broker.h"
#include "tools/StationRun.h"
#include "tools/publish/Publisher.h"

using namespace stationrun;

namespace {

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(PublishCursor, SurvivesARoundTripAndRefusesGarbage) {
    TestRoot root;
    const std::string path = root.Path() + "/cursor";
    publish::Cursor cursor{1796819108000, 1796819100000, 1796774400000, 1931}, loaded;
    ASSERT_TRUE(publish::SaveCursor(path, cursor));
    ASSERT_TRUE(publish::LoadCursor(path, loaded));
    EXPECT_TRUE(loaded == cursor);
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
    WriteFile(path, "kestrune-publish cursor 1 12 13");
    EXPECT_FALSE(publish::LoadCursor(path, loaded));
    EXPECT_EQ(loaded.Stats, -1);
}

TEST(PublishSource, EventsAndFluxRowsBeyondTheCursorInBatches) {
    TestRoot root;
    const std::string dir = root.Path();
    const station::Millis day = station::MillisFromCivil(2026, 12, 9);
    const station::Millis now = day + 15 * station::HourMs;
    // Two error entries, one ordinary entry, and a last line still being written.
    WriteFile(dir + "/" + station::LogFileName(day),
              "header\r\n\r\n\r\n"
              "14:00:00:000  5301  Metek1: 3 instrument lines lost.\r\n"
              "14:00:01:000  5017  Metek1: archived.\r\n"
              "14:00:02:000  5004  Metek1: Error writing \"raw\".\r\n"
              "14:00:03:000  5302  Metek1: 1 over-long");
    WriteFile(dir + "/" + publish::FluxFileName(day),
              "start,end,samples,ustar,H,flag_tau\r\n"
              "2026-12-09T14:00:00Z,2026-12-09T14:30:00Z,36000,0.31,,2\r\n"
              "2026-12-09T14:30:00Z,2026-12-09T15:00:00Z,36000,1.,-5.5,0\r\n"
              "2026-12-09T15:00:00Z,2026-12");
    publish::Source source(dir, dir, "alpha", "Metek1");

    auto first = source.Collect(publish::Cursor(), now, 3);
    ASSERT_EQ(first.Messages.size(), 3u);
    EXPECT_EQ(first.Messages[0].Topic, "kestrune/alpha/Metek1/flux");
    EXPECT_EQ(first.Messages[0].Payload,
              "{\"start\":\"2026-12-09T14:00:00Z\",\"end\":\"2026-12-09T14:30:00Z\",\"samples\":36000,"
              "\"ustar\":0.31,\"H\":null,\"flag_tau\":2}");
    EXPECT_NE(first.Messages[1].Payload.find("\"ustar\":1,\"H\":-5.5"), std::string::npos);
    EXPECT_EQ(first.Messages[2].Topic, "kestrune/alpha/Metek1/events");
    EXPECT_NE(first.Messages[2].Payload.find("\"code\":5301"), std::string::npos);

    // A broker's retained messages give the same positions as the cursor after them.
    publish::Cursor fromBroker;
    EXPECT_TRUE(publish::AdvanceFromRetained("events", first.Messages[2].Payload, fromBroker));
    EXPECT_TRUE(publish::AdvanceFromRetained("flux", first.Messages[1].Payload, fromBroker));
    EXPECT_TRUE(fromBroker == first.Messages[2].After);
    EXPECT_FALSE(publish::AdvanceFromRetained("flux", first.Messages[0].Payload, fromBroker));

    // From the batch's end on: the second error entry only, never the cut last line.
    auto second = source.Collect(first.End, now, 3);
    ASSERT_EQ(second.Messages.size(), 1u);
    EXPECT_NE(second.Messages[0].Payload.find("\"code\":5004"), std::string::npos);
    EXPECT_NE(second.Messages[0].Payload.find("Error writing \\\"raw\\\"."), std::string::npos);
    EXPECT_TRUE(source.Collect(second.End, now, 3).Messages.empty());

    // Catching up is bounded: a day later nothing of that day is due.
    EXPECT_TRUE(source.Collect(publish::Cursor(), now + 2 * station::DayMs, 10).Messages.empty());
}

// A subscriber to kestrune/#; it reconnects by itself and subscribes again on each connection.
class Subscriber {
public:
    struct Received {
        std::string Topic, Payload;
    };
    explicit Subscriber(int port) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new("kestrune-test-subscriber", true, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, "kestrune/#", 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto *, void *self, int, int, const int *) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard<std::mutex> lock(s->mutex_);
            ++s->subscriptions_;
            s->changed_.notify_all();
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto *, void *self, const mosquitto_message *message) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard<std::mutex> lock(s->mutex_);
            s->received_.push_back({message->topic, std::string(static_cast<const char *>(message->payload),
                                                                static_cast<size_t>(message->payloadlen))});
            s->changed_.notify_all();
        });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        connected_ = mosquitto_connect(mosq_, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS &&
                     mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    // Waits until the check holds over what has come (limit: a deadline for failure only).
    bool WaitFor(const std::function<bool(const std::vector<Received> &)> &check, int limitSeconds) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(limitSeconds), [&] { return check(received_); });
    }
    // Waits until it has subscribed that many times.
    bool Subscribed(int times) {
        std::unique_lock<std::mutex> lock(mutex_);
        return connected_ &&
               changed_.wait_for(lock, std::chrono::seconds(20), [&] { return subscriptions_ >= times; });
    }
    std::vector<Received> All() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    mosquitto *mosq_ = nullptr;
    bool connected_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    int subscriptions_ = 0;
    std::vector<Received> received_;
};

std::string Field(const std::string &payload, const std::string &name) {
    std::string key = "\"" + name + "\":\"";
    size_t at = payload.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return payload.substr(at, payload.find('"', at) - at);
}

std::vector<std::string> Starts(const std::vector<Subscriber::Received> &received, const std::string &topic) {
    std::vector<std::string> starts;
    for (const auto &message : received)
        if (message.Topic == topic)
            starts.push_back(Field(message.Payload, "start"));
    return starts;
}

// The statistics periods of the station's files, and its error entries, as published.
std::vector<std::string> FilePeriods(const std::string &data) {
    std::vector<std::string> starts;
    for (const auto &file : station::ListFiles(data, station::FileKind::Stats, 0, 1LL << 50)) {
        int line = 0;
        station::ForEachLine(file.Path, [&](const std::string &text) {
            station::StatsPeriod period;
            if (++line > 3 && station::ParseStatsLine(text, file.Start, period))
                starts.push_back(station::IsoTime(period.Start));
            return true;
        });
    }
    return starts;
}
size_t FileErrors(const std::string &data) {
    size_t n = 0;
    for (const auto &file : station::ListFiles(data, station::FileKind::Log, 0, 1LL << 50))
        station::ForEachLine(file.Path, [&](const std::string &text) {
            station::LogEntry entry;
            if (station::ParseLogLine(text, file.Start, entry) &&
                StationStatus::IsErrorEntry(entry.Code, entry.Message.c_str()))
                ++n;
            return true;
        });
    return n;
}

std::unique_ptr<Child> StartPublisher(const StationRun &run, const std::string &name, int port) {
    return std::unique_ptr<Child>(new Child({BinDir + "/kestrune-publish", "--station", name, "--broker",
                                             "127.0.0.1:" + std::to_string(port), "--interval", "1"},
                                            {}, run.Root() + "/publish.err",
                                            {"env", "KESTRUNE_ROOT=" + run.Root()}));
}

TEST(Publish, TwoStationsThroughABrokerOutageAndALastWill) {
    TestRoot brokerRoot;
    const int port = brokertest::FreePort();
    brokertest::Broker broker(brokerRoot.Path(), port);
    ASSERT_TRUE(broker.Start());
    Subscriber subscriber(port);
    ASSERT_TRUE(subscriber.Subscribed(1));

    const std::vector<std::string> options = {"--stats-period", "2"};
    // Alpha's instrument sends an over-long line now and then: error entries (5302) to publish.
    StationRun alpha(50, "", options, {"--overlong", "200"}), beta(50, "", options);
    ASSERT_TRUE(alpha.Started() && beta.Started());
    auto alphaPublisher = StartPublisher(alpha, "alpha", port);
    auto betaPublisher = StartPublisher(beta, "beta", port);
    const std::string alphaStats = "kestrune/alpha/Metek1/stats", betaStats = "kestrune/beta/Metek1/stats";

    // A first archive pass's periods of both stations, all of them, before the broker goes.
    auto caughtUp = [&](const std::vector<Subscriber::Received> &r) {
        size_t a = Starts(r, alphaStats).size(), b = Starts(r, betaStats).size();
        return a > 0 && b > 0 && a == FilePeriods(alpha.Data()).size() &&
               b == FilePeriods(beta.Data()).size();
    };
    ASSERT_TRUE(subscriber.WaitFor(caughtUp, 60));

    // The broker goes away while the stations write more periods. It comes back, and the
    // publishers reconnect only once the subscriber is there again (the broker keeps nothing
    // over a restart).
    broker.Stop();
    const size_t before = FilePeriods(alpha.Data()).size();
    WaitForDirectory(
        alpha.Data(), [&] { return FilePeriods(alpha.Data()).size() >= before + 3; }, 30);
    alphaPublisher->Signal(SIGSTOP);
    betaPublisher->Signal(SIGSTOP);
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(subscriber.Subscribed(2));
    alphaPublisher->Signal(SIGCONT);
    betaPublisher->Signal(SIGCONT);
    alpha.Stop();
    beta.Stop();

    // Every period of each station once, in order, and every error entry.
    const std::vector<std::string> alphaFile = FilePeriods(alpha.Data()), betaFile = FilePeriods(beta.Data());
    ASSERT_GT(alphaFile.size(), 3u);
    EXPECT_TRUE(subscriber.WaitFor(
        [&](const std::vector<Subscriber::Received> &r) {
            return Starts(r, alphaStats).size() >= alphaFile.size() &&
                   Starts(r, betaStats).size() >= betaFile.size();
        },
        60));
    std::vector<Subscriber::Received> received = subscriber.All();
    EXPECT_EQ(Starts(received, alphaStats), alphaFile);
    EXPECT_EQ(Starts(received, betaStats), betaFile);
    EXPECT_TRUE(subscriber.WaitFor(
        [&](const std::vector<Subscriber::Received> &r) {
            return Starts(r, "kestrune/alpha/Metek1/events").size() >= FileErrors(alpha.Data()) &&
                   Starts(r, "kestrune/beta/Metek1/events").size() >= FileErrors(beta.Data());
        },
        30));
    received = subscriber.All();
    EXPECT_GE(FileErrors(alpha.Data()), 1u);
    EXPECT_EQ(Starts(received, "kestrune/alpha/Metek1/events").size(), FileErrors(alpha.Data()));
    size_t alphaHealth = 0;
    for (const auto &message : received)
        if (message.Topic == "kestrune/alpha/Metek1/health" && Field(message.Payload, "state") == "online" &&
            message.Payload.find("\"dataDirectory\":") != std::string::npos)
            ++alphaHealth;
    EXPECT_GE(alphaHealth, 2u);

    // Killed, beta's publisher leaves its last will.
    const size_t seen = received.size();
    betaPublisher->Kill(SIGKILL);
    EXPECT_TRUE(subscriber.WaitFor(
        [seen](const std::vector<Subscriber::Received> &r) {
            for (size_t i = seen; i < r.size(); ++i)
                if (r[i].Topic == "kestrune/beta/Metek1/health" && Field(r[i].Payload, "state") == "offline")
                    return true;
            return false;
        },
        30));

    // The publisher wrote nothing into the data directory: it holds the program's files only,
    // and the cursor lies beside it in the root.
    for (const auto &entry : std::filesystem::directory_iterator(alpha.Data())) {
        station::FileKind kind;
        station::Millis start;
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(station::ParseFileName(name, kind, start) || name == "kestrune.pid") << name;
    }
    EXPECT_TRUE(std::filesystem::exists(alpha.Root() + "/publish-alpha.cursor"));
}

}  // namespace
