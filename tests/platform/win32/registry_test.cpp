// The registry functions: key paths made level by level, the predefined
// keys' places, values through the A and W functions (ANSI strings stored
// as UTF-16), the size rules, enumeration and deletion.
#include <vector>

#include "w32_machine.h"

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\W32Test\\Deep\\Key", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key_, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, DWORD{REG_CREATED_NEW_KEY});
    }
    void TearDown() override
    {
        RegCloseKey(key_);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\W32Test\\Deep\\Key\\Child");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\W32Test\\Deep\\Key");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\W32Test\\Deep");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\W32Test");
    }
    HKEY key_ = nullptr;
};

TEST_F(Registry, AnsiStringsAreStoredAsUtf16AndComeBackTheSame)
{
    const char text[] = "Caf\xE9 \x80 5";  // Windows-1252: e acute, euro sign
    ASSERT_EQ(RegSetValueExA(key_, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);

    // The W side sees UTF-16 with the terminator that was given.
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key_, u"Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(size, sizeof text * 2);
    std::u16string wide(size / 2, u'\0');
    ASSERT_EQ(RegQueryValueExW(key_, u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(wide.data()), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(wide, std::u16string(u"Caf\u00E9 \u20AC 5") + u'\0');

    // The A side: ANSI bytes, sizes in ANSI bytes.
    char back[32];
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key_, "Name", nullptr, nullptr, reinterpret_cast<BYTE*>(back), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof text);
    size = sizeof back;
    ASSERT_EQ(RegQueryValueExA(key_, "name", nullptr, &type, reinterpret_cast<BYTE*>(back), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof text);
    EXPECT_STREQ(back, text);

    // Binary data is not converted.
    const BYTE blob[] = {1, 0, 2, 0, 3};
    ASSERT_EQ(RegSetValueExA(key_, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    BYTE got[8];
    size = sizeof got;
    ASSERT_EQ(RegQueryValueExA(key_, "Blob", nullptr, &type, got, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof blob);
    EXPECT_EQ(std::vector<BYTE>(got, got + size), std::vector<BYTE>(blob, blob + sizeof blob));
}

TEST_F(Registry, PredefinedKeysNameTheirPlaces)
{
    DWORD value = 0x1234;
    HKEY user;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\W32Test", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(user, "Pref", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4), ERROR_SUCCESS);
    HKEY same;
    ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, ".Default\\Software\\W32Test", 0, KEY_READ, &same), ERROR_SUCCESS);
    DWORD read = 0, size = sizeof read;
    EXPECT_EQ(RegQueryValueExA(same, "Pref", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size), ERROR_SUCCESS);
    EXPECT_EQ(read, 0x1234u);
    RegCloseKey(same);
    RegCloseKey(user);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\W32Test"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\W32Test", 0, KEY_READ, &same), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, EnumerationAndDeletion)
{
    DWORD one = 1, two = 2;
    RegSetValueExA(key_, "First", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
    RegSetValueExA(key_, "Second", 0, REG_SZ, reinterpret_cast<const BYTE*>("two"), 4);
    RegSetValueExA(key_, "Third", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two), 4);
    HKEY child;
    ASSERT_EQ(RegCreateKeyExA(key_, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr), ERROR_SUCCESS);
    RegCloseKey(child);

    char name[16];
    DWORD cch = sizeof name, type = 0;
    BYTE data[16];
    DWORD cb = sizeof data;
    ASSERT_EQ(RegEnumValueA(key_, 1, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Second");  // values in the order they were first set
    EXPECT_EQ(cch, 6u);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(cb, 4u);
    EXPECT_STREQ(reinterpret_cast<char*>(data), "two");
    cch = 6;  // no room for the terminator
    EXPECT_EQ(RegEnumValueA(key_, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(key_, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    cch = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(key_, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Child");
    cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key_, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    EXPECT_EQ(RegDeleteValueA(key_, "Second"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key_, "Second"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key_, "Second", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    // A key with subkeys stays.
    EXPECT_NE(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\W32Test\\Deep"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key_, "Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(key_), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x7FF0)), ERROR_INVALID_HANDLE);
}

}  // namespace
