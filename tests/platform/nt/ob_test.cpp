// Object manager and processes: the name space (directories, symbolic
// links, names and their case, a parse object taking over a path),
// permanent and temporary objects, per-process handle tables with their
// type and access checks, duplication, and the close and delete procedures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/nt_internal.h"
#include "platform/nt/nt_syscall.h"

namespace {

// A test type that records its close and delete procedures.
struct Widget {
    int value;
};
std::vector<std::string> procedures;
OBJECT_TYPE WidgetType = {
    "Widget",
    [](PVOID) { procedures.push_back("delete"); },
    [](PEPROCESS, PVOID, ULONG left) { procedures.push_back("close:" + std::to_string(left)); },
    nullptr,
    false,
    0x1,
    0x2,
    0x4,
    0xF,
};

struct Name {
    std::u16string text;
    UNICODE_STRING u;
    OBJECT_ATTRIBUTES oa;
    Name(const std::u16string& s, ULONG attributes = OBJ_CASE_INSENSITIVE, HANDLE root = nullptr) : text(s)
    {
        u = {USHORT(text.size() * 2), USHORT(text.size() * 2), text.data()};
        InitializeObjectAttributes(&oa, &u, attributes, root, nullptr);
    }
};

class Ob : public ::testing::Test {
protected:
    void SetUp() override
    {
        ObInitialize();
        nt::ClockStart(nt::ClockMode::Virtual);
        procedures.clear();
    }
    void TearDown() override
    {
        ObShutdown();
        nt::ClockStop();
    }
    static Widget* MakeWidget(const std::u16string& name, ULONG attributes, HANDLE* handle, NTSTATUS expect)
    {
        Name n(name, attributes);
        PVOID body;
        EXPECT_EQ(ObCreateObject(&WidgetType, name.empty() ? nullptr : &n.oa, KernelMode, sizeof(Widget), &body),
                  STATUS_SUCCESS);
        EXPECT_EQ(ObInsertObject(body, 0xF, 0, handle), expect);
        return static_cast<Widget*>(body);
    }
    static PVOID Ref(HANDLE h, POBJECT_TYPE type = nullptr, KPROCESSOR_MODE mode = UserMode)
    {
        PVOID o = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(h, 0, type, mode, &o, nullptr), STATUS_SUCCESS);
        if (o) ObDereferenceObject(o);
        return o;
    }
};

TEST_F(Ob, NamedObjectIsTheSameToEveryOpener)
{
    Name name(u"\\BaseNamedObjects\\ZarFieldSync0");
    HANDLE created, a, b;
    ASSERT_EQ(NtCreateEvent(&created, EVENT_ALL_ACCESS, &name.oa, NotificationEvent, FALSE), STATUS_SUCCESS);
    Name other(u"\\basenamedobjects\\ZARFIELDSYNC0");
    ASSERT_EQ(NtOpenEvent(&a, EVENT_ALL_ACCESS, &name.oa), STATUS_SUCCESS);
    ASSERT_EQ(NtOpenEvent(&b, EVENT_ALL_ACCESS, &other.oa), STATUS_SUCCESS);
    EXPECT_EQ(Ref(a), Ref(created));
    EXPECT_EQ(Ref(b), Ref(created));
    EXPECT_EQ(NtSetEvent(a, nullptr), STATUS_SUCCESS);
    LARGE_INTEGER zero{};
    EXPECT_EQ(NtWaitForSingleObject(b, FALSE, &zero), STATUS_SUCCESS);

    HANDLE again;
    EXPECT_EQ(NtCreateEvent(&again, EVENT_ALL_ACCESS, &name.oa, NotificationEvent, FALSE),
              STATUS_OBJECT_NAME_COLLISION);
    Name openIf(u"\\BaseNamedObjects\\ZarFieldSync0", OBJ_OPENIF);
    EXPECT_EQ(NtCreateEvent(&again, EVENT_ALL_ACCESS, &openIf.oa, NotificationEvent, FALSE),
              STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(Ref(again), Ref(created));
    for (HANDLE h : {created, a, b, again}) NtClose(h);
    // The last handle took the temporary name with it.
    EXPECT_EQ(NtOpenEvent(&a, EVENT_ALL_ACCESS, &name.oa), STATUS_OBJECT_NAME_NOT_FOUND);
}

// Names that programs give their events, mutexes, semaphores, timers and
// sections keep their case unless the caller asks to ignore it; the
// directories and links on the way ignore case whatever the caller asks.
TEST_F(Ob, NamesOfSynchronisationObjectsAreCaseSensitiveUnlessAskedOtherwise)
{
    Name name(u"\\BaseNamedObjects\\CaseEvent", 0);
    HANDLE created;
    ASSERT_EQ(NtCreateEvent(&created, EVENT_ALL_ACCESS, &name.oa, NotificationEvent, FALSE), STATUS_SUCCESS);
    struct Case {
        const char16_t* path;
        ULONG attributes;
        NTSTATUS expect;
    } cases[] = {
        {u"\\BaseNamedObjects\\CaseEvent", 0, STATUS_SUCCESS},
        {u"\\BaseNamedObjects\\CASEEVENT", 0, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\BaseNamedObjects\\caseevent", OBJ_CASE_INSENSITIVE, STATUS_SUCCESS},
        {u"\\BASENAMEDOBJECTS\\CaseEvent", 0, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        Name open(c.path, c.attributes);
        HANDLE h = nullptr;
        EXPECT_EQ(NtOpenEvent(&h, EVENT_ALL_ACCESS, &open.oa), c.expect) << std::u16string(c.path).size();
        if (h) {
            EXPECT_EQ(Ref(h), Ref(created));
            NtClose(h);
        }
    }
    // A name differing in case only is another object, of any type...
    Name upper(u"\\BaseNamedObjects\\CASEEVENT", 0);
    HANDLE other;
    ASSERT_EQ(NtCreateMutant(&other, MUTANT_ALL_ACCESS, &upper.oa, FALSE), STATUS_SUCCESS);
    EXPECT_NE(Ref(other), Ref(created));
    // ...unless its creator ignores case.
    Name folded(u"\\BaseNamedObjects\\caseevent", OBJ_CASE_INSENSITIVE);
    HANDLE again;
    EXPECT_EQ(NtCreateEvent(&again, EVENT_ALL_ACCESS, &folded.oa, NotificationEvent, FALSE),
              STATUS_OBJECT_NAME_COLLISION);
    NtClose(other);
    NtClose(created);
}

TEST_F(Ob, HandleChecks)
{
    HANDLE event;
    Name name(u"\\BaseNamedObjects\\Checked");
    ASSERT_EQ(NtCreateEvent(&event, EVENT_ALL_ACCESS, &name.oa, NotificationEvent, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(ULONG_PTR(event) % 4, 0u);
    PVOID o;
    EXPECT_EQ(ObReferenceObjectByHandle(event, 0, IoFileObjectType, UserMode, &o, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    HANDLE query;
    ASSERT_EQ(NtOpenEvent(&query, EVENT_QUERY_STATE, &name.oa), STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByHandle(query, EVENT_MODIFY_STATE, nullptr, UserMode, &o, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ObReferenceObjectByHandle(query, EVENT_MODIFY_STATE, nullptr, KernelMode, &o, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(o);

    // Kernel handles belong to the system process and only kernel mode.
    Name kernelName(u"\\BaseNamedObjects\\Checked", OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE);
    HANDLE kernel;
    ASSERT_EQ(ObOpenObjectByName(&kernelName.oa, nullptr, KernelMode, EVENT_ALL_ACCESS, nullptr, &kernel),
              STATUS_SUCCESS);
    EXPECT_NE(ULONG_PTR(kernel) & 0x80000000u, 0u);
    EXPECT_EQ(ObReferenceObjectByHandle(kernel, 0, nullptr, UserMode, &o, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(NtClose(kernel), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Ref(kernel, nullptr, KernelMode), Ref(event));
    EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);

    NtClose(query);
    HANDLE stale = query;
    for (HANDLE bad : {HANDLE(nullptr), HANDLE(ULONG_PTR(3)), HANDLE(ULONG_PTR(0x4000)), stale}) {
        EXPECT_EQ(ObReferenceObjectByHandle(bad, 0, nullptr, UserMode, &o, nullptr), STATUS_INVALID_HANDLE)
            << bad;
        EXPECT_EQ(NtClose(bad), STATUS_INVALID_HANDLE) << bad;
    }
    NtClose(event);
}

TEST_F(Ob, HandleTablesArePerProcess)
{
    PEPROCESS app = PsCreateUserProcess("app");
    PKTHREAD self = KeGetCurrentThread();
    PEPROCESS home = PsGetThreadProcess(self);
    HANDLE h;
    Widget* w = MakeWidget(u"", 0, &h, STATUS_SUCCESS);
    EXPECT_EQ(Ref(h), w);
    PsSetThreadProcess(self, app);
    EXPECT_EQ(PsGetCurrentProcess(), app);
    PVOID o;
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, UserMode, &o, nullptr), STATUS_INVALID_HANDLE);
    PsSetThreadProcess(self, home);

    // Duplicated into the other process; closing the source leaves it there.
    HANDLE appHandle = nullptr, appInHome;
    ASSERT_EQ(ObOpenObjectByPointer(app, 0, nullptr, PROCESS_ALL_ACCESS, PsProcessType, KernelMode, &appInHome),
              STATUS_SUCCESS);
    ASSERT_EQ(NtDuplicateObject(NtCurrentProcess(), h, appInHome, &appHandle, 0, 0,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE),
              STATUS_SUCCESS);
    EXPECT_EQ(procedures, (std::vector<std::string>{"close:0"}));
    EXPECT_EQ(NtClose(h), STATUS_INVALID_HANDLE);
    PsSetThreadProcess(self, app);
    EXPECT_EQ(Ref(appHandle), w);
    PsSetThreadProcess(self, home);
    NtClose(appInHome);

    // Ending the process closes its handle: the close procedure, then delete.
    PsTerminateUserProcess(app, STATUS_SUCCESS);
    EXPECT_EQ(procedures, (std::vector<std::string>{"close:0", "close:0", "delete"}));
}

TEST_F(Ob, CloseProcedureSeesWhatIsLeftInTheProcess)
{
    HANDLE first, second;
    Widget* w = MakeWidget(u"\\KernelObjects\\Twice", 0, &first, STATUS_SUCCESS);
    Name name(u"\\KernelObjects\\Twice");
    ASSERT_EQ(ObOpenObjectByName(&name.oa, &WidgetType, UserMode, 0x1, nullptr, &second), STATUS_SUCCESS);
    EXPECT_EQ(ObGetHandleCount(w), 2u);
    ObReferenceObject(w);
    NtClose(second);
    NtClose(first);
    EXPECT_EQ(procedures, (std::vector<std::string>{"close:1", "close:0"}));
    EXPECT_EQ(ObGetObjectName(w), u"");  // a temporary name goes with the last handle
    ObDereferenceObject(w);
    EXPECT_EQ(procedures.back(), "delete");
}

TEST_F(Ob, PermanentObjectOutlivesItsHandlesUntilMadeTemporary)
{
    HANDLE h;
    Widget* w = MakeWidget(u"\\KernelObjects\\Keep", OBJ_PERMANENT, &h, STATUS_SUCCESS);
    NtClose(h);
    EXPECT_EQ(ObGetObjectName(w), u"\\KernelObjects\\Keep");
    Name name(u"\\KERNELOBJECTS\\keep");
    PVOID found;
    ASSERT_EQ(ObReferenceObjectByName(&name.u, OBJ_CASE_INSENSITIVE, nullptr, 0, &WidgetType, KernelMode, nullptr,
                                      &found),
              STATUS_SUCCESS);
    EXPECT_EQ(found, w);
    EXPECT_EQ(ObReferenceObjectByName(&name.u, 0, nullptr, 0, IoFileObjectType, KernelMode, nullptr, &found),
              STATUS_OBJECT_TYPE_MISMATCH);
    ObMakeTemporaryObject(w);
    EXPECT_EQ(procedures, (std::vector<std::string>{"close:0"}));
    ObDereferenceObject(w);
    EXPECT_EQ(procedures.back(), "delete");
    MakeWidget(u"\\NoSuchDirectory\\X", 0, nullptr, STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(Ob, SymbolicLinksAndDosDevices)
{
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\Objects"), target = RTL_CONSTANT_STRING(u"\\KernelObjects");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    HANDLE h;
    Widget* w = MakeWidget(u"\\DosDevices\\Objects\\Thing", OBJ_PERMANENT, &h, STATUS_SUCCESS);
    EXPECT_EQ(ObGetObjectName(w), u"\\KernelObjects\\Thing");
    NtClose(h);

    Name viaLink(u"\\??\\objects\\thing");
    ASSERT_EQ(ObOpenObjectByName(&viaLink.oa, nullptr, KernelMode, 0, nullptr, &h), STATUS_SUCCESS);
    EXPECT_EQ(Ref(h), w);
    NtClose(h);

    Name linkName(u"\\DosDevices\\Objects");
    ASSERT_EQ(ZwOpenSymbolicLinkObject(&h, SYMBOLIC_LINK_ALL_ACCESS, &linkName.oa), STATUS_SUCCESS);
    WCHAR buffer[32];
    UNICODE_STRING text{0, sizeof(buffer), buffer};
    ULONG length;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(h, &text, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text.Buffer, text.Length / 2), u"\\KernelObjects");
    ZwClose(h);

    bool listed = false;
    for (auto& e : ObListDirectory(u"\\??"))
        if (e.name == u"Objects") listed = e.type == "SymbolicLink" && e.linkTarget == u"\\KernelObjects";
    EXPECT_TRUE(listed);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(ObOpenObjectByName(&viaLink.oa, nullptr, KernelMode, 0, nullptr, &h), STATUS_OBJECT_PATH_NOT_FOUND);
    ObMakeTemporaryObject(w);
}

// A parse object takes over the rest of a path below it.
std::u16string parsedRest;
NTSTATUS ParseInto(PVOID body, const std::u16string& remaining, ULONG, ACCESS_MASK, KPROCESSOR_MODE, PVOID,
                   PVOID* opened, std::u16string*)
{
    parsedRest = remaining;
    if (remaining == u"\\missing") return STATUS_OBJECT_NAME_NOT_FOUND;
    ObReferenceObject(body);
    *opened = body;
    return STATUS_SUCCESS;
}

TEST_F(Ob, ParseObjectTakesOverTheRestOfThePath)
{
    static OBJECT_TYPE rootType = {"Root", nullptr, nullptr, ParseInto, false, 1, 2, 4, 0xF};
    Name name(u"\\Hive", OBJ_PERMANENT);
    PVOID body;
    ASSERT_EQ(ObCreateObject(&rootType, &name.oa, KernelMode, 8, &body), STATUS_SUCCESS);
    ASSERT_EQ(ObInsertObject(body, 0, 0, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(body);

    Name deep(u"\\HIVE\\Machine\\System");
    HANDLE h;
    ASSERT_EQ(ObOpenObjectByName(&deep.oa, nullptr, KernelMode, 0, nullptr, &h), STATUS_SUCCESS);
    EXPECT_EQ(parsedRest, u"\\Machine\\System");
    // Relative to a handle of the parse object, the rest is the relative name.
    Name relative(u"Software", OBJ_CASE_INSENSITIVE, h);
    HANDLE h2;
    ASSERT_EQ(ObOpenObjectByName(&relative.oa, nullptr, UserMode, 0, nullptr, &h2), STATUS_SUCCESS);
    EXPECT_EQ(parsedRest, u"\\Software");
    Name missing(u"\\Hive\\missing");
    EXPECT_EQ(ObOpenObjectByName(&missing.oa, nullptr, KernelMode, 0, nullptr, &h), STATUS_OBJECT_NAME_NOT_FOUND);
    NtClose(h2);
}

}  // namespace
