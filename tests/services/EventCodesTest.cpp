// The table of event codes: its order and names, the rule of the codes that log success and
// failure under one number, the log's count of codes it does not hold, and the README's
// tables of codes, which must list every code with the table's severity.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "EventLogTestSupport.h"
#include "services/EventCodes.h"

using namespace eventlogtest;

TEST(EventCodes, TableIsInNumericOrderWithDistinctNamesAndAFormatEach) {
    LONG previous = 0;
    std::set<std::string> names;
    for (const EventCodeDefinition *entry : AllEventCodes()) {
        EXPECT_GT(entry->Code, previous) << entry->Name;
        previous = entry->Code;
        EXPECT_TRUE(names.insert(entry->Name).second) << entry->Name;
        EXPECT_NE(entry->Formats[0], nullptr) << entry->Name;
        EXPECT_EQ(FindEventCode(entry->Code), entry);
    }
    EXPECT_EQ(FindEventCode(5303), &EventCode::PortLost);
    EXPECT_EQ(FindEventCode(5099), nullptr);
    EXPECT_EQ(EventSeverityOf(5099, "Error"), EventSeverity::Warning);
}

// Each code that logs both outcomes has messages of either kind, told apart by its rule.
TEST(EventCodes, SharedCodesTellTheirFailureMessagesFromTheOthers) {
    for (const EventCodeDefinition *entry : AllEventCodes()) {
        if (entry->FailureText == nullptr)
            continue;
        int failures = 0, others = 0;
        for (const char *format : entry->Formats) {
            if (format == nullptr)
                continue;
            const bool failure = strstr(format, entry->FailureText) != nullptr;
            (failure ? failures : others)++;
            EXPECT_EQ(EventSeverityOf(entry->Code, format),
                      failure ? entry->Severity : EventSeverity::Information)
                << format;
        }
        // 5009's text after the name is the zip utility's report, checked below.
        if (entry->Code != EventCode::CompressionReport.Code) {
            EXPECT_GT(failures, 0) << entry->Name;
        }
        EXPECT_GT(others, 0) << entry->Name;
    }
    EXPECT_TRUE(IsErrorEvent(5009, "Metek1: 2 files zipped. Error zipping C:\\Data\\a.txt"));
    EXPECT_FALSE(IsErrorEvent(5009, "Metek1: 2 files zipped."));
    EXPECT_FALSE(IsErrorEvent(5103, "Metek1: Acquisition initialization started."));
    EXPECT_TRUE(IsErrorEvent(5103,
                             "Metek1: Can't start data acquisition. Failure configuring "
                             "port-communication settings on COM1."));
    EXPECT_FALSE(IsErrorEvent(5101,
                              "Metek1: Successfully assigned the dedicated logical processor 'CPU 4' "
                              "with affinity mask (16) to the data acquisition thread."));
    EXPECT_TRUE(IsErrorEvent(5001, "Error acquiring logical processor informatiom for thread dispatching."));
}

TEST_F(EventLogFixture, ACodeTheTableLacksIsWrittenAndCounted) {
    const std::string directory = root.Drive("C:\\Logs");
    EventLog log(UniqueName("unknown codes").c_str(), directory.c_str());
    log.Write(EventCode::PortBack, "Metek1: COM1 is back.");
    EXPECT_EQ(log.UnknownCodeEntries.load(), 0u);
    log.Write(4242, "a code of no table");
    EXPECT_EQ(log.UnknownCodeEntries.load(), 1u);
    const std::string all = ReadAllLogs(root.Posix("c/Logs"));
    EXPECT_NE(all.find("  5304  Metek1: COM1 is back.\r\n"), std::string::npos);
    EXPECT_NE(all.find("  4242  a code of no table\r\n"), std::string::npos);
}

// Rows "| 5303 | Error | ..." of the tables of codes in the README and docs/. A code listed
// twice (a second message of the same code) must say the same.
TEST(EventCodes, ReadmeListsEveryCodeWithTheTablesSeverity) {
    std::vector<std::string> pages = {std::string(KESTRUNE_SOURCE_DIR) + "/README.md"};
    for (const auto &entry : std::filesystem::directory_iterator(std::string(KESTRUNE_SOURCE_DIR) + "/docs"))
        if (entry.path().extension() == ".md")
            pages.push_back(entry.path().string());
    const std::regex row(R"(^\| (\d{4}) \| (Information|Warning|Error)( \(failure\))? \|)");
    std::map<LONG, std::string> listed;
    for (const std::string &page : pages) {
        std::ifstream text(page);
        ASSERT_TRUE(text.good()) << page;
        std::string line;
        while (std::getline(text, line)) {
            std::smatch match;
            if (!std::regex_search(line, match, row))
                continue;
            const LONG code = std::stol(match[1]);
            const std::string severity = match[2].str() + match[3].str();
            EXPECT_TRUE(listed.emplace(code, severity).first->second == severity) << page << ": " << line;
        }
    }
    for (const EventCodeDefinition *entry : AllEventCodes()) {
        std::string expected = SeverityName(entry->Severity);
        expected[0] = static_cast<char>(toupper(expected[0]));
        if (entry->FailureText != nullptr)
            expected += " (failure)";
        auto found = listed.find(entry->Code);
        if (found == listed.end()) {
            ADD_FAILURE() << entry->Code << " " << entry->Name << " is in no table of the README or docs/";
            continue;
        }
        EXPECT_EQ(found->second, expected) << entry->Code << " " << entry->Name;
        listed.erase(found);
    }
    for (const auto &extra : listed)
        ADD_FAILURE() << extra.first << " is in the README or docs/ but not in the table of event codes";
}

// Product code names the table's entry in every write, through Write or a helper that writes
// an entry; a bare number would bypass it.
TEST(EventCodes, ProductCodeWritesNoBareCode) {
    const std::regex bare(R"(\bWrite\(\s*-?\d|\b\w*Entry\([^()]*,\s*-?\d{4}\b)");
    int files = 0;
    for (const char *folder : {"app", "acquisition", "services", "support", "instrument", "flux", "tools"}) {
        for (const auto &file :
             std::filesystem::recursive_directory_iterator(std::string(KESTRUNE_SOURCE_DIR) + "/" + folder)) {
            const std::string path = file.path().string();
            if (path.size() < 4 ||
                (path.substr(path.size() - 4) != ".cpp" && path.substr(path.size() - 2) != ".h"))
                continue;
            ++files;
            std::ifstream in(path);
            std::string line;
            for (int number = 1; std::getline(in, line); ++number)
                EXPECT_FALSE(std::regex_search(line, bare)) << path << ":" << number << ": " << line;
        }
    }
    EXPECT_GT(files, 20);
}
