// The entry caches: most recently used first, the oldest item reused when a
// cache is full, a search making its item the most recent; a folder's name
// index kept by every store of the folder and of its files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

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

    static ZAR_FILE_INFO Named(const std::u16string& name)
    {
        ZAR_FILE_INFO e = File(0);
        ZarFsHwStoreName(e.Name, name.data(), ULONG(name.size()));
        return e;
    }
    void StoreFile(ULONG block, const std::u16string& name)
    {
        ZAR_FILE_INFO e = Named(name);
        ZarFsVolCacheFileEntryCache(&cache_, &e, block);
    }
    // Stores the folder at 'block' with 'files' in its first slots (0 = empty).
    void StoreFolder(ULONG block, const std::vector<ULONG>& files)
    {
        auto folder = std::make_unique<ZARFS_DIR_ENTRY>();
        std::memcpy(folder->Magic, "FOL0", 4);
        folder->InUse = 1;
        for (size_t i = 0; i < files.size(); ++i) folder->FileSlots[i] = files[i];
        ZarFsVolCacheFolderEntryCache(&cache_, folder.get(), block);
    }
    // Indexes the cached folder at 'block' by the names of 'names' (one a
    // slot, as its files bear them).
    BOOLEAN Index(ULONG block, const std::vector<ULONG>& files, const std::vector<std::u16string>& names,
                  ULONG changes)
    {
        std::vector<ULONG> slots(ZARFS_FILES_PER_FOLDER), hashes(ZARFS_FILES_PER_FOLDER);
        for (size_t i = 0; i < files.size(); ++i) {
            slots[i] = files[i];
            hashes[i] = ZarFsVolCacheNameHash(names[i].data(), ULONG(names[i].size()));
        }
        return ZarFsVolCacheIndexFolderNames(&cache_, block, slots.data(), hashes.data(), changes);
    }
    // The slots the folder's index gives for 'name'; {-1} without an index.
    std::vector<LONG> Slots(ULONG folder, const std::u16string& name)
    {
        ULONG slots[16];
        LONG n = ZarFsVolCacheFolderNameSlots(&cache_, folder,
                                              ZarFsVolCacheNameHash(name.data(), ULONG(name.size())), slots, 16);
        if (n < 0) return {-1};
        return std::vector<LONG>(slots, slots + n);
    }
    static std::u16string Name(const char* prefix, ULONG i)
    {
        std::string text = prefix + std::to_string(i);
        return std::u16string(text.begin(), text.end());
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

TEST_F(ZarFsCache, AFoldersNameIndexFollowsTheStoresOfTheFolderAndOfItsFiles)
{
    constexpr ULONG kFolder = 50;
    std::vector<ULONG> files;
    std::vector<std::u16string> names;
    for (ULONG i = 0; i < 10; ++i) {
        files.push_back(i == 5 ? 0 : 1000 + 2 * i);  // slot 5 empty
        names.push_back(Name("clip", i));
        if (files.back() != 0) StoreFile(files.back(), names.back());
    }
    StoreFolder(kFolder, files);
    EXPECT_EQ(Slots(kFolder, u"clip3"), std::vector<LONG>{-1});
    ASSERT_TRUE(Index(kFolder, files, names, ZarFsVolCacheNameChanges(&cache_)));

    struct Step {
        const char* what;
        std::function<void()> change;
        std::vector<std::pair<std::u16string, std::vector<LONG>>> expect;
    } steps[] = {
        {"as built", [] {},
         {{u"clip3", {3}}, {u"CLIP9", {9}}, {u"Clip0", {0}}, {u"clip5", {}}, {u"clip", {}}, {u"clip10", {}}}},
        {"a file renamed", [&] { StoreFile(1006, u"Renamed"); }, {{u"clip3", {}}, {u"RENAMED", {3}}}},
        {"a file stored again under its name", [&] { StoreFile(1008, u"clip4"); }, {{u"clip4", {4}}}},
        {"a slot cleared",
         [&] {
             files[4] = 0;
             StoreFolder(kFolder, files);
         },
         {{u"clip4", {}}, {u"renamed", {3}}}},
        {"a cached file put in a slot",
         [&] {
             StoreFile(2000, u"new");
             files.resize(13);
             files[12] = 2000;
             StoreFolder(kFolder, files);
         },
         {{u"NEW", {12}}, {u"clip9", {9}}}},
        {"a second slot with a name already there",
         [&] {
             StoreFile(2002, u"NEW");
             files[4] = 2002;
             StoreFolder(kFolder, files);
         },
         {{u"new", {4, 12}}}},
        {"a slot given a file the cache does not hold: the index goes",
         [&] {
             files[5] = 3000;
             StoreFolder(kFolder, files);
         },
         {{u"new", {-1}}, {u"clip9", {-1}}}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        for (const auto& [name, slots] : step.expect)
            EXPECT_EQ(Slots(kFolder, name), slots) << std::string(name.begin(), name.end());
    }
}

TEST_F(ZarFsCache, ANameIndexIsRefusedWhenWhatItWasBuiltFromIsNoLongerCached)
{
    std::vector<ULONG> files{1000, 1002};
    std::vector<std::u16string> names{u"a", u"b"};
    StoreFile(1000, u"a");
    StoreFile(1002, u"b");
    ULONG changes = ZarFsVolCacheNameChanges(&cache_);
    EXPECT_FALSE(Index(50, files, names, changes)) << "the folder is not cached";
    StoreFolder(50, {1000});
    EXPECT_FALSE(Index(50, files, names, changes)) << "the folder's slots differ";
    StoreFolder(50, files);
    StoreFile(1002, u"b");  // stored again under its name: nothing changed
    EXPECT_EQ(ZarFsVolCacheNameChanges(&cache_), changes);
    StoreFile(1002, u"c");
    EXPECT_FALSE(Index(50, files, names, changes)) << "a file was renamed meanwhile";
    EXPECT_EQ(Slots(50, u"b"), std::vector<LONG>{-1});
    names = {u"a", u"c"};
    EXPECT_TRUE(Index(50, files, names, ZarFsVolCacheNameChanges(&cache_)));
    EXPECT_EQ(Slots(50, u"C"), std::vector<LONG>{1});
    // The folder's item reused for another folder takes its index along.
    for (ULONG f = 1; f <= ZARFS_FOLDER_CACHE_CAPACITY; ++f) StoreFolder(50 + 18 * f, {});
    EXPECT_EQ(Slots(50, u"c"), std::vector<LONG>{-1});
}

TEST_F(ZarFsCache, AFullFolderFindsEveryNameAndOutlivesItsFilesLeavingTheCache)
{
    // Two folders of 2,048 files whose names differ only in case, each
    // file in the other folder's slot from the far end.
    constexpr ULONG kA = 50, kB = 68;
    std::vector<ULONG> a, b;
    std::vector<std::u16string> an, bn;
    for (ULONG i = 0; i < ZARFS_FILES_PER_FOLDER; ++i) {
        a.push_back(1000 + 2 * i);
        an.push_back(Name("take ", i));
        b.push_back(1000 + 2 * (ZARFS_FILES_PER_FOLDER + i));
        bn.push_back(Name("TAKE ", ZARFS_FILES_PER_FOLDER - 1 - i));
        StoreFile(a.back(), an.back());
        StoreFile(b.back(), bn.back());
    }
    StoreFolder(kA, a);
    StoreFolder(kB, b);
    ULONG changes = ZarFsVolCacheNameChanges(&cache_);
    ASSERT_TRUE(Index(kA, a, an, changes));
    ASSERT_TRUE(Index(kB, b, bn, changes));
    // Every file leaves the cache, oldest first (they went in a, b, a, b,
    // ...), as 4,096 others come in.
    for (ULONG i = 0; i < ZARFS_FILE_CACHE_CAPACITY; ++i) {
        ZAR_FILE_INFO e = File(i);
        ZarFsVolCacheFileEntryCache(&cache_, &e, 100000 + 2 * i);
        ASSERT_FALSE(Cached(i % 2 == 0 ? a[i / 2] : b[i / 2])) << i;
    }
    EXPECT_EQ(cache_.FileCount, ZARFS_FILE_CACHE_CAPACITY);
    for (ULONG i = 0; i < ZARFS_FILES_PER_FOLDER; ++i) {
        ASSERT_EQ(Slots(kA, Name("TAKE ", i)), std::vector<LONG>{LONG(i)});
        ASSERT_EQ(Slots(kB, Name("take ", i)), std::vector<LONG>{LONG(ZARFS_FILES_PER_FOLDER - 1 - i)});
    }
    EXPECT_EQ(Slots(kA, u"take 2048"), std::vector<LONG>{});
}

TEST_F(ZarFsCache, ANameIndexLeavesWhichEntryIsReusedAsItWas)
{
    // The random walk of the model test, with a folder indexed over part
    // of the blocks and stores that rename its files: the list decides the
    // same, and the index names each file by its last stored name.
    constexpr ULONG kFolder = 50, kFiles = 300;
    std::list<ULONG> order;
    std::map<ULONG, ULONG> frames;
    std::map<ULONG, std::u16string> named;
    std::vector<ULONG> files;
    std::vector<std::u16string> names;
    for (ULONG i = 0; i < kFiles; ++i) {
        files.push_back(100 + 2 * i * 13);
        names.push_back(Name("f", i));
        StoreFile(files.back(), names.back());
        named[files.back()] = names.back();
        order.push_front(files.back());
        frames[files.back()] = 0;
    }
    StoreFolder(kFolder, files);
    ASSERT_TRUE(Index(kFolder, files, names, ZarFsVolCacheNameChanges(&cache_)));
    std::mt19937 rng(0x4E414D45);
    for (int op = 0; op < 20000; ++op) {
        ULONG block = 2 * (rng() % (ZARFS_FILE_CACHE_CAPACITY + 1500)) + 100;
        ULONG kind = rng() % 10;
        if (kind < 5) {
            ZAR_FILE_INFO e = File(ULONG(op));
            std::u16string name = named.count(block) && kind < 4 ? named[block] : Name("r", ULONG(op));
            ZarFsHwStoreName(e.Name, name.data(), ULONG(name.size()));
            ZarFsVolCacheFileEntryCache(&cache_, &e, block);
            named[block] = name;
            order.remove(block);
            order.push_front(block);
            frames[block] = ULONG(op);
            if (order.size() > ZARFS_FILE_CACHE_CAPACITY) {
                frames.erase(order.back());
                order.pop_back();
            }
        } else {
            ULONG got = 0;
            bool modelHas = frames.count(block) != 0;
            ASSERT_EQ(Cached(block, &got), modelHas) << "op " << op << " block " << block;
            if (modelHas) {
                ASSERT_EQ(got, frames[block]);
                order.remove(block);
                order.push_front(block);
            }
        }
        ASSERT_EQ(cache_.FileCount, order.size());
    }
    for (ULONG i = 0; i < kFiles; ++i) {
        std::vector<LONG> slots = Slots(kFolder, named[files[i]]);
        EXPECT_TRUE(std::find(slots.begin(), slots.end(), LONG(i)) != slots.end()) << i;
    }
}

}  // namespace
