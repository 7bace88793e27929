#include "scsi_disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

namespace scsi {

const char* PhaseName(Phase phase)
{
    switch (phase) {
    case Phase::DataOut: return "data out";
    case Phase::DataIn: return "data in";
    case Phase::Command: return "command";
    case Phase::Status: return "status";
    case Phase::BusFree: return "bus free";
    case Phase::MessageOut: return "message out";
    case Phase::MessageIn: return "message in";
    }
    return "?";
}

size_t CdbLength(uint8_t opcode)
{
    switch (opcode >> 5) {
    case 0: return 6;
    case 1: case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 6;  // vendor groups: the drive rejects them anyway
    }
}

}  // namespace scsi

using scsi::Phase;

namespace {

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void PutText(std::vector<uint8_t>& out, size_t at, size_t width, const std::string& text)
{
    for (size_t i = 0; i < width; ++i) out[at + i] = i < text.size() ? uint8_t(text[i]) : ' ';
}

constexpr uint8_t kPageCaching = 0x08;
constexpr uint8_t kPageExceptions = 0x1C;
constexpr uint8_t kPageAll = 0x3F;
constexpr uint8_t kPageSavable = 0x80;
constexpr uint8_t kPageLength = 10;
constexpr uint8_t kRcd = 0x01, kWce = 0x04, kDexcpt = 0x08;

}  // namespace

ScsiDisk::ScsiDisk(DriveConfig config) : config_(std::move(config)), trace_("scsi-disk-" + std::to_string(config_.id))
{
    auto page = [](uint8_t* p, uint8_t code, uint8_t byte2) {
        std::memset(p, 0, 12);
        p[0] = uint8_t(code | kPageSavable);
        p[1] = kPageLength;
        p[2] = byte2;
    };
    page(defaults_.caching, kPageCaching, uint8_t((config_.rcd ? kRcd : 0) | (config_.wce ? kWce : 0)));
    page(defaults_.exceptions, kPageExceptions, config_.dexcpt ? kDexcpt : 0);
    page(changeable_.caching, kPageCaching,
         uint8_t((config_.rcdChangeable ? kRcd : 0) | (config_.wceChangeable ? kWce : 0)));
    page(changeable_.exceptions, kPageExceptions, config_.dexcptChangeable ? kDexcpt : 0);
    saved_ = current_ = defaults_;
}

ScsiDisk::~ScsiDisk()
{
    if (fd_ >= 0) ::close(fd_);
}

bool ScsiDisk::Open(std::string* error)
{
    if (fd_ >= 0) return true;
    fd_ = OpenDriveImage(config_, error);
    return fd_ >= 0;
}

// --- Power, reset, readiness ---

void ScsiDisk::PowerOn(uint64_t now)
{
    BusReset();
    current_ = saved_;
    senseHeld_ = false;
    motorOn_ = config_.startAtPowerOn;
    readyAt_ = now + config_.spinUpNs;
    trace_("power on: %s, ready at %llu ns", motorOn_ ? "spinning up" : "stopped", (unsigned long long)readyAt_);
}

void ScsiDisk::BusReset()
{
    Abandon();
    unitAttention_ = true;
    wide_ = false;
    period_ = 0;
    offset_ = 0;
    trace_("reset: asynchronous, narrow, unit attention pending");
}

bool ScsiDisk::Ready(uint64_t now) const { return motorOn_ && now >= readyAt_; }

bool ScsiDisk::NotReadyCheck(uint64_t now)
{
    if (Ready(now)) return false;
    CheckCondition(scsi::kKeyNotReady, 0x04, motorOn_ ? 0x01 : 0x02);
    return true;
}

// --- Connection ---

void ScsiDisk::SetPhase(Phase phase)
{
    if (phase == phase_) return;
    trace_("phase %s -> %s", scsi::PhaseName(phase_), scsi::PhaseName(phase));
    phase_ = phase;
}

bool ScsiDisk::Select(bool atn)
{
    if (faults_.stopsAnswering) {
        trace_("selection ignored: not answering");
        return false;
    }
    if (faults_.selectionTimeouts > 0) {
        --faults_.selectionTimeouts;
        trace_("selection ignored (injected time-out)");
        return false;
    }
    Abandon();
    SetPhase(atn ? Phase::MessageOut : Phase::Command);
    return true;
}

void ScsiDisk::Abandon()
{
    SetPhase(Phase::BusFree);
    lun_ = 0;
    haveCommand_ = false;
    messageIn_.clear();
    messageInPos_ = 0;
    data_ = Data::None;
    buffer_.clear();
    dataPos_ = dataLength_ = 0;
    endless_ = false;
}

void ScsiDisk::MessageOut(const uint8_t* bytes, size_t count, bool atn)
{
    size_t i = 0;
    while (i < count) {
        uint8_t b = bytes[i];
        if (b & scsi::kMsgIdentify) {
            lun_ = b & 0x07;
            trace_("identify, LUN %d", lun_);
            ++i;
            continue;
        }
        switch (b) {
        case scsi::kMsgExtended: {
            size_t length = i + 1 < count ? bytes[i + 1] : 0;
            if (length == 0 || i + 2 + length > count) {
                trace_("incomplete extended message: rejected");
                messageIn_ = {scsi::kMsgReject};
                i = count;
                break;
            }
            uint8_t code = bytes[i + 2];
            if (code == scsi::kExtWdtr && length == 2 && faults_.rejectsWidth) {
                trace_("width request rejected (injected)");
                messageIn_ = {scsi::kMsgReject};
            } else if (code == scsi::kExtWdtr && length == 2) {
                uint8_t asked = bytes[i + 3];
                uint8_t answer = std::min<uint8_t>(asked, config_.wide ? 1 : 0);
                wide_ = answer == 1;
                period_ = offset_ = 0;  // a width agreement resets the synchronous one
                messageIn_ = {scsi::kMsgExtended, 2, scsi::kExtWdtr, answer};
                trace_("width request %u, answer %u", asked, answer);
            } else if (code == scsi::kExtSdtr && length == 3) {
                uint8_t period = bytes[i + 3], offset = bytes[i + 4];
                uint8_t answerOffset = std::min(offset, config_.maxOffset);
                uint8_t answerPeriod = answerOffset == 0 ? period : std::max(period, config_.minPeriod);
                period_ = answerPeriod;
                offset_ = answerOffset;
                messageIn_ = {scsi::kMsgExtended, 3, scsi::kExtSdtr, answerPeriod, answerOffset};
                trace_("synchronous request %u/%u, answer %u/%u", period, offset, answerPeriod, answerOffset);
            } else {
                trace_("extended message 0x%02x rejected", code);
                messageIn_ = {scsi::kMsgReject};
            }
            i += 2 + length;
            break;
        }
        case scsi::kMsgAbort:
            trace_("abort");
            Abandon();
            return;
        case scsi::kMsgBusDeviceReset:
            trace_("bus device reset");
            BusReset();
            return;
        case scsi::kMsgNop:
        case scsi::kMsgReject:
            ++i;
            break;
        default:
            trace_("message 0x%02x rejected", b);
            messageIn_ = {scsi::kMsgReject};
            ++i;
            break;
        }
    }
    messageInPos_ = 0;
    AfterMessages(atn);
}

void ScsiDisk::AfterMessages(bool atn)
{
    if (messageInPos_ < messageIn_.size()) SetPhase(Phase::MessageIn);
    else if (atn) SetPhase(Phase::MessageOut);
    else SetPhase(Phase::Command);
}

uint8_t ScsiDisk::MessageInByte() const
{
    return messageInPos_ < messageIn_.size() ? messageIn_[messageInPos_] : scsi::kMsgNop;
}

void ScsiDisk::MessageAccepted(bool atn)
{
    if (phase_ != Phase::MessageIn) return;
    if (++messageInPos_ < messageIn_.size()) return;
    if (haveCommand_) {  // command complete accepted: the drive lets the bus go
        Abandon();
        return;
    }
    messageIn_.clear();
    messageInPos_ = 0;
    AfterMessages(atn);
}

// --- Command ---

void ScsiDisk::SetSense(uint8_t key, uint8_t asc, uint8_t ascq, int64_t info)
{
    std::memset(sense_, 0, sizeof sense_);
    sense_[0] = 0x70;
    if (info >= 0) {
        sense_[0] |= 0x80;  // information field valid
        PutBe32(sense_ + 3, uint32_t(info));
    }
    sense_[2] = key;
    sense_[7] = 10;
    sense_[12] = asc;
    sense_[13] = ascq;
    senseHeld_ = true;
    trace_("sense %02x/%02x/%02x", key, asc, ascq);
}

void ScsiDisk::Finish(uint8_t status)
{
    status_ = status;
    data_ = Data::None;
    SetPhase(Phase::Status);
}

void ScsiDisk::Reply(std::vector<uint8_t> bytes, size_t allocation)
{
    status_ = scsi::kStatusGood;
    size_t length = std::min(bytes.size(), allocation);
    if (length == 0) {
        Finish(scsi::kStatusGood);
        return;
    }
    bytes.resize(length);
    buffer_ = std::move(bytes);
    data_ = Data::Buffer;
    dataPos_ = 0;
    dataLength_ = length;
    EnterDataPhase(Phase::DataIn);
}

uint64_t ScsiDisk::Command(const uint8_t* cdb, size_t length, uint64_t now)
{
    haveCommand_ = true;
    status_ = scsi::kStatusGood;  // a data phase that ends without fault finishes with it
    uint8_t op = cdb[0];
    trace_("command 0x%02x (%zu bytes)", op, length);
    if (length < scsi::CdbLength(op)) {
        CheckCondition(scsi::kKeyIllegalRequest, 0x24, 0);
        return 0;
    }
    // Sense describes the last command only; REQUEST SENSE is how it is read.
    if (op != scsi::kOpRequestSense) senseHeld_ = false;
    if (lun_ != 0 && op != scsi::kOpInquiry && op != scsi::kOpRequestSense) {
        CheckCondition(scsi::kKeyIllegalRequest, 0x25, 0);
        return 0;
    }
    if (unitAttention_ && op != scsi::kOpInquiry && op != scsi::kOpRequestSense) {
        unitAttention_ = false;
        CheckCondition(scsi::kKeyUnitAttention, 0x29, 0);
        return 0;
    }
    switch (op) {
    case scsi::kOpTestUnitReady:
        if (!NotReadyCheck(now)) CmdTestUnitReady();
        return 0;
    case scsi::kOpRequestSense: CmdRequestSense(cdb, now); return 0;
    case scsi::kOpInquiry: CmdInquiry(cdb); return 0;
    case scsi::kOpModeSelect6: CmdModeSelect(cdb); return 0;
    case scsi::kOpModeSense6: CmdModeSense(cdb); return 0;
    case scsi::kOpStartStopUnit: return CmdStartStopUnit(cdb, now);
    case scsi::kOpReadCapacity10:
        if (!NotReadyCheck(now)) CmdReadCapacity(cdb);
        return 0;
    case scsi::kOpRead10:
    case scsi::kOpWrite10:
        if (!NotReadyCheck(now)) CmdReadWrite(cdb, op == scsi::kOpWrite10);
        return 0;
    case scsi::kOpSynchronizeCache10:
        if (!NotReadyCheck(now)) Finish(scsi::kStatusGood);
        return 0;
    default:
        CheckCondition(scsi::kKeyIllegalRequest, 0x20, 0);
        return 0;
    }
}

void ScsiDisk::CmdTestUnitReady()
{
    // Readiness was the caller's to check; reaching here means ready.
    Finish(scsi::kStatusGood);
}

void ScsiDisk::CmdInquiry(const uint8_t* cdb)
{
    if ((cdb[1] & 0x01) || cdb[2] != 0) {  // no vital product data pages
        CheckCondition(scsi::kKeyIllegalRequest, 0x24, 0);
        return;
    }
    std::vector<uint8_t> d(96, 0);
    d[0] = lun_ == 0 ? 0x00 : 0x7F;  // direct access; other LUNs: not supported
    d[2] = 0x02;                     // SCSI-2
    d[3] = 0x02;                     // response data format
    d[4] = uint8_t(d.size() - 5);
    d[7] = uint8_t((config_.wide ? 0x20 : 0) | (config_.maxOffset ? 0x10 : 0));
    PutText(d, 8, 8, config_.vendor);
    PutText(d, 16, 16, config_.product);
    PutText(d, 32, 4, config_.revision);
    PutText(d, 36, 20, config_.serial);
    Reply(std::move(d), cdb[4]);
}

void ScsiDisk::CmdRequestSense(const uint8_t* cdb, uint64_t now)
{
    if (!senseHeld_) {
        if (lun_ != 0) SetSense(scsi::kKeyIllegalRequest, 0x25, 0);
        else if (unitAttention_) {
            unitAttention_ = false;
            SetSense(scsi::kKeyUnitAttention, 0x29, 0);
        } else if (!Ready(now)) SetSense(scsi::kKeyNotReady, 0x04, motorOn_ ? 0x01 : 0x02);
        else SetSense(scsi::kKeyNoSense, 0, 0);
    }
    senseHeld_ = false;
    size_t allocation = cdb[4] == 0 ? 4 : cdb[4];  // SCSI-2: 0 asks for 4 bytes
    Reply(std::vector<uint8_t>(sense_, sense_ + sizeof sense_), allocation);
}

uint64_t ScsiDisk::CmdStartStopUnit(const uint8_t* cdb, uint64_t now)
{
    bool immediate = cdb[1] & 0x01;
    bool start = cdb[4] & 0x01;
    uint64_t hold = 0;
    if (!start) {
        motorOn_ = false;
        trace_("motor stopped");
    } else {
        if (!motorOn_) {
            motorOn_ = true;
            readyAt_ = now + config_.spinUpNs;
            trace_("motor started, ready at %llu ns", (unsigned long long)readyAt_);
        }
        if (!immediate && readyAt_ > now) hold = readyAt_ - now;
    }
    Finish(scsi::kStatusGood);
    return hold;
}

void ScsiDisk::CmdReadCapacity(const uint8_t*)
{
    std::vector<uint8_t> d(8, 0);
    uint64_t last = config_.blocks - 1;
    PutBe32(&d[0], last > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(last));
    PutBe32(&d[4], kBlockSize);
    Reply(std::move(d), d.size());
}

const ScsiDisk::ModePages& ScsiDisk::PagesFor(int control) const
{
    switch (control) {
    case 1: return changeable_;
    case 2: return defaults_;
    case 3: return saved_;
    default: return current_;
    }
}

void ScsiDisk::CmdModeSense(const uint8_t* cdb)
{
    bool noDescriptor = cdb[1] & 0x08;
    int control = cdb[2] >> 6;
    uint8_t page = cdb[2] & 0x3F;
    if (page != kPageCaching && page != kPageExceptions && page != kPageAll) {
        CheckCondition(scsi::kKeyIllegalRequest, 0x24, 0);
        return;
    }
    const ModePages& pages = PagesFor(control);
    std::vector<uint8_t> d(4, 0);
    d[3] = noDescriptor ? 0 : 8;
    if (!noDescriptor) {
        uint64_t blocks = std::min<uint64_t>(config_.blocks, 0xFFFFFF);
        uint8_t descriptor[8] = {0, uint8_t(blocks >> 16), uint8_t(blocks >> 8), uint8_t(blocks), 0, 0, 0x02, 0x00};
        d.insert(d.end(), descriptor, descriptor + 8);
    }
    if (page == kPageCaching || page == kPageAll) d.insert(d.end(), pages.caching, pages.caching + 12);
    if (page == kPageExceptions || page == kPageAll) d.insert(d.end(), pages.exceptions, pages.exceptions + 12);
    d[0] = uint8_t(d.size() - 1);
    Reply(std::move(d), cdb[4]);
}

void ScsiDisk::CmdModeSelect(const uint8_t* cdb)
{
    if (!(cdb[1] & 0x10)) {  // only the standard page format
        CheckCondition(scsi::kKeyIllegalRequest, 0x24, 0);
        return;
    }
    uint8_t length = cdb[4];
    if (length == 0) {
        Finish(scsi::kStatusGood);
        return;
    }
    data_ = Data::ModeSelect;
    buffer_.assign(length, 0);
    dataPos_ = 0;
    dataLength_ = length;
    savePages_ = cdb[1] & 0x01;
    EnterDataPhase(Phase::DataOut);
}

void ScsiDisk::EndModeSelect()
{
    bool save = savePages_;
    const std::vector<uint8_t>& p = buffer_;
    size_t length = p.size();
    auto listError = [&] { CheckCondition(scsi::kKeyIllegalRequest, 0x1A, 0); };
    auto fieldError = [&] { CheckCondition(scsi::kKeyIllegalRequest, 0x26, 0); };
    if (length < 4) return listError();
    if (p[0] != 0) return fieldError();  // mode data length is reserved here
    size_t descriptor = p[3];
    if (descriptor != 0 && descriptor != 8) return fieldError();
    if (4 + descriptor > length) return listError();
    if (descriptor == 8 && (uint32_t(p[9]) << 16 | uint32_t(p[10]) << 8 | p[11]) != kBlockSize) return fieldError();

    ModePages next = current_;
    bool cachingSent = false, exceptionsSent = false;
    for (size_t at = 4 + descriptor; at < length;) {
        if (at + 2 > length) return listError();
        if (p[at] & kPageSavable) return fieldError();  // PS is reserved in MODE SELECT
        uint8_t code = p[at] & 0x3F;
        uint8_t pageLength = p[at + 1];
        if (at + 2 + pageLength > length) return listError();
        uint8_t* target = code == kPageCaching ? next.caching : code == kPageExceptions ? next.exceptions : nullptr;
        const uint8_t* mask = code == kPageCaching ? changeable_.caching : changeable_.exceptions;
        const uint8_t* now = code == kPageCaching ? current_.caching : current_.exceptions;
        if (!target || pageLength != kPageLength) return fieldError();
        for (size_t k = 2; k < 12; ++k)
            if ((p[at + k] ^ now[k]) & ~mask[k]) return fieldError();
        for (size_t k = 2; k < 12; ++k) target[k] = p[at + k];
        (code == kPageCaching ? cachingSent : exceptionsSent) = true;
        at += 2 + pageLength;
    }
    current_ = next;
    if (save && cachingSent) std::memcpy(saved_.caching, next.caching, sizeof next.caching);
    if (save && exceptionsSent) std::memcpy(saved_.exceptions, next.exceptions, sizeof next.exceptions);
    trace_("mode select: caching 0x%02x, exceptions 0x%02x%s", current_.caching[2], current_.exceptions[2],
           save ? ", saved" : "");
    Finish(scsi::kStatusGood);
}

void ScsiDisk::CmdReadWrite(const uint8_t* cdb, bool write)
{
    uint64_t lba = Be32(cdb + 2);
    uint32_t count = Be16(cdb + 7);
    if (lba + count > config_.blocks || (count == 0 && lba >= config_.blocks)) {
        CheckCondition(scsi::kKeyIllegalRequest, 0x21, 0);
        return;
    }
    if (count == 0) {
        Finish(scsi::kStatusGood);
        return;
    }
    data_ = write ? Data::Write : Data::Read;
    firstBlock_ = lba;
    dataPos_ = 0;
    dataLength_ = uint64_t(count) * kBlockSize;
    trace_("%s %u blocks at %llu", write ? "write" : "read", count, (unsigned long long)lba);
    EnterDataPhase(write ? Phase::DataOut : Phase::DataIn);
}

// --- Data ---

// Called as a data phase begins: whether the injected fault keeps this one
// from ever reaching the status phase.
void ScsiDisk::EnterDataPhase(Phase phase)
{
    endless_ = faults_.endlessDataPhases > 0;
    if (endless_) {
        --faults_.endlessDataPhases;
        trace_("this data phase will not end (injected)");
    }
    SetPhase(phase);
}

bool ScsiDisk::TakeHungDataPhase()
{
    if (faults_.hungDataPhases <= 0) return false;
    --faults_.hungDataPhases;
    trace_("data phase hangs (injected)");
    return true;
}

uint32_t ScsiDisk::DataIn(uint8_t* to, uint32_t count)
{
    if (phase_ != Phase::DataIn) return 0;
    uint32_t n = uint32_t(std::min<uint64_t>(count, dataLength_ - dataPos_));
    uint32_t moved = 0;
    int64_t failedBlock = -1;
    if (data_ == Data::Buffer) {
        std::memcpy(to, buffer_.data() + dataPos_, n);
        moved = n;
    } else {
        uint64_t offset = firstBlock_ * kBlockSize + dataPos_;
        uint64_t want = n;
        if (faults_.badBlock >= 0 && uint64_t(faults_.badBlock) * kBlockSize < offset + n &&
            uint64_t(faults_.badBlock + 1) * kBlockSize > offset) {
            want = uint64_t(faults_.badBlock) * kBlockSize > offset ? uint64_t(faults_.badBlock) * kBlockSize - offset : 0;
            failedBlock = faults_.badBlock;
        }
        while (moved < want && fd_ >= 0) {
            ssize_t r = ::pread64(fd_, to + moved, size_t(want - moved), off64_t(offset + moved));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) break;
            if (r == 0) {  // the image was cut short behind our back: holes read as zeros
                std::memset(to + moved, 0, size_t(want - moved));
                moved = uint32_t(want);
                break;
            }
            moved += uint32_t(r);
        }
        if (moved < want) failedBlock = int64_t((offset + moved) / kBlockSize);
    }
    dataPos_ += moved;
    if (failedBlock >= 0) CheckCondition(scsi::kKeyMediumError, 0x11, 0, failedBlock);
    else if (dataPos_ == dataLength_ && !endless_) Finish(status_);
    return moved;
}

uint32_t ScsiDisk::DataOut(const uint8_t* from, uint32_t count)
{
    if (phase_ != Phase::DataOut) return 0;
    uint32_t n = uint32_t(std::min<uint64_t>(count, dataLength_ - dataPos_));
    uint32_t moved = 0;
    int64_t failedBlock = -1;
    if (data_ == Data::ModeSelect) {
        std::memcpy(buffer_.data() + dataPos_, from, n);
        moved = n;
    } else {
        uint64_t offset = firstBlock_ * kBlockSize + dataPos_;
        uint64_t want = n;
        if (faults_.badBlock >= 0 && uint64_t(faults_.badBlock) * kBlockSize < offset + n &&
            uint64_t(faults_.badBlock + 1) * kBlockSize > offset) {
            want = uint64_t(faults_.badBlock) * kBlockSize > offset ? uint64_t(faults_.badBlock) * kBlockSize - offset : 0;
            failedBlock = faults_.badBlock;
        }
        uint64_t kept = want;
        if (faults_.writeBytesLeft >= 0) {
            kept = std::min<uint64_t>(want, uint64_t(faults_.writeBytesLeft));
            faults_.writeBytesLeft -= int64_t(kept);
        }
        while (moved < kept && fd_ >= 0) {
            ssize_t r = ::pwrite64(fd_, from + moved, size_t(kept - moved), off64_t(offset + moved));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            moved += uint32_t(r);
        }
        if (moved < kept) failedBlock = int64_t((offset + moved) / kBlockSize);
        else moved = uint32_t(want);  // the rest went nowhere
    }
    dataPos_ += moved;
    if (failedBlock >= 0) CheckCondition(scsi::kKeyMediumError, 0x0C, 0, failedBlock);
    else if (dataPos_ == dataLength_ && !endless_) {
        if (data_ == Data::ModeSelect) EndModeSelect();
        else Finish(scsi::kStatusGood);
    }
    return moved;
}

uint8_t ScsiDisk::TakeStatus()
{
    uint8_t status = status_;
    messageIn_ = {scsi::kMsgCommandComplete};
    messageInPos_ = 0;
    trace_("status 0x%02x", status);
    SetPhase(Phase::MessageIn);
    return status;
}

}  // namespace sim
