// One Solvane board as the machine's PCI bus sees it: the bridge function
// with the units behind it (field clock, the DEBI engine and SDRAM window,
// GPIO, the board's register file and SDRAM). The board is the PCI function
// that is plugged; the bridge answers configuration and register accesses
// for it.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - The machine's power-on reset (Reset) powers the board: the bridge and the
//   register file return to their power-on state and the field clock starts
//   counting from that moment. PowerOff stops the fields.
// - A board with foreign subsystem ids still carries every unit (it is what
//   a board with an unprogrammed identity looks like); only its ids differ.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio.h"
#include "board_regs.h"
#include "brs_dma.h"
#include "capture_dma.h"
#include "debi.h"
#include "eeprom.h"
#include "effects.h"
#include "esp.h"
#include "field_clock.h"
#include "fpga.h"
#include "gpio.h"
#include "i2c.h"
#include "jpeg_codec.h"
#include "saa7146.h"
#include "scsi_disk.h"
#include "sdram.h"
#include "input_framestore.h"
#include "timecode_chip.h"
#include "video_chips.h"

namespace sim {

struct BoardOptions {
    int standard = 525;                 // 525 or 625
    uint16_t subsystemVendor = 0x5A52;
    uint16_t subsystemId = 0x0202;      // 0x0202 or 0x0203 for the board
    uint8_t revision = 0x01;            // bridge revision
    uint8_t latencyTimer = 64;          // as the BIOS leaves it

    // The board behind the bridge: its revision (2 or 3; the FPGA images it
    // takes, and byte 41 of its factory EEPROM) and the optional DVE module.
    int boardRevision = 3;
    bool dvePresent = false;
    // The EEPROM: the file that keeps it (a machine folder's; empty: memory
    // only). A missing file starts from the factory image and is created at
    // the first write. eepromBlank puts an erased part in instead.
    std::string eepromPath;
    bool eepromBlank = false;
    EepromContents eeprom;              // its boardRevision is taken from above
    // What reaches the decoder's input; 0 lines: the board's standard.
    VideoInput videoInput = VideoInput::Locked;
    int videoInputStandard = 0;
    // The drives on the SCSI bus (LoadDrives reads a machine folder's list).
    std::vector<DriveConfig> drives;

    // A board whose bridge carries someone else's subsystem ids.
    static BoardOptions Foreign(uint16_t vendor = 0x1131, uint16_t id = 0x0000)
    {
        BoardOptions o;
        o.subsystemVendor = vendor;
        o.subsystemId = id;
        return o;
    }
};

class Board : public hw::PciFunction {
public:
    explicit Board(BoardOptions options = {});

    // hw::PciFunction
    std::string Name() const override { return "solvane-board"; }
    void ConfigRead(uint32_t offset, void* data, uint32_t length) override;
    void ConfigWrite(uint32_t offset, const void* data, uint32_t length) override;
    uint32_t MmioRead(int bar, uint32_t offset, int size) override;
    void MmioWrite(int bar, uint32_t offset, uint32_t value, int size) override;
    void Attach(hw::Host* host) override;
    void Reset() override;

    void PowerOff();

    const BoardOptions& Options() const { return options_; }
    Saa7146& Bridge() { return bridge_; }
    FieldClock& Clock() { return clock_; }
    BoardRegs& Regs() { return regs_; }
    Debi& DebiUnit() { return debi_; }
    Gpio& GpioUnit() { return gpio_; }
    Sdram& Memory() { return sdram_; }
    I2cMaster& I2c() { return i2c_; }
    Eeprom& EepromUnit() { return eeprom_; }
    VideoDecoder& Decoder() { return decoder_; }
    VideoEncoder& Encoder(int index) { return index == 0 ? encoder0_ : encoder1_; }  // 0 at 0x8C, 1 at 0x88
    Fpgas& FpgaUnit() { return fpgas_; }
    // The SCSI host adapter and the drive at an id (null when none).
    Esp& Scsi() { return esp_; }
    ScsiDisk* Drive(int id) { return esp_.Target(id); }
    // The JPEG codecs, the video input that feeds the recording codec and the
    // output the playing codecs' fields form.
    JpegPath& Jpeg() { return jpeg_; }
    VideoFeed& VideoIn() { return videoFeed_; }
    VideoOutput& VideoOut() { return videoOut_; }
    // The bridge's BRS DMA, the effect units and the programme output they compose.
    BrsDma& Brs() { return brs_; }
    EffectUnits& Effects() { return effects_; }
    // The audio interfaces, DSPs, mix, VU meters and codec.
    AudioUnit& Audio() { return audio_; }
    TimeCodeChip& TimeCode() { return timecode_; }
    CaptureDma& Capture() { return capture_; }
    InputFrameStore& FrameStore() { return frameStore_; }

    // The machine folder's files as the board found them, each with its
    // path and what was done: those that exist but could not be read (a
    // machine should not run on a board missing them), damage the board got
    // past (an EEPROM file of the wrong size), and the drives left off the
    // bus because their image could not be opened.
    const std::vector<std::string>& UnreadableFiles() const { return unreadable_; }
    const std::vector<std::string>& FileNotes() const { return notes_; }
    const std::vector<std::string>& DrivesLeftOff() const { return drivesLeftOff_; }

    // Switches every unit's trace on or off.
    void SetTraceEnabled(bool on);
    void SetTraceSink(Trace::Sink sink);

private:
    BoardOptions options_;
    std::vector<std::string> unreadable_, notes_, drivesLeftOff_;
    hw::Host* host_ = nullptr;
    Saa7146 bridge_;
    BoardRegs regs_;
    Sdram sdram_;
    Debi debi_;
    Gpio gpio_;
    I2cMaster i2c_{bridge_};
    Eeprom eeprom_;
    VideoDecoder decoder_;
    VideoEncoder encoder0_{0};
    VideoEncoder encoder1_{1};
    Fpgas fpgas_{bridge_, regs_};
    std::vector<std::unique_ptr<ScsiDisk>> drives_;
    Esp esp_{bridge_, regs_, sdram_};
    void ConnectDrives();  // opens the images, puts the drives on the bus
    VideoFeed videoFeed_{options_.standard};
    VideoOutput videoOut_{options_.standard};
    JpegPath jpeg_{regs_, sdram_, videoFeed_, videoOut_};
    BrsDma brs_{bridge_};
    EffectUnits effects_{regs_, options_.standard};
    AudioUnit audio_{bridge_, regs_};
    TimeCodeChip timecode_{bridge_, regs_, options_.standard};
    CaptureDma capture_{bridge_, videoFeed_, videoOut_};
    InputFrameStore frameStore_{regs_, videoFeed_};
    void ConnectBoardUnits();  // the I2C devices, the EEPROM's file, the FPGAs' lines
    FieldClock clock_;
};

}  // namespace sim
