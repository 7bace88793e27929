#include "field_clock.h"

#include "saa7146.h"

namespace sim {

FieldClock::FieldClock(Saa7146& bridge, int standard) : bridge_(bridge), standard_(standard == 625 ? 625 : 525) {}

uint64_t FieldClock::FieldsToNs(int standard, uint64_t fields)
{
    // 525: 1001/60000 s a field = 50,050,000/3 ns; 625: 20 ms.
    if (standard == 625) return fields * 20'000'000ull;
    return fields * 50'050'000ull / 3;
}

uint64_t FieldClock::NsToFields(int standard, uint64_t ns)
{
    if (standard == 625) return ns / 20'000'000ull;
    return ns * 3 / 50'050'000ull;
}

void FieldClock::PowerOn(hw::Host* host)
{
    PowerOff();
    host_ = host;
    if (!host_) return;
    fields_ = 0;
    missed_ = 0;
    parity_ = 0;  // the field before the first one was even
    bridge_.SetFieldParity(parity_);
    base_ = host_->Now();
    nextIndex_ = 1;
    trace_("power on at %llu ns, %d lines", (unsigned long long)base_, standard_);
    ScheduleNext();
}

void FieldClock::PowerOff()
{
    if (eventId_ != 0 && host_) host_->Cancel(eventId_);
    eventId_ = 0;
}

void FieldClock::SetStandard(int standard)
{
    int next = standard == 625 ? 625 : 525;
    if (next == standard_) return;
    trace_("standard %d -> %d", standard_, next);
    bool running = Running();
    PowerOff();
    if (running) {
        // Keep the field in progress; the new period starts at its end.
        base_ = nextTime_;
        nextIndex_ = 0;
        standard_ = next;
        ScheduleNext();
    } else {
        standard_ = next;
    }
}

void FieldClock::ScheduleNext()
{
    nextTime_ = base_ + FieldsToNs(standard_, nextIndex_);
    eventId_ = host_->Schedule(nextTime_, [this] { OnField(); });
}

void FieldClock::OnField()
{
    std::lock_guard lock(bridge_.Lock());
    // The board's fields follow the clock, not the host. A host that fell
    // behind the real clock finds several fields due at once: those already
    // over are passed by (their count and parity still move on), so the
    // board stays within a field of real time instead of working off a
    // backlog that would keep every interrupt late for good.
    const uint64_t reached = NsToFields(standard_, host_->Now() - base_);
    const uint64_t passed = reached > nextIndex_ ? reached - nextIndex_ : 0;
    if (passed != 0) {
        missed_ += passed;
        trace_("fields %llu-%llu passed by: the host is behind", (unsigned long long)(fields_ + 1),
               (unsigned long long)(fields_ + passed));
    }
    fields_ += 1 + passed;
    nextIndex_ += 1 + passed;
    parity_ ^= int((1 + passed) & 1);
    trace_("field %llu parity %d", (unsigned long long)fields_, parity_);
    bridge_.SetFieldParity(parity_);
    for (const FieldListener& listener : listeners_) listener(fields_, parity_);
    bridge_.RaiseStatus(saa7146::kIrqField);
    ScheduleNext();
}

}  // namespace sim
