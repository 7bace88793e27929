// The block allocator: the lower and upper regions with their moving
// boundary, best and first fit, dual and specific allocations, release with
// joining; and a model-based run of random operations checked against a
// bitmap of the area after every step.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "drivers/mediafs/zarfs_alloc.h"
#include "tests/support/machine_fixture.h"

namespace {

struct Span {
    ULONG first, length;
    bool operator==(const Span&) const = default;
};

class ZarFsAlloc : public MachineFixture {
protected:
    static constexpr ULONG kFirst = 1024;
    static constexpr ULONG kLength = 100000;
    static constexpr ULONG kTop = kFirst + kLength;

    void SetUp() override
    {
        MachineFixture::SetUp();
        if (HasFatalFailure()) return;
        ZarFsVolAllocInitializeSegmentList(&segments_);
        ASSERT_EQ(ZarFsVolAllocInitializeAllocObject(&alloc_, &segments_, kFirst, kLength), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        ZarFsVolAllocFreeAllocObject(&alloc_);
        ExDeletePagedLookasideList(&segments_);
        MachineFixture::TearDown();
    }

    static std::vector<Span> ByPosition(const ZARFS_FREE_LIST& list)
    {
        std::vector<Span> out;
        for (auto* s = list.FirstPos; s != nullptr; s = s->NextPos) out.push_back({s->FirstBlock, s->Length});
        return out;
    }
    static std::vector<Span> BySize(const ZARFS_FREE_LIST& list)
    {
        std::vector<Span> out;
        for (auto* s = list.Largest; s != nullptr; s = s->NextSize) out.push_back({s->FirstBlock, s->Length});
        return out;
    }
    ULONG Upper(ULONG length)
    {
        ULONG first = 0;
        EXPECT_EQ(ZarFsVolAllocAllocateUpperSpace(&alloc_, length, &first), STATUS_SUCCESS);
        return first;
    }
    ULONG Lower(ULONG length)
    {
        ULONG first = 0;
        EXPECT_TRUE(ZarFsVolAllocAllocateLowerSpace(&alloc_, length, &first));
        return first;
    }

    PAGED_LOOKASIDE_LIST segments_;
    ZARFS_ALLOC_OBJECT alloc_;
};

TEST_F(ZarFsAlloc, FreshAllocatorIsOneLowerRun)
{
    EXPECT_EQ(ByPosition(alloc_.Lower), (std::vector<Span>{{kFirst, kLength}}));
    EXPECT_TRUE(ByPosition(alloc_.Upper).empty());
    EXPECT_EQ(alloc_.Boundary, kTop);
    EXPECT_EQ(ZarFsVolAllocGetFreeBlocks(&alloc_), kLength);
    EXPECT_EQ(ZarFsVolAllocGetTotalBlocks(&alloc_), ULONGLONG(kTop));
}

TEST_F(ZarFsAlloc, UpperSpaceComesFromTheTopAndReturnsWithTheBoundary)
{
    EXPECT_EQ(Upper(2), kTop - 2);
    EXPECT_EQ(alloc_.Boundary, kTop - 2);
    EXPECT_EQ(ByPosition(alloc_.Lower), (std::vector<Span>{{kFirst, kLength - 2}}));
    EXPECT_EQ(ZarFsVolAllocGetFreeBlocks(&alloc_), kLength - 2);

    // Given back at the boundary: the boundary returns to the top.
    EXPECT_EQ(ZarFsVolAllocReleaseSpace(&alloc_, kTop - 2, 2), STATUS_SUCCESS);
    EXPECT_EQ(alloc_.Boundary, kTop);
    EXPECT_EQ(ByPosition(alloc_.Lower), (std::vector<Span>{{kFirst, kLength}}));
    EXPECT_TRUE(ByPosition(alloc_.Upper).empty());
}

TEST_F(ZarFsAlloc, ReleaseAtTheBoundaryJoinsTheUpperRunAbove)
{
    ULONG a = Upper(2), b = Upper(4), c = Upper(2);  // a highest, c at the boundary
    ASSERT_EQ(c, kTop - 8);
    ZarFsVolAllocReleaseSpace(&alloc_, a, 2);  // above the boundary: upper list
    ZarFsVolAllocReleaseSpace(&alloc_, b, 4);  // joins a
    EXPECT_EQ(ByPosition(alloc_.Upper), (std::vector<Span>{{kTop - 6, 6}}));
    ZarFsVolAllocReleaseSpace(&alloc_, c, 2);  // at the boundary: the whole top returns
    EXPECT_EQ(alloc_.Boundary, kTop);
    EXPECT_TRUE(ByPosition(alloc_.Upper).empty());
    EXPECT_EQ(ByPosition(alloc_.Lower), (std::vector<Span>{{kFirst, kLength}}));
}

TEST_F(ZarFsAlloc, BestFitTakesTheShortestRunAndTheHighestOfEquals)
{
    ULONG a = Upper(2), b = Upper(2), c = Upper(3), d = Upper(2);
    Upper(2);  // keeps the boundary below them
    ZarFsVolAllocReleaseSpace(&alloc_, b, 2);
    ZarFsVolAllocReleaseSpace(&alloc_, d, 2);
    (void)a;
    (void)c;
    // Two free runs of 2 fit: the higher one is taken.
    EXPECT_EQ(BySize(alloc_.Upper), (std::vector<Span>{{d, 2}, {b, 2}}));
    EXPECT_EQ(Upper(2), b);
    EXPECT_EQ(ByPosition(alloc_.Upper), (std::vector<Span>{{d, 2}}));
}

TEST_F(ZarFsAlloc, LowerAllocationIsFirstFitAndAnExactFitRemovesTheRun)
{
    ULONG a = Lower(100);
    Lower(50);
    ZarFsVolAllocReleaseSpace(&alloc_, a, 100);
    EXPECT_EQ(ByPosition(alloc_.Lower), (std::vector<Span>{{kFirst, 100}, {kFirst + 150, kLength - 150}}));
    EXPECT_EQ(Lower(60), kFirst);  // first fit, not best fit
    EXPECT_EQ(Lower(40), kFirst + 60);
    EXPECT_EQ(ByPosition(alloc_.Lower), (std::vector<Span>{{kFirst + 150, kLength - 150}}));
}

// The top run of the lower region is short, a longer run lies further
// down: an upper request only ever looks at the top run, and a dual
// allocation that fails there holds nothing.
TEST_F(ZarFsAlloc, UpperRequestFailsWhenTheTopRunIsShortAndDualGivesItsLowerPartBack)
{
    Lower(kLength - 20);
    ZarFsVolAllocReleaseSpace(&alloc_, kFirst, 500);
    auto lower = ByPosition(alloc_.Lower);
    ASSERT_EQ(lower, (std::vector<Span>{{kFirst, 500}, {kTop - 20, 20}}));
    ULONGLONG free = ZarFsVolAllocGetFreeBlocks(&alloc_);

    ULONG first = 0;
    EXPECT_EQ(ZarFsVolAllocAllocateUpperSpace(&alloc_, 30, &first), STATUS_UNSUCCESSFUL);
    ZARFS_DUAL_ALLOCATION dual{};
    EXPECT_EQ(ZarFsVolAllocAllocateDualSpace(&alloc_, 100, 30, &dual), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(dual.LowerLength, 100u);
    EXPECT_EQ(dual.UpperLength, 30u);
    EXPECT_EQ(ByPosition(alloc_.Lower), lower);
    EXPECT_EQ(ZarFsVolAllocGetFreeBlocks(&alloc_), free);

    EXPECT_EQ(ZarFsVolAllocAllocateDualSpace(&alloc_, 100, 20, &dual), STATUS_SUCCESS);
    EXPECT_EQ(dual.LowerFirstBlock, kFirst);
    EXPECT_EQ(dual.UpperFirstBlock, kTop - 20);
    EXPECT_EQ(alloc_.Boundary, kTop - 20);
}

TEST_F(ZarFsAlloc, SpecificUpperRangeInTheLowerTopRunMovesTheBoundary)
{
    // The blocks between the range and the old boundary become free upper space.
    EXPECT_EQ(ZarFsVolAllocAllocateSpecificUpperSpace(&alloc_, kTop - 10, 4), STATUS_SUCCESS);
    EXPECT_EQ(alloc_.Boundary, kTop - 10);
    EXPECT_EQ(ByPosition(alloc_.Lower), (std::vector<Span>{{kFirst, kLength - 10}}));
    EXPECT_EQ(ByPosition(alloc_.Upper), (std::vector<Span>{{kTop - 6, 6}}));
    EXPECT_EQ(ZarFsVolAllocGetFreeBlocks(&alloc_), kLength - 4);
    // A later claim inside that upper run takes it from the upper list.
    EXPECT_EQ(ZarFsVolAllocAllocateSpecificUpperSpace(&alloc_, kTop - 4, 2), STATUS_SUCCESS);
    EXPECT_EQ(ByPosition(alloc_.Upper), (std::vector<Span>{{kTop - 6, 2}, {kTop - 2, 2}}));
    // Blocks already taken, or running past the boundary, are refused.
    EXPECT_EQ(ZarFsVolAllocAllocateSpecificUpperSpace(&alloc_, kTop - 10, 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ZarFsVolAllocAllocateSpecificUpperSpace(&alloc_, kTop - 12, 4), STATUS_UNSUCCESSFUL);
}

TEST_F(ZarFsAlloc, SpecificLowerRanges)
{
    struct Row {
        const char* name;
        ULONG first, length;
        NTSTATUS status;
        std::vector<Span> after;
    } rows[] = {
        {"cut from the middle", kFirst + 100, 50, STATUS_SUCCESS,
         {{kFirst, 100}, {kFirst + 150, kLength - 150}}},
        {"at a run's start", kFirst + 150, 10, STATUS_SUCCESS, {{kFirst, 100}, {kFirst + 160, kLength - 160}}},
        {"up to a run's end", kFirst + 90, 10, STATUS_SUCCESS, {{kFirst, 90}, {kFirst + 160, kLength - 160}}},
        {"a whole run", kFirst, 90, STATUS_SUCCESS, {{kFirst + 160, kLength - 160}}},
        {"not free", kFirst + 100, 10, STATUS_UNSUCCESSFUL, {{kFirst + 160, kLength - 160}}},
        {"running past the run", kTop - 5, 10, STATUS_UNSUCCESSFUL, {{kFirst + 160, kLength - 160}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ZarFsVolAllocAllocateSpecificLowerSpace(&alloc_, row.first, row.length), row.status);
        EXPECT_EQ(ByPosition(alloc_.Lower), row.after);
    }
}

TEST_F(ZarFsAlloc, TwoLargestLowerRuns)
{
    ULONG first1, length1, first2, length2;
    ZarFsVolAllocGetTwoLargestSegmentsInfo(&alloc_, &first1, &length1, &first2, &length2);
    EXPECT_EQ(Span(first1, length1), Span(kFirst, kLength));
    EXPECT_EQ(Span(first2, length2), Span(0, 0));
    Lower(300);
    Lower(10);
    ZarFsVolAllocReleaseSpace(&alloc_, kFirst, 300);
    ZarFsVolAllocGetTwoLargestSegmentsInfo(&alloc_, &first1, &length1, &first2, &length2);
    EXPECT_EQ(Span(first1, length1), Span(kFirst + 310, kLength - 310));
    EXPECT_EQ(Span(first2, length2), Span(kFirst, 300));
}

// Random allocations and releases against a bitmap of the area: results lie
// in free space, the lists stay ordered and apart, the free count is their
// sum, and the boundary separates them.
TEST_F(ZarFsAlloc, RandomOperationsAgreeWithABitmap)
{
    ZarFsVolAllocFreeAllocObject(&alloc_);
    constexpr ULONG kArea = 4096;
    ASSERT_EQ(ZarFsVolAllocInitializeAllocObject(&alloc_, &segments_, kFirst, kArea), STATUS_SUCCESS);
    std::vector<bool> used(kArea, false);
    std::map<ULONG, ULONG> held;  // first -> length
    std::mt19937 gen(20261210);

    auto take = [&](ULONG first, ULONG length) {
        ASSERT_GE(first, kFirst);
        ASSERT_LE(first + length, kFirst + kArea);
        for (ULONG b = first; b < first + length; ++b) {
            ASSERT_FALSE(used[b - kFirst]) << "block " << b << " handed out twice";
            used[b - kFirst] = true;
        }
        held[first] = length;
    };
    auto check = [&] {
        std::vector<bool> free(kArea, false);
        ULONGLONG sum = 0;
        for (const ZARFS_FREE_LIST* list : {&alloc_.Lower, &alloc_.Upper}) {
            const ZARFS_FREE_SEGMENT* prev = nullptr;
            for (auto* s = list->FirstPos; s != nullptr; prev = s, s = s->NextPos) {
                ASSERT_GT(s->Length, 0u);
                if (prev != nullptr) {
                    ASSERT_GT(s->FirstBlock, prev->FirstBlock + prev->Length) << "touching runs";
                }
                if (list == &alloc_.Lower) {
                    ASSERT_LE(s->FirstBlock + s->Length, alloc_.Boundary);
                } else {
                    ASSERT_GE(s->FirstBlock, alloc_.Boundary);
                }
                for (ULONG b = s->FirstBlock; b < s->FirstBlock + s->Length; ++b) free[b - kFirst] = true;
                sum += s->Length;
            }
            size_t count = ByPosition(*list).size();
            auto bySize = BySize(*list);
            ASSERT_EQ(bySize.size(), count);
            for (size_t i = 1; i < bySize.size(); ++i)
                ASSERT_TRUE(bySize[i - 1].length > bySize[i].length ||
                            (bySize[i - 1].length == bySize[i].length && bySize[i - 1].first < bySize[i].first));
        }
        ASSERT_EQ(sum, alloc_.FreeBlocks);
        for (ULONG i = 0; i < kArea; ++i) ASSERT_EQ(free[i], !used[i]) << "block " << kFirst + i;
    };

    for (int step = 0; step < 4000 && !HasFatalFailure(); ++step) {
        SCOPED_TRACE(step);
        ULONG first = 0;
        switch (gen() % 6) {
        case 0:
            if (ULONG n = 1 + gen() % 200; ZarFsVolAllocAllocateLowerSpace(&alloc_, n, &first)) take(first, n);
            break;
        case 1:
            if (ULONG n = 1 + gen() % 8; NT_SUCCESS(ZarFsVolAllocAllocateUpperSpace(&alloc_, n, &first)))
                take(first, n);
            break;
        case 2: {
            ZARFS_DUAL_ALLOCATION d{};
            if (NT_SUCCESS(ZarFsVolAllocAllocateDualSpace(&alloc_, 1 + gen() % 100, 1 + gen() % 4, &d))) {
                take(d.LowerFirstBlock, d.LowerLength);
                take(d.UpperFirstBlock, d.UpperLength);
            }
            break;
        }
        case 3: {
            // A specific range inside a free lower run.
            auto runs = ByPosition(alloc_.Lower);
            if (runs.empty()) break;
            Span r = runs[gen() % runs.size()];
            ULONG offset = gen() % r.length, n = 1 + gen() % (r.length - offset);
            ASSERT_EQ(ZarFsVolAllocAllocateSpecificLowerSpace(&alloc_, r.first + offset, n), STATUS_SUCCESS);
            take(r.first + offset, n);
            break;
        }
        default:
            if (held.empty()) break;
            auto it = std::next(held.begin(), gen() % held.size());
            ASSERT_EQ(ZarFsVolAllocReleaseSpace(&alloc_, it->first, it->second), STATUS_SUCCESS);
            for (ULONG b = it->first; b < it->first + it->second; ++b) used[b - kFirst] = false;
            held.erase(it);
            break;
        }
        check();
    }
    for (auto [first, length] : held) ZarFsVolAllocReleaseSpace(&alloc_, first, length);
    EXPECT_EQ(ByPosition(alloc_.Lower), (std::vector<Span>{{kFirst, kArea}}));
    EXPECT_EQ(alloc_.Boundary, kFirst + kArea);
}

}  // namespace
