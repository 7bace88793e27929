// Executive support: pool, look-aside lists, executive resources, fast
// mutexes, interlocked lists.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/bugcheck.h"
#include "platform/nt/nt_mm.h"

namespace {



constexpr ULONG kTag = 0x74736554;  // "Test"

TEST(Pool, CountsBytesPerTagAndAlignsPageSizedBlocks)
{
    SIZE_T before = ExPoolBytesWithTag(kTag);
    PVOID small = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    PVOID large = ExAllocatePoolWithTag(PagedPool, 3 * PAGE_SIZE, kTag);
    ASSERT_TRUE(small && large);
    EXPECT_EQ(ExPoolBytesWithTag(kTag), before + 24 + 3 * PAGE_SIZE);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(small) % 8, 0u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(large) % PAGE_SIZE, 0u);
    std::memset(large, 1, 3 * PAGE_SIZE);
    ExFreePoolWithTag(small, kTag);
    ExFreePool(large);
    EXPECT_EQ(ExPoolBytesWithTag(kTag), before);
}

TEST(Pool, RuleBreachesStopTheMachine)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_EQ(BugCheckOf([&] { ExFreePoolWithTag(p, 0x656e6f4e); }), ULONG{BAD_POOL_CALLER}) << "wrong tag";
    ExFreePoolWithTag(p, kTag);
    EXPECT_EQ(BugCheckOf([&] { ExFreePool(p); }), ULONG{BAD_POOL_CALLER}) << "double free";
    EXPECT_EQ(BugCheckOf([] { AtIrql(DISPATCH_LEVEL, [] { return ExAllocatePoolWithTag(PagedPool, 8, kTag); }); }),
              ULONG{BAD_POOL_CALLER})
        << "paged pool at DISPATCH_LEVEL";
    EXPECT_EQ(BugCheckOf([] { AtIrql(DISPATCH_LEVEL + 1, [] { return ExAllocatePoolWithTag(NonPagedPool, 8, kTag); }); }),
              ULONG{BAD_POOL_CALLER})
        << "any pool above DISPATCH_LEVEL";
    PVOID ok = AtIrql(DISPATCH_LEVEL, [] { return ExAllocatePoolWithTag(NonPagedPool, 8, kTag); });
    ASSERT_NE(ok, nullptr);
    ExFreePool(ok);
}

TEST(Pool, InjectedFailures)
{
    ExSetPoolFailureHook([](POOL_TYPE, SIZE_T, ULONG tag) { return tag == kTag; });
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    EXPECT_EQ(BugCheckOf([] { ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kTag); }),
              ULONG{MUST_SUCCEED_POOL_EMPTY});
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, kTag + 1);
    EXPECT_NE(other, nullptr);
    ExFreePool(other);
    ExSetPoolFailureHook(nullptr);
}

TEST(Lookaside, ReusesEntriesUpToItsDepthAndGivesTheRestBack)
{
    constexpr ULONG tag = 0x6b6f6f4c;  // "Look"
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 2 /* smaller than a link */, tag, 2);
    std::vector<PVOID> entries;
    for (int i = 0; i < 4; i++) entries.push_back(ExAllocateFromNPagedLookasideList(&list));
    EXPECT_EQ(ExPoolBytesWithTag(tag), 4 * sizeof(SINGLE_LIST_ENTRY));
    for (PVOID e : entries) ExFreeToNPagedLookasideList(&list, e);
    // Two kept, two back to the pool.
    EXPECT_EQ(ExPoolBytesWithTag(tag), 2 * sizeof(SINGLE_LIST_ENTRY));
    PVOID again = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(again, entries[1]) << "the last entry kept comes back first";
    EXPECT_EQ(list.L.TotalAllocates, 5u);
    EXPECT_EQ(list.L.AllocateMisses, 4u);
    EXPECT_EQ(list.L.FreeMisses, 2u);
    ExFreeToNPagedLookasideList(&list, again);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(ExPoolBytesWithTag(tag), 0u);
}

std::atomic<int> ownAllocations{0};

TEST(Lookaside, PagedListUsesTheDriversRoutinesAndRefusesDispatchLevel)
{
    PAGED_LOOKASIDE_LIST list;
    ExInitializePagedLookasideList(
        &list,
        [](POOL_TYPE type, SIZE_T bytes, ULONG tag) {
            ownAllocations++;
            return ExAllocatePoolWithTag(type, bytes, tag);
        },
        [](PVOID p) {
            ownAllocations--;
            ExFreePool(p);
        },
        0, 48, kTag, 0);
    PVOID e = ExAllocateFromPagedLookasideList(&list);
    EXPECT_EQ(ownAllocations, 1);
    EXPECT_EQ(BugCheckOf([&] { AtIrql(DISPATCH_LEVEL, [&] { return ExAllocateFromPagedLookasideList(&list); }); }),
              ULONG{IRQL_NOT_LESS_OR_EQUAL});
    ExFreeToPagedLookasideList(&list, e);
    ExDeletePagedLookasideList(&list);
    EXPECT_EQ(ownAllocations, 0);
}

class ResourceTest : public ::testing::Test {
protected:
    void SetUp() override { ExInitializeResourceLite(&r); }
    void TearDown() override { ExDeleteResourceLite(&r); }
    // Runs 'f' on another thread and returns what it returned.
    template <typename F>
    auto OnOtherThread(F f)
    {
        decltype(f()) result{};
        std::thread([&] { result = f(); }).join();
        return result;
    }
    ERESOURCE r;
};

TEST_F(ResourceTest, ExclusiveOwnerIsRecursiveAndKeepsOthersOut)
{
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&r, TRUE));
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&r, TRUE));
    EXPECT_TRUE(ExAcquireResourceSharedLite(&r, TRUE));  // the owner may also share it
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&r));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 3u);
    EXPECT_FALSE(OnOtherThread([&] { return ExAcquireResourceExclusiveLite(&r, FALSE); }));
    EXPECT_FALSE(OnOtherThread([&] { return ExAcquireResourceSharedLite(&r, FALSE); }));
    EXPECT_FALSE(OnOtherThread([&] { return ExIsResourceAcquiredExclusiveLite(&r); }));
    for (int i = 0; i < 3; i++) ExReleaseResourceLite(&r);
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 0u);
    EXPECT_TRUE(OnOtherThread([&] {
        BOOLEAN got = ExAcquireResourceExclusiveLite(&r, FALSE);
        ExReleaseResourceLite(&r);
        return got;
    }));
    EXPECT_EQ(BugCheckOf([&] { ExReleaseResourceLite(&r); }), ULONG{RESOURCE_NOT_OWNED});
}

TEST_F(ResourceTest, SharersCoexistButAQueuedExclusiveWaiterHoldsNewOnesBack)
{
    ASSERT_TRUE(ExAcquireResourceSharedLite(&r, TRUE));
    EXPECT_TRUE(OnOtherThread([&] {
        BOOLEAN got = ExAcquireResourceSharedLite(&r, FALSE);
        ExReleaseResourceLite(&r);
        return got;
    }));
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        ExAcquireResourceExclusiveLite(&r, TRUE);
        writerIn = true;
        ExReleaseResourceLite(&r);
    });
    while (__atomic_load_n(&r.NumberOfExclusiveWaiters, __ATOMIC_ACQUIRE) == 0) std::this_thread::yield();
    EXPECT_FALSE(OnOtherThread([&] { return ExAcquireResourceSharedLite(&r, FALSE); }));
    EXPECT_FALSE(writerIn);
    EXPECT_TRUE(OnOtherThread([&] {
        BOOLEAN got = ExAcquireSharedStarveExclusive(&r, FALSE);
        if (got) ExReleaseResourceLite(&r);
        return got;
    }));
    EXPECT_TRUE(ExAcquireResourceSharedLite(&r, FALSE)) << "a thread that already shares it gets it again";
    ExReleaseResourceLite(&r);
    ExReleaseResourceLite(&r);
    writer.join();
    EXPECT_TRUE(writerIn);
}

TEST_F(ResourceTest, ExclusiveHoldersNeverOverlap)
{
    int inside = 0, most = 0, total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; i++) {
                bool exclusive = (i + t) % 3 != 0;
                if (exclusive) {
                    ExAcquireResourceExclusiveLite(&r, TRUE);
                    int now = ++inside;
                    most = std::max(most, now);
                    total++;
                    std::this_thread::yield();
                    --inside;
                } else {
                    ExAcquireResourceSharedLite(&r, TRUE);
                    std::this_thread::yield();
                }
                ExReleaseResourceLite(&r);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(most, 1);
    EXPECT_EQ(total, 800);
    EXPECT_EQ(r.ActiveCount, 0);
}

TEST_F(ResourceTest, ConvertingToSharedLetsWaitingSharersIn)
{
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&r, TRUE));
    std::atomic<bool> readerIn{false};
    std::thread reader([&] {
        ExAcquireResourceSharedLite(&r, TRUE);
        readerIn = true;
        ExReleaseResourceLite(&r);
    });
    while (__atomic_load_n(&r.NumberOfSharedWaiters, __ATOMIC_ACQUIRE) == 0) std::this_thread::yield();
    ExConvertExclusiveToSharedLite(&r);
    reader.join();
    EXPECT_TRUE(readerIn);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&r));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 1u);
    ExReleaseResourceLite(&r);
}

TEST(FastMutex, ExcludesRaisesToApcLevelAndIsNotRecursive)
{
    FAST_MUTEX m;
    ExInitializeFastMutex(&m);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; i++) {
                ExAcquireFastMutex(&m);
                long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                ExReleaseFastMutex(&m);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 2000);

    ExAcquireFastMutex(&m);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    std::thread([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&m)); }).join();
    EXPECT_EQ(BugCheckOf([&] { ExAcquireFastMutex(&m); }), ULONG{MUTEX_ALREADY_OWNED});
    ExReleaseFastMutex(&m);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(BugCheckOf([&] { ExReleaseFastMutexUnsafe(&m); }), ULONG{THREAD_NOT_MUTEX_OWNER});
}

TEST(InterlockedList, ReturnsWhatWasThereAndSurvivesContention)
{
    LIST_ENTRY head;
    InitializeListHead(&head);
    KSPIN_LOCK lock = 0;
    LIST_ENTRY a, b;
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertHeadList(&head, &b, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(lock, 0u);

    SINGLE_LIST_ENTRY stack{nullptr};
    std::vector<SINGLE_LIST_ENTRY> entries(4000);
    std::atomic<int> popped{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; i++) {
                ExInterlockedPushEntryList(&stack, &entries[t * 1000 + i], &lock);
                if (i % 2 && ExInterlockedPopEntryList(&stack, &lock)) popped++;
            }
        });
    for (auto& t : threads) t.join();
    int left = 0;
    while (PopEntryList(&stack)) left++;
    EXPECT_EQ(popped + left, 4000);
}

}  // namespace
