// A board machine for the effect units: the field interrupt on, the
// simulated effect units' register log at hand, and helpers that run whole
// fields and send play-list nodes.
#pragma once

#include <cstring>
#include <utility>
#include <vector>

#include "tests/drivers/board/zarkd_ioctl_machine.h"

class ZarkdFxMachine : public ZarkdIoctlMachine {
protected:
    static constexpr uint64_t kAfterField = 1000000;  // 1 ms into a field

    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ZarSetIntMode(ext_, ZAR_INT_FIELD, TRUE);
        Fx().EnableLog(true);
    }

    sim::Board& Board() { return *built_.boards[0]; }
    sim::EffectUnits& Fx() { return Board().Effects(); }

    // Runs to 1 ms into the next field, 'n' times.
    void RunFields(int n)
    {
        for (int i = 0; i < n; ++i) nt::ClockRunFor(Board().Clock().NextFieldTime() + kAfterField - nt::ClockNow());
    }
    // Runs until 1 ms into a field of 'parity'.
    void RunToParity(int parity)
    {
        do RunFields(1);
        while (Board().Clock().Parity() != parity);
    }

    // The writes logged at 'first' to 'last' (inclusive), in order.
    std::vector<std::pair<uint32_t, uint16_t>> Logged(uint32_t first, uint32_t last)
    {
        std::vector<std::pair<uint32_t, uint16_t>> out;
        for (const sim::FxWrite& w : Fx().Log())
            if (w.address >= first && w.address <= last) out.emplace_back(w.address, w.value);
        return out;
    }

    // Node records of 'channel', each with its field and payload.
    static std::vector<UCHAR> Nodes(ULONG channel, const std::vector<std::pair<ULONG, std::vector<UCHAR>>>& nodes)
    {
        ULONG size = ZarPlyNodeEntrySize(channel);
        std::vector<UCHAR> records(nodes.size() * size);
        for (size_t i = 0; i < nodes.size(); ++i) {
            ZAR_NODE_RECORD head{UCHAR(size), 0, 0, 0, nodes[i].first};
            std::memcpy(&records[i * size], &head, sizeof(head));
            std::memcpy(&records[i * size + sizeof(head)], nodes[i].second.data(),
                        std::min<size_t>(nodes[i].second.size(), size - sizeof(head)));
        }
        return records;
    }
    NTSTATUS Insert(ULONG channel, const std::vector<UCHAR>& records)
    {
        ZAR_NODE_SUBMIT submit{channel, ULONG(records.size() / ZarPlyNodeEntrySize(channel)),
                               ULONG(reinterpret_cast<ULONG_PTR>(records.data()))};
        return Send(IOCTL_ZAR_PLY_NODE_INSERT, nullptr, 0, &submit, sizeof(submit)).status;
    }
    NTSTATUS EnableMask(ULONG module, ULONG mask)
    {
        ZAR_ENABLE_MASK_REQUEST r{module, ZAR_ENABLE_MASK_SET, mask};
        return Send(IOCTL_ZAR_PLY_SET_ENABLE_MASK, &r, sizeof(r), nullptr, 0).status;
    }
    // A self-timed play from 'start' to 'end', waited for.
    static ZAR_PLAY_COMMAND Play(ULONG start, ULONG end) { return ZAR_PLAY_COMMAND{ZAR_PLAY_START, 1, 0, start, start, end, 0, 1}; }

    // Holds the bridge's DEBI busy bit, as a bus that never becomes idle.
    // The last transfer is ended first, or its end would clear the bit.
    void HoldDebiBusy(bool busy)
    {
        while (busy && Board().DebiUnit().Busy()) nt::ClockRunFor(1000);
        Board().Bridge().SetDebiBusy(busy);
    }
};
