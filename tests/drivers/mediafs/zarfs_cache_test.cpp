// The entry caches: most recently used first, the oldest item reused when a
// cache is full, a search making its item the most recent.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <random>

#include "drivers/mediafs/zarfs_cache.h"
#include "tests/support/machine_fixture.h"

namespace {

class ZarFsCache : public MachineFixture {
protected:
    void SetUp() override
    {
        MachineFixture::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(ZarFsVolCacheInitialize(&cache_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        ZarFsVolCacheFree(&cache_);
        MachineFixture::TearDown();
    }

    static ZAR_FILE_INFO File(ULONG frames)
    {
        ZAR_FILE_INFO e{};
        std::memcpy(e.Magic, "FIL0", 4);
        e.FrameCount = frames;
        return e;
    }
    bool Cached(ULONG block, ULONG* frames = nullptr)
    {
        ZAR_FILE_INFO e{};
        bool found = ZarFsVolCacheFileEntrySearch(&cache_, block, &e);
        if (frames != nullptr) *frames = e.FrameCount;
        return found;
    }

    ZARFS_ENTRY_CACHE cache_;
};

TEST_F(ZarFsCache, TheOldestFileEntryMakesRoomAndASearchKeepsAnEntryYoung)
{
    // Blocks 1..4096 fill the cache; block 1 is then searched, so block 2
    // is the oldest when the 4097th distinct entry arrives.
    for (ULONG b = 1; b <= ZARFS_FILE_CACHE_CAPACITY; ++b) {
        ZAR_FILE_INFO e = File(b);
        ZarFsVolCacheFileEntryCache(&cache_, &e, b);
    }
    EXPECT_EQ(cache_.FileCount, ZARFS_FILE_CACHE_CAPACITY);
    EXPECT_TRUE(Cached(1));
    ZAR_FILE_INFO e = File(9999);
    ZarFsVolCacheFileEntryCache(&cache_, &e, 5000);
    EXPECT_EQ(cache_.FileCount, ZARFS_FILE_CACHE_CAPACITY);
    EXPECT_FALSE(Cached(2));
    ULONG frames = 0;
    EXPECT_TRUE(Cached(1, &frames));
    EXPECT_EQ(frames, 1u);
    EXPECT_TRUE(Cached(5000, &frames));
    EXPECT_EQ(frames, 9999u);
}

TEST_F(ZarFsCache, StoringACachedBlockReplacesItsEntryInPlace)
{
    ZAR_FILE_INFO a = File(1), b = File(2);
    ZarFsVolCacheFileEntryCache(&cache_, &a, 10);
    ZarFsVolCacheFileEntryCache(&cache_, &b, 10);
    EXPECT_EQ(cache_.FileCount, 1u);
    ULONG frames = 0;
    EXPECT_TRUE(Cached(10, &frames));
    EXPECT_EQ(frames, 2u);
    ZarFsVolCacheFileEntryRemove(&cache_, 10);
    EXPECT_EQ(cache_.FileCount, 0u);
    EXPECT_FALSE(Cached(10));
}

TEST_F(ZarFsCache, FolderEntriesHaveTheirOwnListOf256)
{
    auto folder = std::make_unique<ZARFS_DIR_ENTRY>();
    for (ULONG slot = 0; slot <= ZARFS_FOLDER_CACHE_CAPACITY; ++slot) {
        folder->FileCount = slot;
        ZarFsVolCacheFolderEntryCache(&cache_, folder.get(), 100 + slot * 18);
    }
    EXPECT_EQ(cache_.FolderCount, ZARFS_FOLDER_CACHE_CAPACITY);
    EXPECT_EQ(cache_.FileCount, 0u);
    EXPECT_FALSE(ZarFsVolCacheFolderEntrySearch(&cache_, 100, folder.get()));
    EXPECT_TRUE(ZarFsVolCacheFolderEntrySearch(&cache_, 100 + 256 * 18, folder.get()));
    EXPECT_EQ(folder->FileCount, 256u);
}

TEST_F(ZarFsCache, RandomStoresSearchesAndRemovalsFollowAPlainListOfTheMostRecent)
{
    // A model kept the slow way: a list, most recent first. Blocks two
    // apart, as file entries lie, from a range larger than the cache, so
    // that items are evicted, reused and removed while the index fills.
    std::list<ULONG> order;
    std::map<ULONG, ULONG> frames;
    std::mt19937 rng(0x43414348);
    auto touch = [&](ULONG block) {
        order.remove(block);
        order.push_front(block);
    };
    for (int op = 0; op < 30000; ++op) {
        ULONG block = 2 * (rng() % (ZARFS_FILE_CACHE_CAPACITY + 1500)) + 100;
        ULONG kind = rng() % 10;
        if (kind < 5) {
            ZAR_FILE_INFO e = File(ULONG(op));
            ZarFsVolCacheFileEntryCache(&cache_, &e, block);
            touch(block);
            frames[block] = ULONG(op);
            if (order.size() > ZARFS_FILE_CACHE_CAPACITY) {
                frames.erase(order.back());
                order.pop_back();
            }
        } else if (kind < 9) {
            ULONG got = 0;
            bool modelHas = frames.count(block) != 0;
            ASSERT_EQ(Cached(block, &got), modelHas) << "op " << op << " block " << block;
            if (modelHas) {
                ASSERT_EQ(got, frames[block]);
                touch(block);
            }
        } else {
            ZarFsVolCacheFileEntryRemove(&cache_, block);
            order.remove(block);
            frames.erase(block);
        }
        ASSERT_EQ(cache_.FileCount, order.size());
    }
    // Every block the model holds is found, and only those.
    for (ULONG b = 100; b < 100 + 2 * (ZARFS_FILE_CACHE_CAPACITY + 1500); b += 2)
        ASSERT_EQ(ZarFsVolCacheFindFileEntry(&cache_, b) != nullptr, frames.count(b) != 0) << b;
}

}  // namespace
