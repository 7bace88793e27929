// A SCSI-2 direct-access target on the board's bus: one drive backed by a
// sparse image file, with the bus-side state machine the host adapter steps
// it through (message out, command, data, status, message in).
//
// What this unit assumes where the driver's side leaves the drive open:
// - 512-byte blocks, LUN 0 only. Sense data is fixed format (0x70, key at
//   2, additional length 10, ASC at 12, ASCQ at 13), held until the next
//   command. REQUEST SENSE reports, in this order: sense held from the last
//   command, a pending unit attention (which it clears), not ready, none.
// - Power-on and every bus reset leave a unit attention 06/29/00 pending
//   and the transfer agreement at asynchronous, narrow. INQUIRY and REQUEST
//   SENSE never report it; any other command does, once, as CHECK CONDITION.
// - Spin-up: with start=power-on the motor starts when the board powers on;
//   with start=command at START UNIT. Until ready, media commands end in
//   NOT READY 02/04/01 (spinning up) or 02/04/02 (stopped). START UNIT
//   without the immediate bit holds the command phase until ready (the
//   host adapter sees its interrupt late). A bus reset does not stop the
//   motor. INQUIRY, REQUEST SENSE, MODE SENSE/SELECT and START UNIT work
//   while not ready.
// - Negotiation replies: width = the smaller of the request and the drive's
//   widest; period = the larger of the request and the drive's shortest;
//   offset = the smaller of the request and the drive's largest. An answer
//   with offset 0 (asynchronous) carries the requested period.
//   A width agreement drops the synchronous one (SCSI-2).
// - MODE SENSE(6): 4-byte header, an 8-byte block descriptor unless DBD,
//   caching page 0x08 and informational-exceptions page 0x1C (12 bytes
//   each), or both for 0x3F; page control current, changeable, default,
//   saved. MODE SELECT(6) checks strictly: the header's mode data length
//   and the pages' PS bit are reserved and must be 0, the block length must
//   be 512, and only changeable bits may differ from the current values;
//   otherwise ILLEGAL REQUEST 05/26. Saved values last as long as the drive
//   object (the machine run); power-on loads them. RCD and WCE change no
//   behaviour: every write reaches the image at once.
// - A read or write that cannot reach the image, or that touches the
//   injected bad block, moves the blocks before it and ends in MEDIUM
//   ERROR: 03/11/00 for reads, 03/0C/00 for writes, with the block in the
//   information field.
// - Unknown opcodes: 05/20/00; a range past the last block: 05/21/00;
//   bad CDB fields: 05/24/00; other LUNs: 05/25/00 (INQUIRY answers them
//   with peripheral qualifier 3).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive_config.h"
#include "trace.h"

namespace sim {

namespace scsi {
// Bus phases as the MSG, C/D and I/O lines encode them; BusFree is this
// model's own value (no target holds the bus).
enum class Phase : uint8_t { DataOut = 0, DataIn = 1, Command = 2, Status = 3, BusFree = 4, MessageOut = 6, MessageIn = 7 };
const char* PhaseName(Phase phase);

inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;

inline constexpr uint8_t kMsgCommandComplete = 0x00;
inline constexpr uint8_t kMsgExtended = 0x01;
inline constexpr uint8_t kMsgAbort = 0x06;
inline constexpr uint8_t kMsgReject = 0x07;
inline constexpr uint8_t kMsgNop = 0x08;
inline constexpr uint8_t kMsgBusDeviceReset = 0x0C;
inline constexpr uint8_t kMsgIdentify = 0x80;
inline constexpr uint8_t kExtSdtr = 0x01;
inline constexpr uint8_t kExtWdtr = 0x03;

inline constexpr uint8_t kOpTestUnitReady = 0x00;
inline constexpr uint8_t kOpRequestSense = 0x03;
inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr uint8_t kOpModeSelect6 = 0x15;
inline constexpr uint8_t kOpModeSense6 = 0x1A;
inline constexpr uint8_t kOpStartStopUnit = 0x1B;
inline constexpr uint8_t kOpReadCapacity10 = 0x25;
inline constexpr uint8_t kOpRead10 = 0x28;
inline constexpr uint8_t kOpWrite10 = 0x2A;
inline constexpr uint8_t kOpSynchronizeCache10 = 0x35;

inline constexpr uint8_t kKeyNoSense = 0x0;
inline constexpr uint8_t kKeyNotReady = 0x2;
inline constexpr uint8_t kKeyMediumError = 0x3;
inline constexpr uint8_t kKeyIllegalRequest = 0x5;
inline constexpr uint8_t kKeyUnitAttention = 0x6;

// CDB length by group code (the top three bits of the opcode).
size_t CdbLength(uint8_t opcode);
}  // namespace scsi

// Faults a test can inject into a drive.
struct DriveFaults {
    bool stopsAnswering = false;    // ignores selection; drops the bus if connected
    int selectionTimeouts = 0;      // the next n selections go unanswered
    int hungDataPhases = 0;         // the next n data phases stop handshaking
    int64_t badBlock = -1;          // reads and writes touching it fail
    bool rejectsWidth = false;      // answers a width request with MESSAGE REJECT (a narrow-only drive)
    // The next n data phases keep the bus after their last byte and never
    // go on to status (a drive that expects more than it asked for).
    int endlessDataPhases = 0;
    // Bytes that still reach the image; beyond them writes end as usual but
    // are lost, as when the power goes mid-write (-1: no limit).
    int64_t writeBytesLeft = -1;
};

class ScsiDisk {
public:
    static constexpr uint32_t kBlockSize = 512;

    explicit ScsiDisk(DriveConfig config);
    ~ScsiDisk();
    ScsiDisk(const ScsiDisk&) = delete;
    ScsiDisk& operator=(const ScsiDisk&) = delete;

    // Opens (creating) the image. A drive whose image cannot be opened
    // still answers, and every media access ends in a medium error.
    bool Open(std::string* error);

    int Id() const { return config_.id; }
    const DriveConfig& Config() const { return config_; }
    uint64_t Blocks() const { return config_.blocks; }

    // --- Events outside a connection ---
    void PowerOn(uint64_t now);
    void BusReset();

    // --- Bus side, stepped by the host adapter ---
    // Selection: true when the drive answers and now holds the bus; with
    // ATN it waits in Message Out, else in Command.
    bool Select(bool atn);
    scsi::Phase GetPhase() const { return phase_; }
    bool Answering() const { return !faults_.stopsAnswering; }
    // The initiator left (controller reset): back to bus free, command dropped.
    void Abandon();

    // Message Out: the bytes of one transfer; 'atn' is still asserted after it.
    void MessageOut(const uint8_t* bytes, size_t count, bool atn);
    // Message In: the byte on the bus now, then the initiator's acceptance.
    uint8_t MessageInByte() const;
    void MessageAccepted(bool atn);

    // Command: returns the time (ns) the drive keeps the command phase
    // before it asks for the next one.
    uint64_t Command(const uint8_t* cdb, size_t length, uint64_t now);

    // Data: moves up to 'count' bytes; fewer means the drive changed phase.
    uint32_t DataIn(uint8_t* to, uint32_t count);
    uint32_t DataOut(const uint8_t* from, uint32_t count);
    // True once for each hung data phase injected.
    bool TakeHungDataPhase();

    // Status phase: the status byte; the drive moves on to Message In.
    uint8_t TakeStatus();

    // --- Agreement, as the drive holds it ---
    bool NegotiatedWide() const { return wide_; }
    uint8_t NegotiatedPeriod() const { return period_; }
    uint8_t NegotiatedOffset() const { return offset_; }
    bool UnitAttentionPending() const { return unitAttention_; }
    bool Ready(uint64_t now) const;

    DriveFaults& Faults() { return faults_; }
    Trace& GetTrace() { return trace_; }

private:
    struct ModePages {
        uint8_t caching[12];
        uint8_t exceptions[12];
    };
    enum class Data { None, Buffer, Read, Write, ModeSelect };

    void SetPhase(scsi::Phase phase);
    void EnterDataPhase(scsi::Phase phase);
    void SetSense(uint8_t key, uint8_t asc, uint8_t ascq, int64_t info = -1);
    void Finish(uint8_t status);             // to the status phase
    void CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq, int64_t info = -1)
    {
        SetSense(key, asc, ascq, info);
        Finish(scsi::kStatusCheckCondition);
    }
    void Reply(std::vector<uint8_t> bytes, size_t allocation);  // to data in
    void AfterMessages(bool atn);
    bool NotReadyCheck(uint64_t now);

    void CmdInquiry(const uint8_t* cdb);
    void CmdRequestSense(const uint8_t* cdb, uint64_t now);
    void CmdTestUnitReady();
    uint64_t CmdStartStopUnit(const uint8_t* cdb, uint64_t now);
    void CmdReadCapacity(const uint8_t* cdb);
    void CmdModeSense(const uint8_t* cdb);
    void CmdModeSelect(const uint8_t* cdb);
    void CmdReadWrite(const uint8_t* cdb, bool write);
    void EndModeSelect();
    const ModePages& PagesFor(int control) const;

    DriveConfig config_;
    int fd_ = -1;
    Trace trace_;
    DriveFaults faults_;

    // Power and readiness.
    bool motorOn_ = false;
    uint64_t readyAt_ = 0;
    bool unitAttention_ = true;

    // Transfer agreement.
    bool wide_ = false;
    uint8_t period_ = 0;
    uint8_t offset_ = 0;

    // Mode pages.
    ModePages current_{}, saved_{}, defaults_{}, changeable_{};

    // The connection.
    scsi::Phase phase_ = scsi::Phase::BusFree;
    int lun_ = 0;
    bool haveCommand_ = false;
    std::vector<uint8_t> messageIn_;
    size_t messageInPos_ = 0;
    uint8_t status_ = 0;
    Data data_ = Data::None;
    std::vector<uint8_t> buffer_;            // reply, or MODE SELECT parameters
    uint64_t dataPos_ = 0, dataLength_ = 0;  // bytes
    uint64_t firstBlock_ = 0;
    bool endless_ = false;                   // this data phase never ends (injected)
    bool savePages_ = false;                 // MODE SELECT's SP bit

    // Sense held for REQUEST SENSE.
    uint8_t sense_[18]{};
    bool senseHeld_ = false;
};

}  // namespace sim
