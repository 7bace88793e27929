#include "debi.h"

#include "board_regs.h"
#include "saa7146.h"

namespace sim {

Debi::Debi(Saa7146& bridge, BoardRegs& regs) : bridge_(bridge), regs_(regs)
{
    bridge_.OnUpload(saa7146::kUploadDebi, [this] { OnUpload(); });
}

void Debi::OnUpload()
{
    uint32_t command = bridge_.Active(saa7146::kDebiCommand);
    uint32_t address = command & 0xFFFF;
    bool read = (command & 0x10000) != 0;
    uint32_t count = command >> 17;
    if (count == 0) {
        trace_("upload without a transfer (command 0x%08x)", command);
        return;
    }
    if (count > 4) {
        trace_("block transfer of %u bytes at 0x%04x not modelled", count, address);
        return;
    }
    ++immediates_;
    if (read) {
        uint16_t value = regs_.Read(address);
        bridge_.SetActive(saa7146::kDebiAd, value);
        trace_("read 0x%04x -> 0x%04x", address, value);
    } else {
        uint16_t value = uint16_t(bridge_.Active(saa7146::kDebiAd));
        regs_.Write(address, value);
        trace_("write 0x%04x := 0x%04x", address, value);
    }
}

}  // namespace sim
