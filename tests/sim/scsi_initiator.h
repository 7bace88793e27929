// A small SCSI initiator for the tests of the board's host adapter and its
// drives: it drives the controller's registers through the board's register
// file the way the board driver does over DEBI, polls 0xBC00 for the
// interrupt request, and runs the machine clock of a FakeHost meanwhile.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fake_host.h"
#include "sim/board.h"

namespace simtest {

inline constexpr uint64_t kUs = 1'000;
inline constexpr uint64_t kMs = 1'000'000;
inline constexpr uint64_t kSec = 1'000'000'000;

// A folder under /tmp that goes away with the test.
struct TempFolder {
    std::string path;
    TempFolder()
    {
        char name[] = "/tmp/zar-scsi-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempFolder() { std::filesystem::remove_all(path); }
};

struct Agreement {
    bool ok = false;
    bool wide = false;
    int period = 50;
    int offset = 0;
};

struct CommandResult {
    bool reachedStatus = false;
    uint8_t status = 0xFF;
    uint32_t residual = 0;   // counter left after the data phase
    std::optional<uint8_t> dataIrq;
};

class Initiator {
public:
    Initiator(FakeHost& host, sim::Board& board) : host_(host), board_(board) {}

    void W(int reg, uint8_t value) { board_.Regs().Write(0xA000 + 4 * reg, value); }
    uint8_t R(int reg) { return uint8_t(board_.Regs().Read(0xA000 + 4 * reg)); }
    void Cmd(uint8_t command) { W(3, command); }
    uint8_t Phase() { return R(4) & 0x07; }
    bool RequestPending() { return !(board_.Regs().Read(0xBC00) & 0x1000); }
    uint32_t Counter() { return R(0) | R(1) << 8 | uint32_t(R(14)) << 16 | uint32_t(R(15)) << 24; }

    // Waits as the driver does: 0xBC00 bit 0x1000 polled until 'limit' of
    // machine time passed; then register 5 (read and cleared).
    std::optional<uint8_t> WaitIrq(uint64_t limit = kSec)
    {
        uint64_t deadline = host_.Now() + limit;
        while (!RequestPending()) {
            if (!host_.Step() || host_.Now() > deadline) {
                if (host_.Now() < deadline) host_.SetNow(deadline);
                return std::nullopt;
            }
        }
        lastIrqTime = host_.Now();
        return R(5);
    }

    // Controller set-up as the driver does it.
    void Init()
    {
        Cmd(0x02);
        Cmd(0x80);
        Cmd(0x80);
        R(14);
        R(15);
        board_.Regs().Write(0x9400, 0x8000);
        const uint8_t regs[] = {9, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15};
        const uint8_t values[] = {0x00, 0x40, 0xFF, 4, 8, 0x57, 0x8C, 0x88, 0x4D, 4, 0, 0};
        for (size_t i = 0; i < sizeof regs; ++i) W(regs[i], values[i]);
    }

    void LoadFifo(const std::vector<uint8_t>& bytes)
    {
        Cmd(0x01);
        for (uint8_t b : bytes) W(2, b);
    }

    // Message In of n bytes, each taken by transfer information and all but
    // the last accepted.
    std::vector<uint8_t> ReceiveMessage(size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            if (i) {
                Cmd(0x12);
                if (WaitIrq() != 0x10) return {};
            }
            Cmd(0x10);
            if (WaitIrq() != 0x08) return {};
        }
        std::vector<uint8_t> bytes;
        while (R(7) & 0x1F) bytes.push_back(R(2));
        return bytes;
    }
    bool AcceptKeepingAtn()
    {
        Cmd(0x1A);
        Cmd(0x12);
        return WaitIrq() == 0x10;
    }

    // Selection with width and synchronous negotiation, ending in the
    // command phase; falls back to asynchronous when the reply's period is
    // beyond 37.
    Agreement Negotiate(int id, bool wide, int period, int offset)
    {
        Agreement a;
        W(4, uint8_t(0x40 | id));
        LoadFifo({0x80});
        Cmd(0x43);
        if (WaitIrq() != 0x18 || Phase() != 6) return a;
        int w = wide ? 1 : 0;
        for (;;) {
            LoadFifo({0x01, 0x02, 0x03, uint8_t(w)});
            Cmd(0x10);
            if (WaitIrq() != 0x10 || Phase() != 7) return a;
            std::vector<uint8_t> reply = ReceiveMessage(4);
            if (!AcceptKeepingAtn()) return a;
            if (reply.size() != 4 || reply[0] != 1 || reply[1] != 2 || reply[2] != 3) return a;
            if (reply[3] == w) break;
            if (w == 0) return a;
            w = 0;
        }
        int p = offset ? period : 50, o = offset;
        std::vector<uint8_t> reply;
        for (int attempt = 0;; ++attempt) {
            LoadFifo({0x01, 0x03, 0x01, uint8_t(p), uint8_t(o)});
            Cmd(0x10);
            if (WaitIrq() != 0x10 || Phase() != 7) return a;
            reply = ReceiveMessage(5);
            if (reply.size() != 5 || reply[0] != 1 || reply[1] != 3 || reply[2] != 1) return a;
            if (reply[3] == p && reply[4] == o) break;
            if (attempt == 1) return a;
            if (reply[4] == 0 || reply[3] > 37) {
                o = 0;
                p = 50;
            } else {
                p = reply[3] <= 12 ? 12 : reply[3] <= 25 ? 25 : reply[3] <= 31 ? 31 : 37;
                o = std::min<int>(reply[4], 15);
            }
            if (!AcceptKeepingAtn()) return a;
        }
        Cmd(0x1B);
        Cmd(0x12);
        if (WaitIrq() != 0x10 || Phase() != 2) return a;
        a = {true, w == 1, p, o};
        agreed_[id] = a;
        SetTransferMode(a);
        return a;
    }

    void SetTransferMode(const Agreement& a)
    {
        W(12, uint8_t((0x4D & ~0x40) | (a.wide ? 0x40 : 0)));
        W(7, uint8_t(a.offset));
    }

    // The SDRAM side of the next data phase (0x9400/0x9C00 as the driver
    // sets them): 'modeField' is bits 10-13 (0 linear, 0xA the ring).
    void ArmSdram(uint32_t block, uint16_t modeField, bool toDrive)
    {
        shadow_ &= uint16_t(~0x0200);
        board_.Regs().Write(0x9400, uint16_t(shadow_ | 0x8000));
        board_.Regs().Write(0x9C00, uint16_t(block));
        shadow_ = uint16_t((shadow_ & ~0x3F00) | (toDrive ? 0x0100 : 0) | 0x0200 | (modeField << 10));
        board_.Regs().Write(0x9400, shadow_);
    }

    // Selection without negotiation: identify and CDB from the FIFO.
    std::optional<uint8_t> Select(int id, const std::vector<uint8_t>& cdb, uint64_t limit = kSec)
    {
        W(4, uint8_t(0x40 | id));
        std::vector<uint8_t> bytes{0x80};
        bytes.insert(bytes.end(), cdb.begin(), cdb.end());
        LoadFifo(bytes);
        Cmd(0x42);
        return WaitIrq(limit);
    }

    std::optional<uint8_t> DataPhase(uint32_t count)
    {
        for (int i = 0; i < 4; ++i) W(i < 2 ? i : 12 + i, uint8_t(count >> (8 * i)));
        Cmd(0x90);
        return WaitIrq(3 * kSec);
    }

    // Status and message, then the bus goes free. 0xFF when it did not.
    uint8_t StatusPhase()
    {
        shadow_ &= uint16_t(~0x0300);
        board_.Regs().Write(0x9400, uint16_t(shadow_ | 0x8000));
        Cmd(0x11);
        if (WaitIrq() != 0x08 || Phase() != 7 || (R(7) & 0x1F) != 2) return 0xFF;
        uint8_t status = R(2);
        R(2);
        Cmd(0x12);
        if (WaitIrq() != 0x20) return 0xFF;
        return status;
    }

    // One command on an agreed target: data in or out at an SDRAM block.
    // 'in' adds 64 to the counter, as the driver does.
    CommandResult Run(int id, const std::vector<uint8_t>& cdb, uint32_t bytes = 0, bool in = true,
                      uint32_t block = 0x3F00, uint16_t modeField = 0)
    {
        CommandResult r;
        if (auto it = agreed_.find(id); it != agreed_.end()) SetTransferMode(it->second);
        ArmSdram(block, modeField, !in);
        auto irq = Select(id, cdb, cdb[0] == 0x1B ? 30 * kSec : kSec);
        if (irq != 0x18) return r;
        if (Phase() == 1 || Phase() == 0) {
            r.dataIrq = DataPhase(bytes + (in ? 64 : 0));
            r.residual = Counter();
            if (!r.dataIrq) return r;
        }
        if (Phase() != 3) return r;
        r.reachedStatus = true;
        r.status = StatusPhase();
        return r;
    }

    // REQUEST SENSE: (key, ASC, ASCQ) read back from SDRAM.
    std::vector<uint8_t> Sense(int id)
    {
        auto r = Run(id, {0x03, 0, 0, 0, 0xFF, 0}, 256, true, 0x3F00);
        if (!r.reachedStatus || r.status != 0) return {};
        const uint8_t* s = board_.Memory().Raw() + 0x3F00 * 512;
        return {s[2], s[12], s[13]};
    }

    uint64_t lastIrqTime = 0;

private:
    FakeHost& host_;
    sim::Board& board_;
    uint16_t shadow_ = 0;
    std::map<int, Agreement> agreed_;  // per target, as the driver's table keeps it
};

// A board with drives, powered on, the controller set up and the bus reset.
struct ScsiBoard {
    TempFolder folder;
    FakeHost host;
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<Initiator> bus;

    sim::DriveConfig Drive(int id, uint64_t blocks = 4096)
    {
        sim::DriveConfig d;
        d.id = id;
        d.blocks = blocks;
        d.vendor = "ACME";
        d.product = "TESTDISK " + std::to_string(id);
        d.revision = "0102";
        d.serial = "SN0000" + std::to_string(id);
        d.image = folder.path + "/drive" + std::to_string(id) + ".img";
        return d;
    }

    void PowerOn(std::vector<sim::DriveConfig> drives)
    {
        sim::BoardOptions options;
        options.drives = std::move(drives);
        bus.reset();
        board.reset();
        host = FakeHost();  // the old board's events go with it
        board = std::make_unique<sim::Board>(options);
        board->Attach(&host);
        board->Reset();
        bus = std::make_unique<Initiator>(host, *board);
        bus->Init();
    }

    // Agrees on transfers with a target and clears its unit attention.
    Agreement Ready(int id, bool wide = true, int period = 12, int offset = 15)
    {
        Agreement a = bus->Negotiate(id, wide, period, offset);
        if (!a.ok) return a;
        // The command phase is reached: TEST UNIT READY takes the unit attention.
        bus->LoadFifo({0, 0, 0, 0, 0, 0});
        bus->Cmd(0x10);
        if (bus->WaitIrq() != 0x10) return {};
        bus->StatusPhase();
        bus->Sense(id);
        return a;
    }
};

}  // namespace simtest
