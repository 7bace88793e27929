// zar-front: the command-line front. It boots a machine in this process and
// shows what the system holds, as far as it is built.
//
//   zar-front demo [--folder DIR] [--reset] [--boards N] [--foreign] [--digital-io] [--real-time]
//
// The machine runs on its virtual clock: time moves on when every machine
// thread waits, so each field gets all the host time it needs and what the
// demo shows does not depend on how fast the host is (an emulated or busy
// host only takes longer). --real-time runs it on the host's clock instead,
// where a host that falls behind makes the board miss fields.
//
// The machine carries N simulated boards (default 1, at most 10), with
// --foreign also a bridge with someone else's subsystem ids, and with
// --digital-io the digital-I/O option (its driver's service key).
//
// The machine folder is DIR, else $ZAR_MACHINE, else ./.machine/default; the
// kernel creates what is missing in it on first boot. --reset deletes the
// folder first (only when it holds nothing but what a machine keeps there).
//
// Each part of the report is one function in kDemoSections; a subsystem that
// lands adds its own section there and nothing else changes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "include/zarkd.h"
#include "include/zarkd_msg.h"
#include "machine.h"
#include "nt_internal.h"
#include "outside/zariokd.h"
#include "outside/zarwav.h"
#include "sim/pci_layouts.h"
#include "tools/board_inspect.h"
#include "tools/demo_audio.h"
#include "tools/demo_media.h"
#include "tools/demo_wave.h"
#include "tools/demo_clip.h"
#include "tools/demo_effects.h"
#include "tools/demo_framestore.h"
#include "tools/demo_timecode.h"
#include "tools/machine_folder.h"
#include "tools/system_time.h"
#include "tools/zardll_loader.h"
#include "tools/media_drive.h"
#include "tools/media_volumes.h"
#if __has_include("win32.h")
#include "win32.h"
#define ZAR_FRONT_HAVE_WIN32 1
#endif
#include "platform/host/host_server.h"
#include "platform/win32/w32_host.h"
#include <csignal>
#include <pthread.h>
#include <unistd.h>

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

// A ZARKD entry's message text, with the name it carries (the FPGA image
// file a loader message is about).
std::string ZarkdEntryText(const nt::EventLogRecord& record) {
    std::string text = "(no message text)";
    for (const ZAR_MESSAGE& message : ZarMessageTable)
        if (message.Id == record.eventId) text = message.Text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (const std::u16string& s : record.strings) text += " [" + Utf8(s) + "]";
    return text;
}

// ---- The boards ----

struct DemoOptions {
    std::string folder;
    bool reset = false;
    uint32_t boards = 1;
    bool foreign = false;
    bool digitalIo = false;
    bool realTime = false;
};

// What the demo built and booted, for the sections to show.
struct DemoMachine {
    DemoOptions options;
    sim::PciLayout layout;
    sim::BuiltTopology hardware;
} gDemo;

// The debugger's look at a board (board_inspect.h), for what the driver's
// interface does not report; none in a client of a machine host, which
// cannot look into the host's kernel.
std::optional<inspect::BoardView> Look(ULONG board) {
    inspect::BoardView view;
    if (w32host::IsClient() || !inspect::ReadBoard(board, &view)) return std::nullopt;
    return view;
}

// Machine time in nanoseconds, as user mode reads it.
uint64_t MachineNow() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return static_cast<uint64_t>(counter.QuadPart) * 100;
}

// What a client of a machine host tells the other client (demo --host).
std::string gNotes;

const char* BoardStateName(ULONG state) {
    switch (state) {
    case ZAR_BOARD_STATE_BOARD: return "the board";
    case ZAR_BOARD_STATE_BRIDGE_ONLY: return "bridge only (foreign subsystem ids)";
    default: return "no record";
    }
}

// Every link of \?? that names 'device'.
std::vector<std::u16string> LinksTo(const std::u16string& device) {
    std::vector<std::u16string> links;
    for (const ObDirectoryEntry& entry : ObListDirectory(u"\\??"))
        if (entry.linkTarget == device) links.push_back(u"\\??\\" + entry.name);
    std::sort(links.begin(), links.end());
    return links;
}

void ShowDeviceAndLinks(const std::u16string& device) {
    std::printf("    device %s", Utf8(device).c_str());
    for (const std::u16string& link : LinksTo(device)) std::printf("  <- %s", Utf8(link).c_str());
    std::printf("\n");
}

void ShowBoards() {
    Heading("Boards");
    std::printf("  simulated PCI hardware:\n");
    for (const sim::LayoutSlot& slot : gDemo.layout.slots) {
        std::printf("    bus %u device %u function %u: bridge %04X:%04X, subsystem %04X:%04X%s\n", slot.at.bus,
                    slot.at.device, slot.at.function, 0x1131, 0x7146, slot.board.subsystemVendor,
                    slot.board.subsystemId,
                    slot.kind == sim::SlotKind::ForeignBridge ? " (foreign: not a Solvane board)" : "");
    }
    ULONG shown = 0;
    for (ULONG board = 0; board < ZAR_MAX_BOARDS; ++board) {
        const std::optional<inspect::BoardView> look = Look(board);
        if (!look) continue;
        const inspect::BoardView& ext = *look;
        ++shown;
        const ZAR_HARDWARE_INFO* info = &ext.hardware;
        std::printf("  board %lu: %s\n", static_cast<unsigned long>(board), BoardStateName(info->BoardState));
        std::printf("    PCI bus %lu, device %lu, function %lu, latency timer %u\n",
                    static_cast<unsigned long>(info->BusNumber),
                    static_cast<unsigned long>(ZarPciSlotDevice(info->SlotNumber)),
                    static_cast<unsigned long>(ZarPciSlotFunction(info->SlotNumber)), info->PciConfig[13]);
        if (info->BoardState == ZAR_BOARD_STATE_BOARD) {
            std::printf("    aperture 0x%08lX%08lX, %lu bytes\n", static_cast<unsigned long>(info->ApertureHigh),
                        static_cast<unsigned long>(info->ApertureLow),
                        static_cast<unsigned long>(info->ApertureLength));
            std::printf("    interrupt %s%s, level %lu, vector %lu -> system vector %lu at IRQL %u\n",
                        info->InterruptMode ? "latched" : "level-sensitive", info->InterruptShared ? ", shared" : "",
                        static_cast<unsigned long>(info->InterruptLevel),
                        static_cast<unsigned long>(info->InterruptVector),
                        static_cast<unsigned long>(info->SystemVector), info->Irql);
        } else {
            std::printf("    no resources claimed, no interrupt\n");
        }
        ShowDeviceAndLinks(ext.deviceName);
        const std::u16string option = u"\\Device\\ZarIo" + std::u16string(1, char16_t(u'0' + board));
        for (const ObDirectoryEntry& entry : ObListDirectory(u"\\Device"))
            if (u"\\Device\\" + entry.name == option) ShowDeviceAndLinks(option);
        std::printf("    parameters: EventLogLevel %lu, Standard %lu (%lu active lines a field), CoreMode %lu, "
                    "DvePresent %u\n",
                    static_cast<unsigned long>(ext.eventLogLevel), static_cast<unsigned long>(ext.standard),
                    static_cast<unsigned long>(ext.activeLinesPerField),
                    static_cast<unsigned long>(ext.coreMode), ext.dvePresent);
        auto tweak = [](std::optional<uint32_t> v) { return v ? std::to_string(*v) : std::string("unset"); };
        std::printf("    DveWticDmaSizeWords %lu, BlackAdjust %lu, DmaTweakV %s, DmaTweakA %s, "
                    "DisableAudioFifoResets %u, AudioUnderflowLogging %u, SensitiveTiming %u, ShortBlankingWait %u\n",
                    static_cast<unsigned long>(ext.dveWticDmaSizeWords),
                    static_cast<unsigned long>(ext.blackAdjust), tweak(ext.dmaTweakV).c_str(),
                    tweak(ext.dmaTweakA).c_str(), ext.disableAudioFifoResets, ext.audioUnderflowLogging,
                    ext.sensitiveTiming, ext.shortBlankingWait);
        std::printf("    EEPROM option words: 625 lines %lu, 24 fps %lu\n",
                    static_cast<unsigned long>(ext.eeprom625Support),
                    static_cast<unsigned long>(ext.eeprom24FpsSupport));
    }
    if (shown == 0) std::printf("  (ZARKD has no board devices)\n");

    std::printf("  ZARKD event-log entries:\n");
    ULONG entries = 0;
    for (const nt::EventLogRecord& record : nt::EventLogRead()) {
        if (record.source != u"ZARKD") continue;
        std::printf("    #%llu %-11s %s\n", static_cast<unsigned long long>(record.sequence),
                    EventTypeName(record.type), ZarkdEntryText(record).c_str());
        ++entries;
    }
    if (entries == 0) std::printf("    (none: EventLogLevel 1 logs only problems)\n");
}

// Lets the boards run for a second of machine time and counts what
// their interrupt routine saw (the set-up after the FPGA download enables the
// field interrupt), and what the video-input monitor made of the input.
void ShowFields() {
    Heading("Fields (one second of machine time)");
    std::vector<inspect::BoardView> boards;
    for (ULONG board = 0; board < ZAR_MAX_BOARDS; ++board) {
        const std::optional<inspect::BoardView> look = Look(board);
        if (look && look->interruptConnected) boards.push_back(*look);
    }
    if (boards.empty()) {
        std::printf("  (no board with a connected interrupt)\n");
        return;
    }
    nt::ClockRunFor(1000000000ull);
    for (const inspect::BoardView& start : boards) {
        inspect::BoardView now;
        if (!inspect::ReadBoard(start.board, &now)) continue;
        std::printf("  board %lu: %llu fields in the second (field counter %lu, parity %lu), interrupts %lu, "
                    "spurious %lu\n",
                    static_cast<unsigned long>(now.board),
                    static_cast<unsigned long long>(now.fieldCounter - start.fieldCounter),
                    static_cast<unsigned long>(now.fieldCounter), static_cast<unsigned long>(now.fieldParity),
                    static_cast<unsigned long>(now.interruptCount),
                    static_cast<unsigned long>(now.spuriousInterruptCount));
        std::printf("    video input: source %lu, %s (decoder quality %lu of 64)\n",
                    static_cast<unsigned long>(now.videoSource), now.videoLocked ? "locked" : "no lock",
                    static_cast<unsigned long>(now.videoQuality));
    }
}

// A board opened from user mode, as the library and the file-system driver
// open it; closed when the value goes.
class BoardHandle {
public:
    explicit BoardHandle(ULONG board) {
        const std::string name = "\\\\.\\KIVZAR" + std::to_string(board);
        handle_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~BoardHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    BoardHandle(const BoardHandle&) = delete;
    BoardHandle& operator=(const BoardHandle&) = delete;
    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }

    // One control request; the Win32 error (0 on success) and the bytes back.
    DWORD Control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* bytes = nullptr) {
        DWORD returned = 0;
        const BOOL ok = DeviceIoControl(handle_, code, const_cast<void*>(in), inLength, out, outLength, &returned,
                                        nullptr);
        if (bytes) *bytes = returned;
        return ok ? 0 : GetLastError();
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The boards (not bridges of someone else's), as their driver reports them.
std::vector<ULONG> BoardsInState2() {
    std::vector<ULONG> boards;
    for (ULONG board = 0; board < ZAR_MAX_BOARDS; ++board) {
        BoardHandle handle(board);
        ULONG state = 0;
        if (handle.Open() && handle.Control(IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, sizeof state) == 0 &&
            state == ZAR_BOARD_STATE_BOARD)
            boards.push_back(board);
    }
    return boards;
}

// A board opened through ZarDll, closed when the value goes; the library
// sets the board up at its first open (firmware, the set-up after it, the
// board's parameters into the shared section).
class LibraryBoard {
public:
    explicit LibraryBoard(ULONG board) {
        const ZarDllCalls* dll = DemoZarDll();
        if (!dll) return;
        close_ = dll->DcClose;
        result_ = dll->DcOpen(board, &handle_);
    }
    ~LibraryBoard() {
        if (result_ == ZAR_OK) close_(handle_);
    }
    LibraryBoard(const LibraryBoard&) = delete;
    LibraryBoard& operator=(const LibraryBoard&) = delete;
    bool Open() const { return result_ == ZAR_OK; }
    int32_t Result() const { return result_; }
    ZAR_BOARD Handle() const { return handle_; }
    // The board driver's device of the library's connection, for the codes
    // that have no library call yet.
    HANDLE Device() const { return reinterpret_cast<HANDLE>(uintptr_t(handle_->BoardDevice)); }

    // One control request on that device; the Win32 error (0 on success).
    DWORD Control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength) const {
        DWORD returned = 0;
        return DeviceIoControl(Device(), code, const_cast<void*>(in), inLength, out, outLength, &returned, nullptr)
                   ? 0
                   : GetLastError();
    }

private:
    ZAR_BOARD handle_ = ZAR_INVALID_BOARD;
    int32_t result_ = ZAR_E_DRIVER;
    decltype(&::ZarDcClose) close_ = nullptr;
};

const char* SharedStateName(uint32_t state) {
    switch (state) {
    case ZAR_SHARED_STATE_NEVER: return "never initialised";
    case ZAR_SHARED_STATE_NO_BOARD: return "no board";
    case ZAR_SHARED_STATE_BRIDGE_ONLY: return "bridge only";
    case ZAR_SHARED_STATE_FIRMWARE: return "firmware loaded";
    case ZAR_SHARED_STATE_FIRMWARE_DVE: return "firmware loaded, DVE answering";
    default: return "?";
    }
}

// What the shared section holds for a board, as any process reads it.
void ShowSharedRecord(ULONG board) {
    SharedSectionView section;
    const ZAR_BOARD_SHARED* r = section.Board(board);
    if (!r) {
        std::printf("    (no process maps the section %s)\n", ZAR_SHARED_SECTION_NAME);
        return;
    }
    if (r->Standard == 0) {
        std::printf("    shared record: %s (state %lu); the board's parameters not read yet\n",
                    SharedStateName(r->BoardState), static_cast<unsigned long>(r->BoardState));
        return;
    }
    std::printf("    shared record: %s (state %lu), %lu lines, %lu active lines a field, OverBudget %lu%%, "
                "capabilities 0x%08lX, audio %lu Hz, media drive %c:\n",
                SharedStateName(r->BoardState), static_cast<unsigned long>(r->BoardState),
                static_cast<unsigned long>(r->Standard), static_cast<unsigned long>(r->FieldLines),
                static_cast<unsigned long>(r->OverBudget), static_cast<unsigned long>(r->Capabilities),
                static_cast<unsigned long>(r->SampleRate), r->MediaDriveLetter ? r->MediaDriveLetter : '?');
}

// Each board opened through ZarDll, as an application opens it: its first
// open in the machine checks the firmware and programs it when none is
// loaded, then sets the board up (what the file-system driver also does at
// its start).
void ShowBoardSetUp() {
    Heading("Board set-up through ZarDll");
    const std::vector<ULONG> boards = BoardsInState2();
    if (boards.empty()) std::printf("  (no board to set up)\n");
    for (ULONG board : boards) {
        SharedSectionView before;
        const ZAR_BOARD_SHARED* was = before.Board(board);
        const uint32_t stateBefore = was ? was->BoardState : 0;
        const uint64_t start = MachineNow();
        uint64_t loggedBefore = 0;
        for (const nt::EventLogRecord& record : nt::EventLogRead()) loggedBefore = std::max(loggedBefore, record.sequence);
        LibraryBoard handle(board);
        std::printf("  board %lu: ZarDcOpen %s in %.0f ms", static_cast<unsigned long>(board),
                    ZarResultName(handle.Result()).c_str(), double(MachineNow() - start) / 1e6);
        if (handle.Open())
            std::printf("; %s", stateBefore >= ZAR_SHARED_STATE_FIRMWARE ? "another process had set it up"
                                                                         : "set up by this open");
        std::printf("\n");
        if (handle.Result() == ZAR_E_FIRMWARE) {
            // Why, as the driver logged it: the loader's entries name the file.
            for (const nt::EventLogRecord& record : nt::EventLogRead())
                if (record.source == u"ZARKD" && record.sequence > loggedBefore && !record.strings.empty())
                    std::printf("    %s\n", ZarkdEntryText(record).c_str());
        }
        if (!handle.Open()) continue;
        gNotes += "board " + std::to_string(board) + " opened through ZarDll; ";
        ShowSharedRecord(board);
        std::printf("    first open in this process %s\n",
                    BoardFirstOpenDone(board) ? "complete (SCSI table read, audio DMA events made)"
                                              : "not complete: the media file system does not answer yet, the "
                                                "next open finishes it");
        const std::optional<inspect::BoardView> look = Look(board);
        if (look) std::printf("    board ready %u, board revision %lu\n", look->boardReady,
                              static_cast<unsigned long>(look->boardRevision));
    }
}

// A quoted INQUIRY text field without its padding.
std::string Trimmed(const char* text, size_t size) {
    std::string out(text, strnlen(text, size));
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

const char* ScsiDeviceStateName(uint32_t state) {
    switch (state) {
    case ZAR_SCSI_DEVICE_NONE: return "absent";
    case ZAR_SCSI_DEVICE_NOT_READY: return "not ready";
    case ZAR_SCSI_DEVICE_READY: return "ready";
    default: return "?";
    }
}

// A disk request as the file-system driver sends one; false with the
// reason printed when the request or the command failed.
bool DiskRequest(const LibraryBoard& handle, ZAR_DISK_REQUEST& request, const char* what) {
    request.OwnsScsi = 1;
    const DWORD error = handle.Control(IOCTL_ZAR_DISK_REQUEST, &request, sizeof request, &request, sizeof request);
    if (error == 0 && request.ScsiStatus == 0) return true;
    std::printf("    %s failed: error %lu, SCSI status 0x%02lX, sense key %lu, ASC 0x%02lX\n", what,
                static_cast<unsigned long>(error), static_cast<unsigned long>(request.ScsiStatus),
                static_cast<unsigned long>(request.SenseKey),
                static_cast<unsigned long>(request.AdditionalSenseCode));
    return false;
}

// The SCSI bus of each board: the scan the file-system driver starts with,
// each target's record, then a few blocks written, read back and compared,
// on the board device of a ZarDll connection (as the control panel uses it
// for the codes the library has no call for).
void ShowDisks() {
    Heading("SCSI bus and disks");
    for (ULONG board : BoardsInState2()) {
        LibraryBoard handle(board);
        if (!handle.Open()) continue;
        const uint64_t start = MachineNow();
        ZAR_DISK_REQUEST scan{};
        scan.Operation = ZAR_DISK_OP_SCAN;
        if (!DiskRequest(handle, scan, "bus scan")) continue;
        std::printf("  board %lu: bus scanned in %.1f s\n", static_cast<unsigned long>(board),
                    double(MachineNow() - start) / 1e9);
        int firstDrive = -1;
        for (uint32_t id = 0; id < 16; ++id) {
            ZAR_SCSI_DEVICE_INFO info{};
            info.ScsiId = id;
            if (handle.Control(IOCTL_ZAR_GET_SCSI_DEVICE, &info, sizeof info, &info, sizeof info) != 0) continue;
            if (info.State == ZAR_SCSI_DEVICE_NONE) continue;
            if (id == 7) {
                std::printf("    id  7: the board's own host adapter (%s %s)\n",
                            Trimmed(info.VendorId, sizeof info.VendorId).c_str(),
                            Trimmed(info.ProductId, sizeof info.ProductId).c_str());
                continue;
            }
            std::printf("    id %2lu: %-9s %-8s %-16s %-4s last block %lu (%.1f GB), %s, period %lu, offset %lu, "
                        "read cache %s, write cache %s\n",
                        static_cast<unsigned long>(id), ScsiDeviceStateName(info.State),
                        Trimmed(info.VendorId, sizeof info.VendorId).c_str(),
                        Trimmed(info.ProductId, sizeof info.ProductId).c_str(),
                        Trimmed(info.Revision, sizeof info.Revision).c_str(),
                        static_cast<unsigned long>(info.LastBlock), (double(info.LastBlock) + 1) * 512 / 1e9,
                        info.NegotiatedWide ? "16-bit" : "8-bit",
                        static_cast<unsigned long>(info.NegotiatedPeriod),
                        static_cast<unsigned long>(info.NegotiatedOffset), info.ReadCache ? "on" : "off",
                        info.WriteCache ? "on" : "off");
            if (firstDrive < 0 && info.State == ZAR_SCSI_DEVICE_READY && id != 7) firstDrive = int(id);
        }
        if (board < gDemo.hardware.boards.size())
            for (const std::string& line : gDemo.hardware.boards[board]->DrivesLeftOff())
                std::printf("    %s\n", line.c_str());
        if (firstDrive < 0) {
            std::printf("    (no ready drive to write to)\n");
            continue;
        }
        // 64 KB of a pattern that differs on every run, between a media
        // volume's entry (blocks 0-1) and its allocation area (from block
        // 1024): no volume keeps anything there.
        constexpr uint32_t kBlocks = 128, kFirstBlock = 512;
        // The request names its buffer by address, so the buffers are
        // VirtualAlloc's: the memory a client of a machine host shares with it.
        constexpr size_t kBytes = kBlocks * 512, kWords = kBytes / 4;
        auto* written = static_cast<uint32_t*>(VirtualAlloc(nullptr, 2 * kBytes, MEM_COMMIT, PAGE_READWRITE));
        if (!written) {
            std::printf("    (no memory for the transfer)\n");
            continue;
        }
        uint32_t* read = written + kWords;
        uint32_t x = static_cast<uint32_t>(std::time(nullptr)) | 1;
        for (size_t i = 0; i < kWords; ++i) written[i] = x = x * 1664525u + 1013904223u;
        ZAR_DISK_REQUEST write{};
        write.Operation = ZAR_DISK_OP_WRITE;
        write.TargetId = static_cast<uint32_t>(firstDrive);
        write.FirstBlock = kFirstBlock;
        write.BlockCount = kBlocks;
        write.UserBuffer = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(written));
        write.UserBufferLength = kBytes;
        ZAR_DISK_REQUEST readBack = write;
        readBack.Operation = ZAR_DISK_OP_READ;
        readBack.UserBuffer = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(read));
        const uint64_t io = MachineNow();
        const bool done = DiskRequest(handle, write, "write") && DiskRequest(handle, readBack, "read");
        const bool same = std::memcmp(written, read, kBytes) == 0;
        VirtualFree(written, 0, MEM_RELEASE);
        if (!done) continue;
        std::printf("    id %d: %lu blocks written at block %lu and read back in %.0f ms: %s\n", firstDrive,
                    static_cast<unsigned long>(kBlocks), static_cast<unsigned long>(kFirstBlock),
                    double(MachineNow() - io) / 1e6, same ? "identical" : "DIFFERENT");
        gNotes += "board " + std::to_string(board) + " drive " + std::to_string(firstDrive) +
                  ": 64 KB written and read back " + (same ? "identical; " : "DIFFERENT; ");
    }
}

// The versions and the SCSI device table as an application reads them.
void ShowVersionsAndDrives(const LibraryBoard& handle) {
    const ZarDllCalls* dll = DemoZarDll();
    uint8_t info[ZAR_VERSION_INFO_EX_SIZE] = {};
    const int32_t result = dll->DcGetVersionInfoEx(handle.Handle(), info);
    if (result != ZAR_OK) {
        std::printf("    ZarDcGetVersionInfoEx: %s\n", ZarResultName(result).c_str());
    } else {
        auto word = [&](size_t offset) {
            uint32_t w;
            std::memcpy(&w, info + offset, sizeof w);
            return w;
        };
        auto version = [&](size_t offset) {
            const uint32_t ms = word(offset), ls = word(offset + 4);
            return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) +
                   "." + std::to_string(ls & 0xFFFF);
        };
        std::printf("    versions: library %s, ZARKD %s, ZARFSKD %s, ZarService %s\n", version(0).c_str(),
                    version(8).c_str(), version(16).c_str(), version(89).c_str());
        std::printf("    firmware %08X %08X, %u lines, DVE %s, hardware \"%.16s\", revision %u.%u, "
                    "digital I/O %s, capabilities %08X\n",
                    word(24), word(28), word(40), word(44) ? "present" : "absent",
                    reinterpret_cast<const char*>(info + 48), word(65), word(69), word(73) ? "present" : "absent",
                    word(85));
    }
    std::printf("    SCSI devices (ZarScsiQueryDeviceInfo):\n");
    for (uint32_t id = 0; id < 16; ++id) {
        ZAR_SCSI_DEVICE_INFO entry{};
        entry.ScsiId = id;
        if (dll->ScsiQueryDeviceInfo(handle.Handle(), &entry) != ZAR_OK || entry.State == ZAR_SCSI_DEVICE_NONE)
            continue;
        std::printf("      id %2u: state %3u, %.8s %.16s %.4s, %llu blocks\n", id, entry.State,
                    entry.VendorId, entry.ProductId,
                    entry.Revision, static_cast<unsigned long long>(entry.LastBlock) + 1);
    }
}

// Each board opened through ZarDll once more, now that the media file
// system answers: a first open that could not complete before does now.
void ShowLibrary() {
    Heading("ZarDll");
    for (ULONG board : BoardsInState2()) {
        const bool doneBefore = BoardFirstOpenDone(board);
        LibraryBoard handle(board);
        std::printf("  board %lu: ZarDcOpen %s; first open in this process %s\n", static_cast<unsigned long>(board),
                    ZarResultName(handle.Result()).c_str(),
                    doneBefore                     ? "was complete"
                    : BoardFirstOpenDone(board)    ? "completed by this open"
                                                   : "still not complete");
        if (!handle.Open()) continue;
        ShowSharedRecord(board);
        ShowVersionsAndDrives(handle);
    }
}

// A clip recorded from board 0's input to its first drive and played back.
void ShowBoardZeroClip() {
    ShowClip({0, gDemo.hardware.boards.empty() ? nullptr : gDemo.hardware.boards[0].get(),
              fs::absolute(gDemo.options.folder).string()});
}

// The frame board 0's input frame store holds, as a picture.
void ShowBoardZeroFrameStore() { ShowFrameStore({0, fs::absolute(gDemo.options.folder).string()}); }

// A caption from board 0's graphics store keyed over a matte, then faded.
void ShowBoardZeroEffects()
{
    ShowEffects({0, gDemo.hardware.boards.empty() ? nullptr : gDemo.hardware.boards[0].get(),
                 fs::absolute(gDemo.options.folder).string()});
}

// Board 0's time code looped back and burnt in, and a ring of scaled captures.
void ShowBoardZeroTimeCode()
{
    ShowTimeCode({0, gDemo.hardware.boards.empty() ? nullptr : gDemo.hardware.boards[0].get(),
                  fs::absolute(gDemo.options.folder).string()});
}

// A still and the preview of board 0's input through ZarDll, and its volume optimised.
void ShowBoardZeroMedia()
{
    Heading("Still capture, preview and volume upkeep through ZarDll");
    ShowStillPreviewAndUpkeep({0, fs::absolute(gDemo.options.folder).string()});
}

// Tones through board 0's audio, its loop-back recorded to a WAVE file.
void ShowBoardZeroAudio() { ShowAudio({0, fs::absolute(gDemo.options.folder).string()}); }

// The same sound as a Windows program makes it, through WinMM and ZARWAV.
void ShowBoardZeroWave() { ShowWaveDriver({fs::absolute(gDemo.options.folder).string()}); }

struct Section {
    const char* name;
    void (*show)();
};

// In the order a user of the board would look at things.
constexpr Section kDemoSections[] = {
    {"name space", ShowNameSpace},
    {"drivers", ShowDrivers},
    {"services", ShowServices},
    {"boards", ShowBoards},
    {"board set-up", ShowBoardSetUp},
    {"fields", ShowFields},
    {"disks", ShowDisks},
    {"media volumes", [] { auto b = BoardsInState2(); ShowMediaVolumes({b.begin(), b.end()}, &gDemo.hardware); }},
    {"library", ShowLibrary},
    {"media drive", ShowMediaDrive},
    {"input frame store", ShowBoardZeroFrameStore},
    {"clip", ShowBoardZeroClip},
    {"effects", ShowBoardZeroEffects},
    {"audio", ShowBoardZeroAudio},
    {"wave driver", ShowBoardZeroWave},
    {"time code and capture", ShowBoardZeroTimeCode},
    {"still, preview and volume upkeep", ShowBoardZeroMedia},
    {"event log", ShowEventLog},
};

// ---- The demo ----

std::string DefaultMachineFolder() {
    const char* fromEnvironment = std::getenv("ZAR_MACHINE");
    if (fromEnvironment && *fromEnvironment) return fromEnvironment;
    return ".machine/default";
}

// The hardware of the demo machine: its boards on bus 0 and, asked for, a
// foreign bridge after them.
// Files of the machine folder that cannot be read stop the boot; damage the
// machine gets past is reported and left as found.
std::shared_ptr<hw::PciTopology> DemoHardware(const DemoOptions& options, const fs::path& folder) {
    sim::PciLayout layout = sim::BoardsLayout(options.boards);
    FitDveModule(layout);
    MachineFolderReport report;
    auto reported = [&report] {
        for (const std::string& line : report.notes) std::fprintf(stderr, "zar-front: %s\n", line.c_str());
        for (const std::string& line : report.errors) std::fprintf(stderr, "zar-front: %s\n", line.c_str());
        if (!report.errors.empty()) std::fprintf(stderr, "zar-front: the machine is not booted\n");
        report = {};
    };
    const bool prepared = PrepareMachineFolder(folder, layout, report);
    reported();
    if (!prepared) return nullptr;
    if (options.foreign) {
        sim::LayoutSlot foreign;
        foreign.at = {0, 4 + options.boards, 0};
        foreign.kind = sim::SlotKind::ForeignBridge;
        foreign.board = sim::BoardOptions::Foreign();
        foreign.interruptLine = 16 + options.boards % 8;
        layout.slots.push_back(foreign);
    }
    gDemo.layout = layout;
    gDemo.hardware = sim::BuildTopology(layout);
    const bool checked = CheckBoardFiles(gDemo.hardware, report);
    reported();
    if (!checked) return nullptr;
    return gDemo.hardware.topology;
}

bool ServiceKeyExists(const char16_t* service) {
    return NT_SUCCESS(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(service)));
}

bool DriverLoaded(const std::u16string& service) {
    for (const auto& [name, driver] : nt::IoLoadedDrivers())
        if (name == service) return true;
    return false;
}

// The board driver's service key, written when the machine has none, and
// the digital-I/O option's, present only when asked for.
void InstallDrivers(const DemoOptions& options) {
    if (!ServiceKeyExists(u"ZARKD")) {
        const WCHAR* key = u"ZARKD";
        const char16_t image[] = u"\\SystemRoot\\System32\\drivers\\ZARKD.sys";
        ULONG one = 1;
        RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(key));
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"Type", REG_DWORD, &one, sizeof one);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"Start", REG_DWORD, &one, sizeof one);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"ErrorControl", REG_DWORD, &one, sizeof one);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, key, u"ImagePath", REG_EXPAND_SZ,
                              const_cast<char16_t*>(image), sizeof image);
        std::printf("ZARKD service key written (Start 1)\n");
    }
    WriteDvePresentValues(options.boards);
    if (options.digitalIo && !ServiceKeyExists(u"ZARIOKD")) {
        ZarIoKdInstall(1);
        std::printf("ZARIOKD service key written: the boards carry the digital-I/O option\n");
    }
    if (!options.digitalIo && ServiceKeyExists(u"ZARIOKD")) {
        std::printf("(this machine folder has the digital-I/O option from an earlier --digital-io)\n");
    }
    if (ServiceKeyExists(u"ZARIOKD") && !DriverLoaded(u"ZARIOKD")) {
        NTSTATUS status = nt::IoLoadDriver(u"ZARIOKD");
        std::printf("ZARIOKD loaded: %s\n", NtStatusName(status));
    }
    // The simulated chip's LTC loop hands a frame to the reader three fields
    // after the generator's field for it: the reader's delay says so.
    const WCHAR* tandrelKey = u"ZARKD\\Parameters\\Tandrel";
    if (!ServiceKeyExists(tandrelKey)) {
        ULONG reader = 3, generator = 2;
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, tandrelKey, u"LTCReaderDelayFields", REG_DWORD, &reader, sizeof reader);
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, tandrelKey, u"LTCGeneratorDelayFields", REG_DWORD, &generator,
                              sizeof generator);
    }
    if (!DriverLoaded(u"ZARKD")) {
        NTSTATUS status = nt::IoLoadDriver(u"ZARKD");
        std::printf("ZARKD loaded: %s\n", NtStatusName(status));
    }
    // The time-code driver binds to board 0's streams (Start 2: after ZARKD at boot).
    if (!ServiceKeyExists(u"TANDRELKD")) {
        nt::WriteDriverServiceKey(u"TANDRELKD", 2);
        std::printf("TANDRELKD service key written (Start 2)\n");
    }
    if (DriverLoaded(u"ZARKD") && !DriverLoaded(u"TANDRELKD")) {
        NTSTATUS status = nt::IoLoadDriver(u"TANDRELKD");
        std::printf("TANDRELKD loaded: %s\n", NtStatusName(status));
    }
    // The kernel wave service the wave driver talks through; it needs the
    // board driver's devices, so it comes after them.
    if (!ServiceKeyExists(u"ZARWAV")) ZarWavInstall(3);
    if (!DriverLoaded(u"ZARWAV")) {
        NTSTATUS status = nt::IoLoadDriver(u"ZARWAV");
        std::printf("ZARWAV (kernel wave service) loaded: %s\n", NtStatusName(status));
    }
}

int Demo(const DemoOptions& options) {
    const fs::path folder = fs::absolute(options.folder);
    std::string why;
    if (options.reset && !ResetMachineFolder(folder, &why)) {
        std::fprintf(stderr, "zar-front: %s\n", why.c_str());
        return 1;
    }

    nt::MachineOptions machine;
    machine.folder = folder.string();
    machine.clock = options.realTime ? nt::ClockMode::Real : nt::ClockMode::Virtual;
    gDemo.options = options;
    machine.pci = DemoHardware(options, folder);
    if (!machine.pci) return 1;
    const NTSTATUS booted = nt::Machine::Boot(machine);
    if (!NT_SUCCESS(booted)) {
        std::fprintf(stderr, "zar-front: the machine in %s did not boot: %s\n", folder.c_str(),
                     NtStatusName(booted));
        return 1;
    }
    std::printf("Machine %s booted (%s)\n", folder.c_str(),
                options.realTime ? "real clock" : "virtual clock: machine time, independent of the host's speed");
    InstallDrivers(options);
    for (const Section& section : kDemoSections) section.show();
    std::fflush(stdout);
    nt::Machine::Shutdown();
    std::printf("\nMachine shut down\n");
    return 0;
}

// The machine host: boots the machine as the demo does, on the real clock,
// and serves it to client processes over <folder>/host.sock until SIGTERM or
// SIGINT; then it ends the clients' processes and shuts the machine down
// (drivers' shutdown and unload, registry written). Its process id is in
// <folder>/host.pid while it runs.
int Host(DemoOptions options) {
    const fs::path folder = fs::absolute(options.folder);
    std::string why;
    std::error_code made;
    fs::create_directories(folder, made);
    // Refused before the boot, so that a second host never opens the drive images.
    if (!host::ClaimFolder(folder.string(), &why)) {
        std::fprintf(stderr, "zar-front: %s\n", why.c_str());
        return 1;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    // Blocked before any thread starts, so every thread leaves them to sigwait.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    nt::MachineOptions machine;
    machine.folder = folder.string();
    machine.clock = nt::ClockMode::Real;
    options.realTime = true;
    gDemo.options = options;
    machine.pci = DemoHardware(options, folder);
    if (!machine.pci) return 1;
    const NTSTATUS booted = nt::Machine::Boot(machine);
    if (!NT_SUCCESS(booted)) {
        std::fprintf(stderr, "zar-front: the machine in %s did not boot: %s\n", folder.c_str(), NtStatusName(booted));
        return 1;
    }
    InstallDrivers(options);
    // Up as the demo's machine comes up: the media file system started
    // (its volume made on first use), so P: is there for every client.
    const auto boards = BoardsInState2();
    ShowMediaVolumes({boards.begin(), boards.end()});
    if (!host::StartServer(nt::Machine::Folder(), &why)) {
        std::fprintf(stderr, "zar-front: cannot serve the machine: %s\n", why.c_str());
        nt::Machine::Shutdown();
        return 1;
    }
    const std::string pidFile = nt::Machine::Folder() + "/host.pid";
    if (FILE* f = std::fopen(pidFile.c_str(), "w")) {
        std::fprintf(f, "%d\n", static_cast<int>(getpid()));
        std::fclose(f);
    }
    std::printf("Machine host serving %s (real clock, socket %s/host.sock)\n", folder.c_str(),
                nt::Machine::Folder().c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    host::StopServer();
    nt::Machine::Shutdown();
    std::remove(pidFile.c_str());
    std::printf("Machine host stopped, machine shut down\n");
    return 0;
}

// ---- The demo with a machine host (./zar demo --host) ----

// The two client processes of that demo: a named section and a named event
// that both make (whichever comes first creates them), so they are the same
// objects in both processes and in the host.
constexpr char kNotesSection[] = "ZarDemoNotes";
constexpr char kReadyEvent[] = "ZarDemoReady";
constexpr DWORD kNotesSize = 4096;

bool AttachedToHost() {
    if (w32host::IsClient()) return true;
    const char* folder = std::getenv("ZAR_MACHINE");
    std::fprintf(stderr, "zar-front: no machine host answers for %s\n", folder && *folder ? folder : "(ZAR_MACHINE unset)");
    return false;
}

// The first client: the board part of the demo, through the board's
// interface alone; then a note in the shared section and the event set.
int DemoClient() {
    if (!AttachedToHost()) return 1;
    std::printf("Client process %lu of the machine host: the board part of the demo\n",
                static_cast<unsigned long>(GetCurrentProcessId()));
    ShowBoardSetUp();
    ShowDisks();
    HANDLE notes = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kNotesSize, kNotesSection);
    char* view = notes ? static_cast<char*>(MapViewOfFile(notes, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, kReadyEvent);
    if (!view || !ready) {
        std::fprintf(stderr, "zar-front: the section or the event could not be made (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::snprintf(view, kNotesSize, "process %lu: %s", static_cast<unsigned long>(GetCurrentProcessId()),
                  gNotes.empty() ? "no board to set up" : gNotes.c_str());
    SetEvent(ready);
    std::printf("\nClient process %lu wrote its notes into the section %s and set the event %s\n",
                static_cast<unsigned long>(GetCurrentProcessId()), kNotesSection, kReadyEvent);
    std::fflush(stdout);
    UnmapViewOfFile(view);
    CloseHandle(notes);
    CloseHandle(ready);
    return 0;
}

// The second client: loads ZarDll (so the library's section lives while it
// waits), waits on the event the first sets, reads the section the first
// wrote, then opens board 0 through ZarDll and finds it set up.
int DemoPeer() {
    if (!AttachedToHost()) return 1;
    const ZarDllCalls* dll = DemoZarDll();
    HANDLE notes = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kNotesSize, kNotesSection);
    const char* view = notes ? static_cast<const char*>(MapViewOfFile(notes, FILE_MAP_READ, 0, 0, 0)) : nullptr;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, kReadyEvent);
    if (!dll || !view || !ready) {
        std::fprintf(stderr, "zar-front: ZarDll, the section or the event could not be had (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::printf("Client process %lu loaded ZarDll and waits on the named event %s\n",
                static_cast<unsigned long>(GetCurrentProcessId()), kReadyEvent);
    std::fflush(stdout);
    const DWORD waited = WaitForSingleObject(ready, 30 * 60 * 1000);
    if (waited != WAIT_OBJECT_0) {
        std::printf("Client process %lu: the event was not set (%s)\n",
                    static_cast<unsigned long>(GetCurrentProcessId()), waited == WAIT_TIMEOUT ? "timed out" : "failed");
        return 1;
    }
    std::printf("Client process %lu released; the section %s reads: \"%s\"\n",
                static_cast<unsigned long>(GetCurrentProcessId()), kNotesSection, view);
    {
        SharedSectionView section;
        const ZAR_BOARD_SHARED* record = section.Board(0);
        const bool setUp = record && record->BoardState >= ZAR_SHARED_STATE_FIRMWARE && record->Standard != 0;
        const uint64_t start = MachineNow();
        LibraryBoard board(0);
        std::printf("Client process %lu: ZarDcOpen of board 0 %s in %.0f ms; %s\n",
                    static_cast<unsigned long>(GetCurrentProcessId()), ZarResultName(board.Result()).c_str(),
                    double(MachineNow() - start) / 1e6,
                    setUp ? "it found the board set up by the other process (firmware reported, not programmed; "
                            "parameters not read again)"
                          : "the board was not set up before it");
        if (board.Open()) ShowSharedRecord(0);
    }
    UnmapViewOfFile(view);
    CloseHandle(notes);
    CloseHandle(ready);
    return 0;
}

int Usage(FILE* to) {
    std::fprintf(to,
                 "usage: zar-front demo [--folder DIR] [--reset] [--boards N] [--foreign] [--digital-io] "
                 "[--real-time]\n"
                 "  --folder DIR  machine folder (default: $ZAR_MACHINE, else ./.machine/default)\n"
                 "  --reset       delete the machine folder first and boot a fresh machine\n"
                 "  --boards N    simulated boards in the machine (0-10, default 1)\n"
                 "  --foreign     also a bridge of the same family with foreign subsystem ids\n"
                 "  --digital-io  the boards carry the digital-I/O option (its driver is installed)\n"
                 "  --real-time   run the machine on the host's clock (a slow host then misses fields)\n"
                 "       zar-front host [--folder DIR] [--boards N] [--digital-io]\n"
                 "  serve the machine to client processes until SIGTERM (./zar machine start|stop|status)\n"
                 "       zar-front demo-client | demo-peer\n"
                 "  the two client processes of ./zar demo --host, on the host of $ZAR_MACHINE\n");
    return to == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage(stderr);
    if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") return Usage(stdout);
    if (args[0] == "demo-client" || args[0] == "demo-peer") {
        if (args.size() != 1) return Usage(stderr);
        return args[0] == "demo-client" ? DemoClient() : DemoPeer();
    }
    // This process boots its own machine, whatever host ZAR_MACHINE names.
    w32host::StayEmbedded();
    if (args[0] != "demo" && args[0] != "host") {
        std::fprintf(stderr, "zar-front: unknown command '%s'\n", args[0].c_str());
        return Usage(stderr);
    }
    DemoOptions options;
    options.folder = DefaultMachineFolder();
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--reset") {
            options.reset = true;
        } else if (args[i] == "--boards" && i + 1 < args.size()) {
            options.boards = static_cast<uint32_t>(std::strtoul(args[++i].c_str(), nullptr, 10));
            if (options.boards > 10) {
                std::fprintf(stderr, "zar-front: --boards takes 0 to 10\n");
                return 2;
            }
        } else if (args[i] == "--foreign") {
            options.foreign = true;
        } else if (args[i] == "--digital-io") {
            options.digitalIo = true;
        } else if (args[i] == "--real-time") {
            options.realTime = true;
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
    return args[0] == "host" ? Host(options) : Demo(options);
}
