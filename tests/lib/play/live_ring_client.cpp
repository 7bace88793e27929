// A client process of a machine host that plays another process's live
// frame ring: it opens the ring, reads field 0 (nothing yet: the empty
// field), says "ready", waits for the named event LiveRingTwoGo, then reads
// fields 2 to 7 and prints the first byte of each and its read count.
//   live_ring_client <ring name>
#include <cstdio>
#include <string>
#include <vector>

#include "lib/play/zar_live_source_file.h"
#include "lib/play/zar_live_source_record.h"
#include "lib/play/zar_live_source_sync.h"

namespace {
bool NoCounter(CBoardConnection*, uint32_t, uint32_t*) { return false; }
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    CSysLiveSourceSync sync(nullptr);
    sync.SetFieldCounter(NoCounter);
    const uint32_t settings[3] = {0, 0, 0};  // the automatic lag: one frame
    sync.Enable(settings, 0);
    CSysLiveSourceRecord queue;
    auto* reader = new CSysLiveSourceVideoFile(nullptr);
    const int32_t opened = reader->OpenRing(&sync, &queue, argv[1]);
    if (opened != 0) {
        std::printf("open %d\n", opened);
        return 1;
    }
    std::vector<uint8_t> field(4608);
    reader->ReadFillField(0, field.data(), uint32_t(field.size()));
    std::printf("ready %s\n", field[0] == 0xFF ? "empty" : "data");
    std::fflush(stdout);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, "LiveRingTwoGo");
    if (!go || WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) return 3;
    std::string line = "fields";
    char text[16];
    for (uint32_t n = 2; n < 8; ++n) {
        reader->ReadFillField(n, field.data(), uint32_t(field.size()));
        std::snprintf(text, sizeof text, " %02x", field[0]);
        line += text;
    }
    std::printf("%s read %u\n", line.c_str(), reader->Header()->ReadCount);
    std::fflush(stdout);
    reader->Release();
    CloseHandle(go);
    return 0;
}
