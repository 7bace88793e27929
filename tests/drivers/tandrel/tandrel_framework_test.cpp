// The time-code driver's request queue on a bare machine: a request
// cancelled before it is queued never stays there, cancelling by file
// object leaves the other files' requests queued in their order, and a
// queued request's cancel routine takes it out.

#include <gtest/gtest.h>

#include <vector>

#include "drivers/tandrel/tandrel_driver.h"
#include "tests/support/machine_fixture.h"

namespace {

class TandrelQueue : public MachineFixture {
protected:
    void SetUp() override
    {
        MachineFixture::SetUp();
        InitializeListHead(&queue_);
        InitializeListHead(&cancelled_);
        KeInitializeSpinLock(&lock_);
    }
    void TearDown() override
    {
        for (PIRP irp : irps_) IoFreeIrp(irp);
        MachineFixture::TearDown();
    }

    static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        static_cast<TandrelQueue*>(context)->completed_.push_back(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // A request as a driver receives it: its own stack location current,
    // naming the file object; completion comes back here.
    PIRP Request(PFILE_OBJECT file)
    {
        PIRP irp = IoAllocateIrp(2, FALSE);
        irps_.push_back(irp);
        IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
        irp->CurrentLocation--;
        irp->Tail.Overlay.CurrentStackLocation--;
        IoGetCurrentIrpStackLocation(irp)->FileObject = file;
        return irp;
    }

    LIST_ENTRY queue_, cancelled_;
    KSPIN_LOCK lock_;
    std::vector<PIRP> irps_, completed_;
    FILE_OBJECT a_{}, b_{};
};

TEST_F(TandrelQueue, ARequestCancelledBeforeItIsQueuedNeverEntersTheQueue)
{
    PIRP irp = Request(&a_);
    irp->Cancel = TRUE;
    EXPECT_EQ(QueueRequest(irp, CancelRequestRoutine, &queue_, &lock_, &cancelled_), STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&queue_));
    ASSERT_FALSE(IsListEmpty(&cancelled_));
    EXPECT_EQ(CONTAINING_RECORD(cancelled_.Flink, IRP, Tail.Overlay.ListEntry), irp);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_EQ(DequeueRequest(&queue_, &lock_), nullptr);
}

TEST_F(TandrelQueue, CancellingByFileObjectLeavesTheOthersInOrder)
{
    PIRP a1 = Request(&a_), b1 = Request(&b_), a2 = Request(&a_), b2 = Request(&b_);
    for (PIRP irp : {a1, b1, a2, b2})
        ASSERT_EQ(QueueRequest(irp, CancelRequestRoutine, &queue_, &lock_, &cancelled_), STATUS_PENDING);
    CancelQueue(&queue_, &lock_, &a_);
    EXPECT_EQ(completed_, (std::vector<PIRP>{a1, a2}));
    EXPECT_EQ(a1->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(DequeueRequest(&queue_, &lock_), b1);
    EXPECT_EQ(DequeueRequest(&queue_, &lock_), b2);
    EXPECT_EQ(DequeueRequest(&queue_, &lock_), nullptr);
}

TEST_F(TandrelQueue, AQueuedRequestCancelledLeavesTheQueueThroughItsCancelRoutine)
{
    PIRP first = Request(&a_), second = Request(&a_);
    ASSERT_EQ(QueueRequest(first, CancelRequestRoutine, &queue_, &lock_, &cancelled_), STATUS_PENDING);
    ASSERT_EQ(QueueRequest(second, CancelRequestRoutine, &queue_, &lock_, &cancelled_), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(first));
    EXPECT_EQ(completed_, (std::vector<PIRP>{first}));
    EXPECT_EQ(DequeueRequest(&queue_, &lock_), second);
    // Taken off the queue, it can no longer be cancelled from it.
    EXPECT_FALSE(IoCancelIrp(second));
    EXPECT_EQ(completed_.size(), 1u);
}

}  // namespace
