// The JPEG channels of board 0 kept busy for a benchmark, through the board's
// control codes alone: channel 0 records with rate control, and channel 1
// plays back what it recorded a few fields before.
//
// Between fields the benchmark's thread does the library's share: it
// fetches each recorded field's descriptor, reads the field out of its
// parity's record bank and writes it into the play ring (the round trip a
// disk would make, with no drive needed), hands the record blocks back and
// queues a play node naming the field on channel 1's play list.
//
// Every buffer the driver touches (descriptor, field, nodes) is VirtualAlloc
// memory, which a client of a machine host shares with the host.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "bench/bench_board.h"
#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"

class BenchJpegChannels {
public:
    static constexpr uint32_t kUpperSize = 60;  // blocks a field the record aims at
    static constexpr uint32_t kPlayDelay = 8;   // fields recorded before the play starts, and queued ahead
    static constexpr uint32_t kPlayList = 30;   // video channel 1's play list
    static constexpr uint32_t kFieldBufferBlocks = 512;

    explicit BenchJpegChannels(BenchMachine& machine) : machine_(machine)
    {
        buffer_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, kBufferBytes, MEM_COMMIT, PAGE_READWRITE));
    }
    ~BenchJpegChannels()
    {
        // A benchmark that fails half way must not leave the codecs running:
        // on a machine host they would go on for the next client.
        if (running_) Stop();
        if (busHeld_) machine_.Control(IOCTL_ZAR_RELEASE_SCSI, "the bus release");
        if (buffer_ != nullptr) VirtualFree(buffer_, 0, MEM_RELEASE);
    }
    BenchJpegChannels(const BenchJpegChannels&) = delete;
    BenchJpegChannels& operator=(const BenchJpegChannels&) = delete;

    // Both play lists emptied, the codecs reset and channel 0 recording;
    // once kPlayDelay fields are in, channel 1 plays. False after saying why.
    bool Start()
    {
        if (buffer_ == nullptr) {
            std::fprintf(stderr, "no memory for the field buffer\n");
            return false;
        }
        // The codecs need the board set up (FPGA download and the set-up
        // after it), which a machine of the benchmark's own never had.
        if (!machine_.Client() && !machine_.SetUpBoard()) return false;
        if (!machine_.Control(IOCTL_ZAR_ACQUIRE_SCSI, "the bus acquisition")) return false;
        busHeld_ = true;
        for (uint32_t channel : {ZAR_JPEG_RECORD_CHANNEL, kPlayList}) {
            ZAR_CHANNEL_STATUS status{};
            status.Channel = channel;
            if (!machine_.Control(IOCTL_ZAR_PLY_RESET_PLAYLIST, "the play list reset", &status, sizeof status, &status,
                                  sizeof status))
                return false;
        }
        ZAR_JPEG_COMMAND reset{};
        reset.Command = ZAR_JPEG_CMD_RESET;
        reset.Channel = 2;
        ZAR_JPEG_COMMAND record{};
        record.Command = ZAR_JPEG_CMD_RECORD;
        record.Channel = 0;
        record.RateMode = 1;
        record.UpperSize[0] = record.UpperSize[1] = kUpperSize;
        record.End = ZAR_JPEG_NO_OUT_POINT;
        if (!Command(reset, "the codec reset")) return false;
        running_ = true;
        if (!Command(record, "the record")) return false;
        for (int field = 0; recorded_.size() < kPlayDelay; ++field) {
            if (field > 120) {
                int32_t state = 0;
                uint32_t droppedFields = 0;
                ChannelState(0, &state, &droppedFields);
                std::fprintf(stderr, "the record gave %zu fields in 120 (channel 0 in state %d, %u dropped)\n",
                             recorded_.size(), state, droppedFields);
                return false;
            }
            if (!machine_.NextField() || !Service()) return false;
        }
        ZAR_JPEG_COMMAND play{};
        play.Command = ZAR_JPEG_CMD_PLAY;
        play.Channel = 1;
        play.Start = 0;
        play.End = 0x7FFFFFFF;
        return Service() && Command(play, "the play");
    }

    // The library's share between two fields. False after saying why.
    bool Service()
    {
        const auto start = std::chrono::steady_clock::now();
        ZAR_CHANNEL_STATUS status{};
        if (!Query(ZAR_JPEG_RECORD_CHANNEL, &status)) return false;
        const uint32_t written = status.Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE];
        while (fetched_ != written) {
            ZAR_JPEG_FIELD_DESCRIPTOR& d = *Descriptor();
            std::memset(&d, 0, sizeof d);
            ZAR_NODE_COMMAND command{ZAR_JPEG_RECORD_CHANNEL, 0, Address(&d)};
            if (!machine_.Control(IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, "the descriptor fetch", nullptr, 0, &command,
                                  sizeof command))
                return false;
            ++fetched_;
            if (d.Dropped || d.Size == 0) {
                ++dropped;
                continue;
            }
            if (d.Size > kFieldBufferBlocks) {
                std::fprintf(stderr, "a field of %u blocks is larger than the buffer\n", d.Size);
                return false;
            }
            ZAR_DISK_REQUEST read = Transfer(ZAR_DISK_OP_SDRAM_READ, d.Size);
            read.AccessMode = d.Parity ? ZAR_DISK_ACCESS_102 : ZAR_DISK_ACCESS_101;
            read.SdramAddress = d.Address * ZAR_JPEG_BLOCK_BYTES;
            ZAR_DISK_REQUEST write = Transfer(ZAR_DISK_OP_SDRAM_WRITE, d.Size);
            write.AccessMode = ZAR_DISK_ACCESS_2;  // the play ring, wrapping inside it
            write.SdramAddress = playHead_ * ZAR_JPEG_BLOCK_BYTES;
            ZAR_JPEG_RELEASE_FIELD release{d.Parity, d.Size};
            if (!Disk(read, "the read from the record bank") || !Disk(write, "the write into the play ring") ||
                !machine_.Control(IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD, "the release", &release, sizeof release))
                return false;
            recorded_.push_back({{uint8_t(sizeof(ZAR_JPEG_PLAY_NODE)), 0, 0, 0, 0}, playHead_, d.Size});
            playHead_ = (playHead_ + d.Size) % ZAR_JPEG_RING_BLOCKS;
            blocks += d.Size;
            ++measured;
        }
        if (!Query(kPlayList, &status)) return false;
        const uint32_t queued = (status.Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE] - status.Queue[kQueueReadIndex] +
                                 ZAR_NODE_RING_ENTRIES) % ZAR_NODE_RING_ENTRIES;
        uint32_t count = 0;
        ZAR_JPEG_PLAY_NODE* nodes = Nodes();
        while (!recorded_.empty() && queued + count < kPlayDelay) {
            nodes[count] = recorded_.front();
            nodes[count].Head.Field = nextPosition_++;
            recorded_.pop_front();
            ++count;
        }
        if (count != 0) {
            ZAR_NODE_SUBMIT submit{kPlayList, count, Address(nodes)};
            if (!machine_.Control(IOCTL_ZAR_PLY_NODE_INSERT, "the node insert", &submit, sizeof submit)) return false;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return true;
    }

    // The state word and fields dropped of a video channel (0 or 1).
    bool ChannelState(uint32_t channel, int32_t* stateWord, uint32_t* droppedFields)
    {
        ZAR_CHANNEL_STATUS status{};
        if (!Query(channel, &status)) return false;
        ZAR_VIDEO_CHANNEL_STATE state;
        std::memcpy(&state, status.VideoState, sizeof state);
        *stateWord = state.StateWord;
        *droppedFields = state.DroppedFields;
        return true;
    }

    // Both channels stopped.
    void Stop()
    {
        running_ = false;
        for (uint32_t channel : {1u, 0u}) {
            ULONG word = channel;
            machine_.Control(IOCTL_ZAR_JPEG_PLAYLIST_STOP, "the stop", &word, sizeof word, &word, sizeof word);
        }
    }

    // The library's counts and host time since the last Clear.
    void Clear()
    {
        seconds = 0;
        dropped = measured = 0;
        blocks = 0;
    }
    double seconds = 0;
    uint32_t dropped = 0, measured = 0;
    uint64_t blocks = 0;

private:
    static constexpr int kQueueReadIndex = 1;  // the next node the channel considers, in the status's queue words
    static constexpr size_t kFieldBytes = size_t(kFieldBufferBlocks) * ZAR_JPEG_BLOCK_BYTES;
    static constexpr size_t kNodeBytes = sizeof(ZAR_JPEG_PLAY_NODE) * kPlayDelay;
    static constexpr size_t kBufferBytes = kFieldBytes + kNodeBytes + sizeof(ZAR_JPEG_FIELD_DESCRIPTOR);

    static uint32_t Address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }
    uint8_t* Field() const { return buffer_; }
    ZAR_JPEG_PLAY_NODE* Nodes() const { return reinterpret_cast<ZAR_JPEG_PLAY_NODE*>(buffer_ + kFieldBytes); }
    ZAR_JPEG_FIELD_DESCRIPTOR* Descriptor() const
    {
        return reinterpret_cast<ZAR_JPEG_FIELD_DESCRIPTOR*>(buffer_ + kFieldBytes + kNodeBytes);
    }

    ZAR_DISK_REQUEST Transfer(uint32_t operation, uint32_t fieldBlocks) const
    {
        ZAR_DISK_REQUEST r{};
        r.Operation = operation;
        r.BlockCount = fieldBlocks;
        r.UserBuffer = Address(Field());
        r.UserBufferLength = fieldBlocks * ZAR_JPEG_BLOCK_BYTES;
        return r;
    }
    bool Disk(ZAR_DISK_REQUEST& request, const char* what)
    {
        request.OwnsScsi = 1;
        // A board memory transfer runs no command: it leaves the status as
        // sent unless the copy failed.
        request.ScsiStatus = 0;
        if (!machine_.Control(IOCTL_ZAR_DISK_REQUEST, what, &request, sizeof request, &request, sizeof request))
            return false;
        if (request.ScsiStatus == 0) return true;
        std::fprintf(stderr, "%s failed: status 0x%02X\n", what, request.ScsiStatus);
        return false;
    }
    bool Command(ZAR_JPEG_COMMAND command, const char* what)
    {
        return machine_.Control(IOCTL_ZAR_JPEG_COMMAND, what, &command, sizeof command, &command, sizeof command);
    }
    bool Query(uint32_t channel, ZAR_CHANNEL_STATUS* status)
    {
        std::memset(status, 0, sizeof *status);
        status->Channel = channel;
        return machine_.Control(IOCTL_ZAR_JPEG_PLAYLIST_QUERY, "the channel query", status, sizeof *status, status,
                                sizeof *status);
    }

    BenchMachine& machine_;
    uint8_t* buffer_ = nullptr;
    bool busHeld_ = false;
    bool running_ = false;  // a channel may run until Stop
    uint32_t fetched_ = 0;
    uint32_t playHead_ = 0;
    uint32_t nextPosition_ = 0;
    std::deque<ZAR_JPEG_PLAY_NODE> recorded_;
};

// Runs 'fields' fields, the JPEG channels' library share done after each
// (none when 'jpeg' is null), and returns what they cost.
inline FieldsCost RunServedFields(BenchMachine& machine, uint64_t fields, BenchJpegChannels* jpeg, bool* ok)
{
    *ok = true;
    return MeasureFields([&] {
        for (uint64_t f = 0; f < fields && *ok; ++f) *ok = machine.NextField() && (jpeg == nullptr || jpeg->Service());
    });
}

// What a JPEG benchmark starts with: an idle field's cost over 'fields'
// fields (after 60 to warm up), then the channels started and run 60 fields.
// False after saying what failed.
inline bool MeasureIdleThenStart(BenchMachine& machine, BenchJpegChannels& jpeg, uint64_t fields,
                                 const char* benchmark, FieldsCost* idle)
{
    bool ok = true;
    RunServedFields(machine, 60, nullptr, &ok);
    *idle = RunServedFields(machine, fields, nullptr, &ok);
    if (!ok) return false;
    if (!jpeg.Start()) {
        std::fprintf(stderr, "%s: the JPEG channels did not start\n", benchmark);
        return false;
    }
    RunServedFields(machine, 60, &jpeg, &ok);
    return ok;
}
