// Two instances of the program side by side, each on its own simulated instrument, each set
// up only by its options file (/etc/kestrune/<instance>.conf, here below the test's
// KESTRUNE_SYSCONFDIR) with a station root of its own: each one's raw files hold exactly its
// own instrument's lines, the single-instance lock lets both run but refuses a second copy of
// one, and `kestrune status --instance NAME` finds each one's station.
#include <gtest/gtest.h>
#include <signal.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/ChildProgram.h"
#include "common/Simulator.h"
#include "common/TestRoot.h"

namespace {

const std::string BinDir = KESTRUNE_BIN_DIR;

// The raw line an instrument line becomes: the status cut to 14 characters, fields 2 to 7
// and 10, 11 with three decimals, -99. where missing.
std::string Rewritten(const std::string &line) {
    std::vector<std::string> fields;
    std::string field;
    for (char c : line) {
        if (c == ',') {
            if (!field.empty())
                fields.push_back(field);
            field.clear();
        } else if (c != '\r' && c != '\n') {
            field += c;
        }
    }
    if (!field.empty())
        fields.push_back(field);
    std::string result = fields.empty() ? std::string() : fields[0].substr(0, 14);
    for (int index : {1, 2, 3, 4, 5, 6, 9, 10}) {
        std::string text = "-99.";
        if (static_cast<size_t>(index) < fields.size()) {
            const double value = std::atof(fields[index].c_str());
            if (std::isfinite(value) && std::trunc(value) > INT_MIN && std::trunc(value) < 95 &&
                static_cast<int>(std::trunc(value)) != -99) {
                char formatted[64];
                snprintf(formatted, sizeof formatted, "%.3f", value);
                text = formatted;
            }
        }
        result += " " + text;
    }
    return result;
}

// The raw lines of a data directory's hour files without their time keys, and the headers.
std::vector<std::string> RawLines(const std::string &directory, std::vector<std::string> *headers) {
    std::vector<std::string> lines;
    for (const auto &path : FilesEndingWith(directory, "_raw.txt")) {
        const std::vector<std::string> file = Lines(FileText(path));
        for (size_t i = 0; i < file.size(); ++i) {
            if (i == 0)
                headers->push_back(file[i]);
            else if (file[i].size() >= 8)
                lines.push_back(file[i].substr(8));
        }
    }
    return lines;
}

// Takes KESTRUNE_ROOT out of the environment the children inherit, and puts the test's root
// back before the root is removed.
struct WithoutRoot {
    explicit WithoutRoot(const std::string &root) : Root(root) { unsetenv("KESTRUNE_ROOT"); }
    ~WithoutRoot() { setenv("KESTRUNE_ROOT", Root.c_str(), 1); }
    std::string Root;
};

struct Instance {
    std::string Name, Sonic, Folder, State, Data;
};

TEST(Instances, TwoStationsSideBySideEachWithItsOwnLines) {
    TestRoot root;
    const int count = 3000;
    std::vector<Instance> instances = {{"sonic1", "MastLow", "D:\\Sonic1", "", ""},
                                       {"sonic2", "MastHigh", "D:\\Sonic2", "", ""}};
    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<std::string> environment;
    for (size_t i = 0; i < instances.size(); ++i) {
        Instance &instance = instances[i];
        // Distinguishable instruments: their synthetic turbulence comes from different seeds.
        sims.push_back(std::make_unique<Simulator>(
            std::vector<std::string>{"--rate", "1000", "--count", std::to_string(count), "--seed",
                                     std::to_string(11 * (i + 1)), "--preamble", "1", "--after-flush",
                                     "--linger"},
            root.Path() + "/" + instance.Name + ".log"));
        ASSERT_TRUE(sims.back()->Ok());
        environment.push_back("KESTRUNE_COM" + std::to_string(i + 1) + "=" + sims.back()->Device());
        instance.State = root.Path() + "/state/" + instance.Name;
        instance.Data = instance.State + "/d/" + instance.Folder.substr(3);
        std::filesystem::create_directories(instance.State);
        std::filesystem::create_directories(root.Path() + "/etc/kestrune");
        std::ofstream(root.Path() + "/etc/kestrune/" + instance.Name + ".conf")
            << "# " << instance.Name << "\nKESTRUNE_OPTIONS=\"--port " << i + 1 << " --data-dir "
            << instance.Folder << " --name " << instance.Sonic << "\"\nKESTRUNE_ROOT=" << instance.State
            << "\n";
    }
    // No KESTRUNE_ROOT in the children's environment: each root comes from its options file.
    const WithoutRoot unset(root.Path());

    std::vector<std::unique_ptr<ChildProgram>> programs;
    for (const Instance &instance : instances) {
        programs.push_back(std::make_unique<ChildProgram>(
            std::vector<std::string>{BinDir + "/kestrune", "--instance", instance.Name}, environment,
            root.Path() + "/" + instance.Name + ".err"));
        ASSERT_TRUE(programs.back()->Started());
    }
    for (auto &sim : sims)
        ASSERT_EQ(sim->WaitDone(), count + 1);  // and the preamble line

    // Both run; a second copy of one is refused, and leaves the running one alone.
    ChildProgram copy({BinDir + "/kestrune", "--instance", "sonic1"}, environment, root.Path() + "/copy.err");
    EXPECT_EQ(copy.Wait(), 2);
    const std::vector<std::string> refused = Lines(FileText(root.Path() + "/copy.err"));
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find("D:\\Sonic1 is in use by another kestrune (PID " +
                              std::to_string(programs[0]->Pid())),
              std::string::npos)
        << refused[0];
    for (size_t i = 0; i < instances.size(); ++i) {
        ChildProgram status({BinDir + "/kestrune", "status", "--instance", instances[i].Name}, environment,
                            root.Path() + "/status.err");
        const std::string text = status.ReadAll();
        status.Wait();
        EXPECT_NE(text.find("running (PID " + std::to_string(programs[i]->Pid()) + ")"), std::string::npos)
            << text;
    }

    for (auto &program : programs) {
        program->Signal(SIGINT);
        EXPECT_EQ(program->Wait(), 0);
    }
    std::vector<std::string> sent[2];
    for (size_t i = 0; i < instances.size(); ++i) {
        for (const SentLine &line : sims[i]->Log())
            if (line.Kind == 'L')
                sent[i].push_back(Rewritten(line.Text));
        ASSERT_EQ(sent[i].size(), static_cast<size_t>(count));
        std::vector<std::string> headers;
        EXPECT_EQ(RawLines(instances[i].Data, &headers), sent[i]) << instances[i].Name;
        ASSERT_FALSE(headers.empty());
        for (const std::string &header : headers)
            EXPECT_NE(header.find(instances[i].Sonic), std::string::npos) << header;
    }
    EXPECT_NE(sent[0], sent[1]);
}

}  // namespace
