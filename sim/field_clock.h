// The board's field clock: the vertical interrupt source of the bridge.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - Fields run whenever the board is powered (from the machine's power-on
//   reset until PowerOff), whether or not the FPGAs are loaded or the
//   interrupt is enabled: every field latches ISR bit 8; the bridge raises
//   INTA# only while IER enables it.
// - 525 lines: 60000/1001 fields a second; 625 lines: 50. Field k after
//   power-on falls at k x period exactly (no drift from rounding).
// - The first field after power-on is odd (parity 1) and parities alternate.
//   PSR bit 8 shows the parity of the field that just began, inverted, and
//   changes at the same instant the field's ISR bit latches.
// - Changing the standard takes effect from the next field.
// - A host running late (the real clock) that reaches a field after the
//   next one began passes the fields in between by: count and parity move
//   on, no unit hears them and no status latches for them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/hw/hw.h"
#include "trace.h"

namespace sim {

class Saa7146;

class FieldClock {
public:
    explicit FieldClock(Saa7146& bridge, int standard = 525);

    // Power: PowerOn restarts the count at the host's present time.
    void PowerOn(hw::Host* host);
    void PowerOff();
    bool Running() const { return eventId_ != 0; }

    void SetStandard(int standard);
    int Standard() const { return standard_; }
    // Nanoseconds from the start of one field to the start of field n later.
    static uint64_t FieldsToNs(int standard, uint64_t fields);
    // Whole fields in 'ns' from the start of one field.
    static uint64_t NsToFields(int standard, uint64_t ns);

    // Units that work field by field (the JPEG codecs) hear the start of
    // each field after the count and parity moved on and before the field's
    // interrupt status latches, so the interrupt routine sees their results.
    using FieldListener = std::function<void(uint64_t field, int parity)>;
    void AddFieldListener(FieldListener listener) { listeners_.push_back(std::move(listener)); }

    uint64_t FieldCount() const { return fields_; }
    // Fields passed by because the host reached them late (real clock only).
    uint64_t MissedFields() const { return missed_; }
    int Parity() const { return parity_; }  // 1 odd, 0 even
    uint64_t NextFieldTime() const { return nextTime_; }

    Trace& GetTrace() { return trace_; }

private:
    void ScheduleNext();
    void OnField();

    Saa7146& bridge_;
    hw::Host* host_ = nullptr;
    int standard_;
    uint64_t base_ = 0;          // time of power-on, or of the first field at a new standard
    uint64_t nextIndex_ = 0;     // fields from base_ to the pending field
    uint64_t fields_ = 0;
    uint64_t missed_ = 0;
    uint64_t nextTime_ = 0;
    uint64_t eventId_ = 0;
    int parity_ = 0;
    std::vector<FieldListener> listeners_;
    Trace trace_{"field-clock"};
};

}  // namespace sim
