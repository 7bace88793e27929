// zar-front: the command-line front. It boots a machine in this process on
// the real clock and shows what the system holds, as far as it is built.
//
//   zar-front demo [--folder DIR] [--reset]
//
// The machine folder is DIR, else $ZAR_MACHINE, else ./.machine/default; the
// kernel creates what is missing in it on first boot. --reset deletes the
// folder first (only when it looks like a machine folder).
//
// Each part of the report is one function in kDemoSections; a subsystem that
// lands adds its own section there and nothing else changes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "machine.h"
#include "nt_internal.h"
#if __has_include("win32.h")
#include "win32.h"
#define ZAR_FRONT_HAVE_WIN32 1
#endif

namespace {

namespace fs = std::filesystem;

// ---- Text helpers ----

std::string Utf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate: show that something was there
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Utf8(const UNICODE_STRING& text) {
    if (!text.Buffer) return {};
    return Utf8(std::u16string(text.Buffer, text.Length / sizeof(WCHAR)));
}

void Heading(const char* title) {
    std::printf("\n== %s ==\n", title);
}

// System times count 100 ns from 1601-01-01 UTC.
std::string FormatSystemTime(LONGLONG systemTime) {
    constexpr LONGLONG kUnixEpoch = 116444736000000000LL;
    const LONGLONG sinceUnix = systemTime - kUnixEpoch;
    const std::time_t seconds = static_cast<std::time_t>(sinceUnix / 10000000);
    std::tm utc{};
    char text[64];
    if (sinceUnix < 0 || !gmtime_r(&seconds, &utc) || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc))
        return "(time " + std::to_string(systemTime) + ")";
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(sinceUnix / 10000 % 1000));
    return std::string(text) + fraction + " UTC";
}

// ---- Sections ----

// The object name space. Directories are walked from the root; a well-known
// directory that is not reachable from it is listed on its own, so a broken
// root link shows up instead of hiding the directory.
bool IsDirectory(const ObDirectoryEntry& entry) {
    const char* directoryType = ObDirectoryType ? ObDirectoryType->Name : "Directory";
    return entry.type == directoryType;
}

std::u16string JoinPath(const std::u16string& directory, const std::u16string& name) {
    return directory == u"\\" ? u"\\" + name : directory + u"\\" + name;
}

void ListDirectory(const std::u16string& path, int depth, std::set<std::u16string>& listed) {
    if (!listed.insert(path).second) return;
    std::vector<ObDirectoryEntry> entries = ObListDirectory(path);
    std::sort(entries.begin(), entries.end(),
              [](const ObDirectoryEntry& a, const ObDirectoryEntry& b) { return a.name < b.name; });
    for (const ObDirectoryEntry& entry : entries) {
        std::printf("%*s%-32s %s", 2 * depth + 2, "", Utf8(entry.name).c_str(), entry.type.c_str());
        if (!entry.linkTarget.empty()) std::printf(" -> %s", Utf8(entry.linkTarget).c_str());
        std::printf("\n");
        if (IsDirectory(entry)) ListDirectory(JoinPath(path, entry.name), depth + 1, listed);
    }
}

void ShowNameSpace() {
    Heading("Object name space");
    std::set<std::u16string> listed;
    std::printf("\\\n");
    ListDirectory(u"\\", 0, listed);
    for (const char16_t* directory : {u"\\Device", u"\\??", u"\\Driver", u"\\BaseNamedObjects"}) {
        if (listed.count(directory)) continue;
        std::printf("%s (not reachable from \\)\n", Utf8(directory).c_str());
        ListDirectory(directory, 0, listed);
    }
}

void ShowDrivers() {
    Heading("Loaded drivers");
    const auto drivers = nt::IoLoadedDrivers();
    if (drivers.empty()) std::printf("  (none)\n");
    for (const auto& [service, driver] : drivers) {
        std::printf("  %-16s %s\n", Utf8(service).c_str(), driver ? Utf8(driver->DriverName).c_str() : "");
        for (PDEVICE_OBJECT device = driver ? driver->DeviceObject : nullptr; device; device = device->NextDevice) {
            const std::u16string name = ObGetObjectName(device);
            std::printf("    device %s\n", name.empty() ? "(unnamed)" : Utf8(name).c_str());
        }
    }
}

#ifdef ZAR_FRONT_HAVE_WIN32
// Reads a value of a service key as text (numbers in decimal); empty when
// the value is absent.
std::string ServiceValue(HKEY key, const char* name) {
    DWORD type = 0;
    BYTE data[1024] = {};
    DWORD size = sizeof data - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) return {};
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD value;
        std::memcpy(&value, data, sizeof value);
        return std::to_string(value);
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::string text(reinterpret_cast<const char*>(data), size);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        return text;
    }
    return "(" + std::to_string(size) + " bytes)";
}
#endif

// The services as user-mode code sees them: through the Win32 registry.
void ShowServices() {
    Heading("Services in the registry");
#ifdef ZAR_FRONT_HAVE_WIN32
    HKEY services = nullptr;
    const LSTATUS opened =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &services);
    if (opened != ERROR_SUCCESS) {
        std::printf("  (cannot open HKLM\\SYSTEM\\CurrentControlSet\\Services: error %ld)\n",
                    static_cast<long>(opened));
        return;
    }
    DWORD count = 0;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(services, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::string start, type, imagePath;
        HKEY service = nullptr;
        if (RegOpenKeyExA(services, name, 0, KEY_READ, &service) == ERROR_SUCCESS) {
            start = ServiceValue(service, "Start");
            type = ServiceValue(service, "Type");
            imagePath = ServiceValue(service, "ImagePath");
            RegCloseKey(service);
        }
        std::printf("  %-16s type %-3s start %-3s %s\n", std::string(name, length).c_str(), type.c_str(),
                    start.c_str(), imagePath.c_str());
        ++count;
    }
    RegCloseKey(services);
    if (count == 0) std::printf("  (none)\n");
#else
    std::printf("  (the Win32 layer is not built yet)\n");
#endif
}

const char* EventTypeName(USHORT type) {
    switch (type) {
    case 1: return "error";
    case 2: return "warning";
    case 4: return "information";
    default: return "other";
    }
}

void ShowEventLog() {
    Heading("Event log");
    const std::vector<nt::EventLogRecord> records = nt::EventLogRead();
    if (records.empty()) std::printf("  (empty)\n");
    for (const nt::EventLogRecord& record : records) {
        std::printf("  #%llu %s %-11s %-12s id 0x%08lX status %s\n", static_cast<unsigned long long>(record.sequence),
                    FormatSystemTime(record.systemTime).c_str(), EventTypeName(record.type),
                    Utf8(record.source).c_str(), static_cast<unsigned long>(record.eventId),
                    NtStatusName(record.finalStatus));
        for (const std::u16string& text : record.strings) std::printf("      \"%s\"\n", Utf8(text).c_str());
        if (!record.data.empty()) std::printf("      %zu bytes of data\n", record.data.size());
    }
}

struct Section {
    const char* name;
    void (*show)();
};

// In the order a user of the board would look at things.
constexpr Section kDemoSections[] = {
    {"name space", ShowNameSpace},
    {"drivers", ShowDrivers},
    {"services", ShowServices},
    {"event log", ShowEventLog},
};

// ---- The demo ----

struct DemoOptions {
    std::string folder;
    bool reset = false;
};

std::string DefaultMachineFolder() {
    const char* fromEnvironment = std::getenv("ZAR_MACHINE");
    if (fromEnvironment && *fromEnvironment) return fromEnvironment;
    return ".machine/default";
}

// A folder the kernel wrote, or an empty one: deleting anything else on a
// mistyped --folder would be a disaster that a machine reset does not need.
bool LooksLikeMachineFolder(const fs::path& folder) {
    std::error_code error;
    if (fs::is_empty(folder, error) && !error) return true;
    for (const char* mark : {"registry.txt", "eventlog.txt", "drives"})
        if (fs::exists(folder / mark, error)) return true;
    return false;
}

bool ResetMachineFolder(const fs::path& folder) {
    std::error_code error;
    if (!fs::exists(folder, error)) return true;
    if (!fs::is_directory(folder, error) || !LooksLikeMachineFolder(folder)) {
        std::fprintf(stderr, "zar-front: %s does not look like a machine folder; not deleting it\n",
                     folder.c_str());
        return false;
    }
    fs::remove_all(folder, error);
    if (error) {
        std::fprintf(stderr, "zar-front: cannot delete %s: %s\n", folder.c_str(), error.message().c_str());
        return false;
    }
    return true;
}

// The hardware of the demo machine. The simulated board plugs in here once
// its topology exists; until then the machine has no PCI devices.
std::shared_ptr<hw::PciTopology> DemoHardware() {
    return nullptr;
}

int Demo(const DemoOptions& options) {
    const fs::path folder = fs::absolute(options.folder);
    if (options.reset && !ResetMachineFolder(folder)) return 1;

    nt::MachineOptions machine;
    machine.folder = folder.string();
    machine.clock = nt::ClockMode::Real;
    machine.pci = DemoHardware();
    const NTSTATUS booted = nt::Machine::Boot(machine);
    if (!NT_SUCCESS(booted)) {
        std::fprintf(stderr, "zar-front: the machine in %s did not boot: %s\n", folder.c_str(),
                     NtStatusName(booted));
        return 1;
    }
    std::printf("Machine %s booted (real clock)\n", folder.c_str());
    for (const Section& section : kDemoSections) section.show();
    std::fflush(stdout);
    nt::Machine::Shutdown();
    std::printf("\nMachine shut down\n");
    return 0;
}

int Usage(FILE* to) {
    std::fprintf(to,
                 "usage: zar-front demo [--folder DIR] [--reset]\n"
                 "  --folder DIR  machine folder (default: $ZAR_MACHINE, else ./.machine/default)\n"
                 "  --reset       delete the machine folder first and boot a fresh machine\n");
    return to == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage(stderr);
    if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") return Usage(stdout);
    if (args[0] != "demo") {
        std::fprintf(stderr, "zar-front: unknown command '%s'\n", args[0].c_str());
        return Usage(stderr);
    }
    DemoOptions options;
    options.folder = DefaultMachineFolder();
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--reset") {
            options.reset = true;
        } else if (args[i] == "--folder" && i + 1 < args.size()) {
            options.folder = args[++i];
        } else if (args[i].rfind("--folder=", 0) == 0) {
            options.folder = args[i].substr(sizeof("--folder=") - 1);
        } else {
            std::fprintf(stderr, "zar-front: unknown option '%s'\n", args[i].c_str());
            return Usage(stderr);
        }
    }
    if (options.folder.empty()) {
        std::fprintf(stderr, "zar-front: the machine folder name is empty\n");
        return 2;
    }
    return Demo(options);
}
