// The FPGA loader's search over a file whose images never configure: it
// must give up within a bound, say so, and let the machine run meanwhile,
// instead of trying all 16^4 combinations while its caller waits.

#include <gtest/gtest.h>

#include <fstream>

#include "zarkd_ioctl_machine.h"

namespace {

class ZarkdFlexSearch : public ZarkdIoctlMachine {
protected:
};

TEST_F(ZarkdFlexSearch, AFileThatNeverConfiguresEndsTheSearchWithinItsBound)
{
    fpgaimages::ImageFile file;
    file.standard = 525;
    for (int f = 0; f < 4; ++f) {
        for (int i = 0; i < 16; ++i) {
            fpgaimages::ImageSpec spec;
            spec.device = f;
            spec.standard = 525;
            spec.payloadBytes = 16;
            spec.fault = fpgaimages::Fault::BadCrc;
            file.images[f].push_back(fpgaimages::BuildImage(spec));
        }
    }
    const std::vector<uint8_t> bytes = fpgaimages::WriteImageFile(file);
    std::ofstream(std::filesystem::path(Folder()) / "drives/C/WINNT/system32/drivers" / fpgaimages::ImageFileName(3),
                  std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ext_->Standard = 525;
    for (int f = 0; f < 4; ++f)
        Board().EepromUnit().SetByte(uint8_t(sim::eeprom::kFpgaChoice + f), 0xFF);

    const uint32_t pulses = Board().FpgaUnit().ProgramPulses();
    const uint64_t fields = Board().Clock().FieldCount();
    ULONG io[4] = {};
    testing::internal::CaptureStderr();
    const NTSTATUS status = Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof io, io, sizeof io).status;
    const std::string said = testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(io[1], 0u);  // FPGA state: not configured
    const uint32_t sends = Board().FpgaUnit().ProgramPulses() - pulses;
    EXPECT_GT(sends, 16u);
    EXPECT_LE(sends, 256u);
    EXPECT_NE(said.find("the FPGA image search stopped after"), std::string::npos) << said;
    // The machine's time went on between the sends: its fields kept coming.
    EXPECT_GE(Board().Clock().FieldCount() - fields, uint64_t(sends - 1) / 17);
}

}  // namespace
