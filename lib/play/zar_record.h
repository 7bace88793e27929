// The video record thread: empties the board's record channel onto the
// disks field by field, into a clip item's clip file, with the recording
// side file kept up to date so a body table can be restored after a crash.
// Record threads run on a board connection's behalf and watch its
// record-abort event; a record stop sets the event and waits for them.
#pragma once

#include <cstdint>

#include "platform/win32/win32.h"

class CBoardConnection;
class CClipItem;
class CWaveItem;

struct ZAR_RECORD_REQUEST {
    CClipItem* target;       // the clip item recorded into (a reference is taken)
    uint32_t in;             // record position of the first field
    uint32_t out;            // 0xFFFFFFFF: no out point (until the stop)
    HANDLE startEvent;       // null: start at once
    uint32_t decimation;     // 0 or 1: every frame; n: every n-th frame
    uint32_t upperSize;      // the rate the board aims at, sectors a field
    uint32_t statistics;     // non-zero: show the buffer fullness at the end
};

// What the last video recording of a board did.
struct ZAR_RECORD_END {
    int32_t result;          // 0, or the failure that ended it
    uint32_t fieldsTaken;    // descriptors fetched from the record channel
    uint32_t fieldsWritten;
    uint32_t noRoom;         // fields the clip had no room for
    bool sideFileKept;       // the side file was left (the recording did not end cleanly)
    uint64_t cpuNs;          // the thread's CPU time, its own driver requests included
};

inline constexpr DWORD kRecordReadyWaitMs = 3000;

// Starts the video record thread (time critical, appended to the
// connection's workers) and waits for it to report ready: 0, or -1 after
// ending it when it does not report within 3 s.
int32_t StartVideoRecord(CBoardConnection* connection, const ZAR_RECORD_REQUEST& request);
// Sets the record-abort event and waits for every worker of the connection
// to end (each bounded, as CZarDll::WaitForThreadEnd): 0 when all ended,
// -1 when one still runs (its handle stays in the table).
int32_t StopRecord(CBoardConnection* connection);
ZAR_RECORD_END LastRecordEnd(uint32_t board);

// The audio record thread: the board's recorded audio, half a DMA buffer
// at a time through the driver's record ring, into a wave record item
// (its Create done; a reference is taken). 'lockMode' is the audio lock the
// caller holds for the record (0, 1 or 2), given back at the end.
struct ZAR_AUDIO_RECORD_REQUEST {
    CWaveItem* wave;
    HANDLE startEvent;       // null: start at once
    uint32_t continuous;     // the record command's continuous-record flag
    uint32_t lockMode;
};
struct ZAR_AUDIO_RECORD_END {
    int32_t result;
    uint32_t halves;         // halves written to the wave item
    uint32_t lost;           // halves the ring had overwritten before they were taken
    uint64_t bytes;          // board bytes written
};
int32_t StartAudioRecord(CBoardConnection* connection, const ZAR_AUDIO_RECORD_REQUEST& request);
ZAR_AUDIO_RECORD_END LastAudioRecordEnd(uint32_t board);
// The buffer-fullness lines of a recording's statistics box.
struct ZAR_FULLNESS {
    uint64_t sum[2] = {0, 0};
    uint32_t count[2] = {0, 0};
    uint32_t max[2] = {0, 0};
};
void FormatFullness(const ZAR_FULLNESS& fullness, char* text, size_t bytes);
