#include "board.h"

#include <string>

namespace sim {

namespace {

BridgeIds IdsOf(const BoardOptions& o)
{
    BridgeIds ids;
    ids.subsystemVendor = o.subsystemVendor;
    ids.subsystemId = o.subsystemId;
    ids.revision = o.revision;
    ids.latencyTimer = o.latencyTimer;
    return ids;
}

}  // namespace

Board::Board(BoardOptions options)
    : options_(options), bridge_(IdsOf(options)), regs_(bridge_), debi_(bridge_, regs_, sdram_), gpio_(bridge_),
      clock_(bridge_, options.standard)
{
    bridge_.SetIdentity(this);
    ConnectBoardUnits();
    ConnectDrives();
    clock_.AddFieldListener([this](uint64_t field, int parity) {
        int decoded = 0;
        if (jpeg_.Decodes(0, &decoded)) effects_.BeforePlayedChanges(decoded);
        jpeg_.OnField(field, parity);
    });
    clock_.AddFieldListener([this](uint64_t field, int parity) {
        effects_.OnField(field, parity, videoOut_.Field(0, parity), videoOut_.FieldsShown(0) > 0,
                         videoFeed_.HoldField(field));
    });
    brs_.SetSink([this](const uint8_t* data, uint32_t bytes, uint32_t line) { effects_.OnBrsLine(data, bytes, line); });
    clock_.AddFieldListener([this](uint64_t field, int parity) { timecode_.OnField(field, parity); });
    clock_.AddFieldListener([this](uint64_t field, int parity) { capture_.OnField(field, parity); });
    clock_.AddFieldListener([this](uint64_t field, int) { frameStore_.OnField(field); });
    videoOut_.SetKeyer([this](int parity, VideoField& field) { timecode_.KeyBurnIn(parity, field); });
}

void Board::ConnectBoardUnits()
{
    EepromContents contents = options_.eeprom;
    contents.boardRevision = uint8_t(options_.boardRevision);
    eeprom_.SetContents(options_.eepromBlank ? BlankEepromImage() : MakeEepromImage(contents));
    std::string problem;
    if (!options_.eepromPath.empty()) {
        if (!eeprom_.UseFile(options_.eepromPath, &problem))
            unreadable_.push_back(problem);
        else if (!problem.empty())
            notes_.push_back(problem);
    }
    decoder_.SetInput(options_.videoInput, options_.videoInputStandard ? options_.videoInputStandard : options_.standard);
    i2c_.Connect(i2c::kEepromAddress, &eeprom_);
    i2c_.Connect(i2c::kDecoderAddress, &decoder_);
    i2c_.Connect(i2c::kEncoder0Address, &encoder0_);
    i2c_.Connect(i2c::kEncoder1Address, &encoder1_);
    fpgas_.SetConfig({options_.boardRevision, options_.standard, options_.dvePresent});
    gpio_.Watch(0, [this](int, bool level) { fpgas_.SetProgramLine(level); });
    fpgas_.OnProgramPulse([this] { jpeg_.PowerOn(); });
}

void Board::ConnectDrives()
{
    for (const DriveConfig& config : options_.drives) {
        auto drive = std::make_unique<ScsiDisk>(config);
        std::string error;
        // A drive without its image would answer every access with a
        // medium error: it is left off the bus, so a scan finds it absent.
        if (!drive->Open(&error)) {
            drivesLeftOff_.push_back("SCSI id " + std::to_string(config.id) + " not attached: " + error);
            continue;
        }
        esp_.AttachTarget(drive.get());
        drives_.push_back(std::move(drive));
    }
}

void Board::ConfigRead(uint32_t offset, void* data, uint32_t length) { bridge_.ConfigRead(offset, data, length); }
void Board::ConfigWrite(uint32_t offset, const void* data, uint32_t length) { bridge_.ConfigWrite(offset, data, length); }
uint32_t Board::MmioRead(int bar, uint32_t offset, int size) { return bridge_.MmioRead(bar, offset, size); }
void Board::MmioWrite(int bar, uint32_t offset, uint32_t value, int size) { bridge_.MmioWrite(bar, offset, value, size); }

void Board::Attach(hw::Host* host)
{
    host_ = host;
    bridge_.Attach(host);
    audio_.Attach(host);
    timecode_.Attach(host);
}

void Board::Reset()
{
    std::lock_guard lock(bridge_.Lock());
    bridge_.Reset();
    regs_.Reset();
    debi_.Reset();
    gpio_.Reset();
    i2c_.Reset();
    eeprom_.Reset();
    decoder_.Reset();
    encoder0_.Reset();
    encoder1_.Reset();
    fpgas_.Reset();
    jpeg_.PowerOn();
    brs_.Reset();
    effects_.Reset();
    esp_.Reset();
    audio_.Reset();
    timecode_.Reset();
    capture_.Reset();
    frameStore_.Reset();
    clock_.PowerOn(host_);
}

void Board::PowerOff()
{
    std::lock_guard lock(bridge_.Lock());
    clock_.PowerOff();
    timecode_.PowerOff();
}

void Board::SetTraceEnabled(bool on)
{
    bridge_.GetTrace().Enable(on);
    regs_.GetTrace().Enable(on);
    debi_.GetTrace().Enable(on);
    gpio_.GetTrace().Enable(on);
    for (Trace* t : {&i2c_.GetTrace(), &eeprom_.GetTrace(), &decoder_.GetTrace(), &encoder0_.GetTrace(),
                     &encoder1_.GetTrace(), &fpgas_.GetTrace(), &jpeg_.GetTrace(), &jpeg_.Codec(0).GetTrace(),
                     &jpeg_.Codec(1).GetTrace(), &brs_.GetTrace(), &effects_.GetTrace(),
                     &audio_.GetTrace(),
                     &timecode_.GetTrace(), &capture_.GetTrace(), &frameStore_.GetTrace()})
        t->Enable(on);
    esp_.SetTraceEnabled(on);
    clock_.GetTrace().Enable(on);
}

void Board::SetTraceSink(Trace::Sink sink)
{
    bridge_.GetTrace().SetSink(sink);
    regs_.GetTrace().SetSink(sink);
    debi_.GetTrace().SetSink(sink);
    gpio_.GetTrace().SetSink(sink);
    for (Trace* t : {&i2c_.GetTrace(), &eeprom_.GetTrace(), &decoder_.GetTrace(), &encoder0_.GetTrace(),
                     &encoder1_.GetTrace(), &fpgas_.GetTrace(), &jpeg_.GetTrace(), &jpeg_.Codec(0).GetTrace(),
                     &jpeg_.Codec(1).GetTrace(), &brs_.GetTrace(), &effects_.GetTrace(),
                     &audio_.GetTrace(),
                     &timecode_.GetTrace(), &capture_.GetTrace(), &frameStore_.GetTrace()})
        t->SetSink(sink);
    esp_.SetTraceSink(sink);
    clock_.GetTrace().SetSink(sink);
}

}  // namespace sim
