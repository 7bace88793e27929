// A machine folder whose registry or event log was damaged (a crash, an
// editor, a full disk): the boot either refuses with the file's path and
// the line, or gets past the damage, reporting it; nothing the file held
// is lost or rewritten.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/nt_syscall.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;


void Write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Record(uint64_t sequence, const char* source, const char* tail = "unique = 0x00000000\n\n")
{
    return "[event " + std::to_string(sequence) + "]\ntime = 0x01bf53eb256d4000\nsource = \"" + source +
           "\"\nid = 0x40070014\ntype = information\ncategory = 0\nstatus = 0x00000000\n" + tail;
}

struct Booted {
    NTSTATUS status;
    std::string said;  // the boot's standard error
};

Booted Boot(const fs::path& folder)
{
    nt::MachineOptions options;
    options.folder = folder.string();
    options.loadDrivers = false;
    testing::internal::CaptureStderr();
    NTSTATUS status = nt::Machine::Boot(options);
    return {status, testing::internal::GetCapturedStderr()};
}

std::vector<std::string> Sources()
{
    std::vector<std::string> sources;
    for (const nt::EventLogRecord& r : nt::EventLogRead()) sources.push_back(NtNarrow(r.source));
    return sources;
}

TEST(MachineFiles, AFileThatCannotBeReadOrIsDamagedStopsTheBootAndIsKept)
{
    const struct {
        const char* name;
        const char* file;
        std::string text;  // empty: the file is a folder
        const char* said;
    } cases[] = {
        {"an event log that is a folder", "eventlog.txt", "", "eventlog.txt: cannot read"},
        {"a registry that is a folder", "registry.txt", "", "registry.txt"},
        {"a negative value type", "registry.txt", "[\\Registry\\Machine\\Software]\n\"V\" = hex(-1):00\n",
         "line 2: bad value data"},
        {"a value type past 32 bits", "registry.txt",
         "[\\Registry\\Machine\\Software]\n\n\"V\" = hex(99999999999):00\n", "line 3: bad value data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder temp;
        const fs::path file = temp.Path() / c.file;
        if (c.text.empty())
            fs::create_directories(file / "inside");
        else
            Write(file, c.text);
        Booted booted = Boot(temp.Path());
        EXPECT_FALSE(NT_SUCCESS(booted.status)) << NtStatusName(booted.status);
        EXPECT_FALSE(nt::Machine::Running());
        EXPECT_NE(booted.said.find(c.said), std::string::npos) << booted.said;
        if (c.text.empty()) {
            EXPECT_TRUE(fs::is_directory(file / "inside"));
        } else {
            EXPECT_EQ(Read(file), c.text);
        }
        nt::Machine::Shutdown();
    }
}

TEST(MachineFiles, ADamagedEventLogRecordCostsOnlyItselfAndNewRecordsStayWhole)
{
    const struct {
        const char* name;
        std::string log;
        std::vector<std::string> before;  // sources read back after the boot
        const char* said;
        uint64_t next;                    // the next record's number
    } cases[] = {
        {"a record torn in its last line", Record(1, "First") + "[event 2]\ntime = 0x01bf53eb256d4000\nsource = \"Tor",
         {"First"}, "line 10: damaged record skipped", 3},
        {"a record torn at a line's end", Record(1, "First") + Record(2, "Torn", ""), {"First"},
         "line 10: damaged record skipped", 3},
        {"garbage after the last record", Record(1, "First") + Record(2, "Second") + "\x01\x02garbage\n",
         {"First", "Second"}, "line 19: stray line ignored", 3},
        {"a field after garbage inside a record",
         Record(1, "First", "garbage\nunique = 0x00000000\n\n") + Record(2, "Second"), {"Second"},
         "line 1: damaged record skipped", 3},
        {"a number that cannot be followed", Record(1, "First") + Record(18446744073709551615ull, "Last"), {"First"},
         "line 10: damaged record skipped", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder temp;
        Write(temp.Path() / "eventlog.txt", c.log);
        Booted booted = Boot(temp.Path());
        ASSERT_EQ(booted.status, STATUS_SUCCESS) << booted.said;
        EXPECT_NE(booted.said.find(c.said), std::string::npos) << booted.said;
        EXPECT_EQ(Sources(), c.before);

        ASSERT_EQ(NtReportEvent(u"After", 4, 0, 1, {u"whole"}, nullptr, 0), STATUS_SUCCESS);
        std::vector<std::string> after = c.before;
        after.push_back("After");
        EXPECT_EQ(Sources(), after);
        const std::vector<nt::EventLogRecord> records = nt::EventLogRead();
        EXPECT_EQ(records.back().sequence, c.next);
        EXPECT_EQ(records.back().strings, std::vector<std::u16string>{u"whole"});
        // The file still holds everything it held, damage included.
        EXPECT_EQ(Read(temp.Path() / "eventlog.txt").substr(0, c.log.size()), c.log);
        nt::Machine::Shutdown();
    }
}

}  // namespace
