// Sending, posting and fetching messages; the thread queues with their
// posted messages, quit flags, paints and timers on the machine clock.
#include <algorithm>
#include <condition_variable>

#include "user_internal.h"

namespace user {
namespace {

// A message sent from another thread, waiting for this thread to run it.
struct Sent {
    MSG msg;
    LRESULT result = 0;
    bool done = false;
};

struct Queue {
    std::deque<Sent*> sent;
    std::deque<MSG> posted;
    bool quit = false;
    int quitCode = 0;
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT elapse;
    TIMERPROC proc;
    DWORD due;
    std::thread::id thread;
};

std::map<std::thread::id, Queue>& Queues()
{
    static std::map<std::thread::id, Queue> queues;
    return queues;
}
std::vector<Timer>& Timers()
{
    static std::vector<Timer> timers;
    return timers;
}
std::condition_variable_any& Posted()
{
    static std::condition_variable_any cv;
    return cv;
}
UINT_PTR nextTimerId = 0x7F00;

// Runs the messages other threads sent to this thread's windows, as
// Windows does whenever the thread looks at its queue.
void RunSentMessages()
{
    for (;;) {
        Sent* s;
        WNDPROC proc = nullptr;
        {
            std::lock_guard guard(Lock());
            Queue& q = Queues()[std::this_thread::get_id()];
            if (q.sent.empty()) return;
            s = q.sent.front();
            q.sent.pop_front();
            if (Window* w = FindQuiet(s->msg.hwnd)) proc = w->proc;
        }
        const LRESULT r = proc ? proc(s->msg.hwnd, s->msg.message, s->msg.wParam, s->msg.lParam) : 0;
        {
            std::lock_guard guard(Lock());
            s->result = r;
            s->done = true;
        }
        Posted().notify_all();
    }
}

bool Matches(const MSG& m, HWND filter, UINT first, UINT last)
{
    if (filter == reinterpret_cast<HWND>(-1)) {
        if (m.hwnd) return false;
    } else if (filter && m.hwnd != filter && !IsChild(filter, m.hwnd)) {
        return false;
    }
    if (first == 0 && last == 0) return true;
    return m.message >= first && m.message <= last;
}

// True when 'a' is due at or before 'now' on the wrapping millisecond clock.
bool Due(DWORD due, DWORD now) { return static_cast<LONG>(now - due) >= 0; }

Window* PaintCandidate(Window& w, HWND filter)
{
    if (!(w.style & WS_VISIBLE) || w.dead) return nullptr;
    if (!IsRectEmpty(&w.update) && (!filter || filter == w.handle || IsChild(filter, w.handle))) return &w;
    for (Window* c : w.children)
        if (Window* p = PaintCandidate(*c, filter)) return p;
    return nullptr;
}

// One step of GetMessage/PeekMessage: posted messages, then quit, then
// paints, then timers, as Windows orders them.
bool Fetch(MSG* out, HWND filter, UINT first, UINT last, bool remove)
{
    std::lock_guard guard(Lock());
    const auto self = std::this_thread::get_id();
    Queue& q = Queues()[self];
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!Matches(*it, filter, first, last)) continue;
        *out = *it;
        if (remove) q.posted.erase(it);
        return true;
    }
    if (q.quit) {
        *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, GetTickCount(), {0, 0}};
        if (remove) q.quit = false;
        return true;
    }
    const bool wantPaint = (first == 0 && last == 0) || (WM_PAINT >= first && WM_PAINT <= last);
    if (wantPaint)
        for (Window* t : TopLevel()) {
            if (t->thread != self) continue;
            if (Window* p = PaintCandidate(*t, filter)) {
                *out = MSG{p->handle, WM_PAINT, 0, 0, GetTickCount(), {0, 0}};
                return true;
            }
        }
    const bool wantTimer = (first == 0 && last == 0) || (WM_TIMER >= first && WM_TIMER <= last);
    if (wantTimer) {
        const DWORD now = GetTickCount();
        for (Timer& t : Timers()) {
            if (t.thread != self || !Due(t.due, now)) continue;
            if (filter && t.hwnd != filter && !IsChild(filter, t.hwnd)) continue;
            *out = MSG{t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc), now, {0, 0}};
            if (remove) t.due = now + t.elapse;
            return true;
        }
    }
    return false;
}

// Waits for something to arrive: a post from another thread, or the next
// timer on the machine clock (Sleep moves a virtual clock on).
void WaitForWork()
{
    DWORD wait = 0xFFFFFFFF;
    {
        std::lock_guard guard(Lock());
        const DWORD now = GetTickCount();
        for (const Timer& t : Timers())
            if (t.thread == std::this_thread::get_id())
                wait = std::min<DWORD>(wait, Due(t.due, now) ? 0 : t.due - now);
    }
    if (wait != 0xFFFFFFFF) {
        Sleep(std::min<DWORD>(wait, 50));
        return;
    }
    std::unique_lock guard(Lock());
    Posted().wait_for(guard, std::chrono::milliseconds(50));
}

}  // namespace

void PostTo(std::thread::id thread, const MSG& msg)
{
    {
        std::lock_guard guard(Lock());
        Queues()[thread].posted.push_back(msg);
    }
    Posted().notify_all();
}

void RemoveWindowMessages(HWND hwnd)
{
    std::lock_guard guard(Lock());
    for (auto& [id, q] : Queues())
        q.posted.erase(std::remove_if(q.posted.begin(), q.posted.end(), [hwnd](const MSG& m) { return m.hwnd == hwnd; }),
                       q.posted.end());
}

void KillWindowTimers(HWND hwnd)
{
    std::lock_guard guard(Lock());
    auto& t = Timers();
    t.erase(std::remove_if(t.begin(), t.end(), [hwnd](const Timer& x) { return x.hwnd == hwnd; }), t.end());
}

bool AnyPaintPending(std::thread::id thread)
{
    std::lock_guard guard(Lock());
    for (Window* t : TopLevel())
        if (t->thread == thread && PaintCandidate(*t, nullptr)) return true;
    return false;
}

}  // namespace user

using namespace user;

namespace {

std::vector<HWND> TopLevelHandles()
{
    std::lock_guard guard(Lock());
    std::vector<HWND> out;
    for (Window* t : TopLevel()) out.push_back(t->handle);
    return out;
}

}  // namespace

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (hwnd == HWND_BROADCAST) {
        for (HWND t : TopLevelHandles()) SendMessageA(t, msg, wParam, lParam);
        return 0;
    }
    WNDPROC proc;
    std::thread::id owner;
    {
        std::lock_guard guard(Lock());
        Window* w = Find(hwnd);
        if (!w) return 0;
        proc = w->proc;
        owner = w->thread;
    }
    if (owner == std::this_thread::get_id()) return proc(hwnd, msg, wParam, lParam);
    // Another thread's window: its thread runs the procedure the next time
    // it looks at its queue, and this one waits, running what is sent to it
    // meanwhile (so two threads sending to each other do not stop).
    Sent sent{MSG{hwnd, msg, wParam, lParam, 0, {0, 0}}};
    {
        std::lock_guard guard(Lock());
        Queues()[owner].sent.push_back(&sent);
    }
    Posted().notify_all();
    for (;;) {
        RunSentMessages();
        std::unique_lock guard(Lock());
        if (sent.done) return sent.result;
        if (!FindQuiet(hwnd)) {
            // Destroyed before its thread got to the message.
            auto& q = Queues()[owner].sent;
            q.erase(std::remove(q.begin(), q.end(), &sent), q.end());
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        Posted().wait_for(guard, std::chrono::milliseconds(10));
    }
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (!proc) return 0;
    return proc(hwnd, msg, wParam, lParam);
}

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (hwnd == HWND_BROADCAST) {
        for (HWND t : TopLevelHandles()) PostMessageA(t, msg, wParam, lParam);
        return TRUE;
    }
    std::thread::id thread = std::this_thread::get_id();
    if (hwnd) {
        Window* w = Find(hwnd);
        if (!w) return FALSE;
        thread = w->thread;
    }
    PostTo(thread, MSG{hwnd, msg, wParam, lParam, GetTickCount(), {0, 0}});
    return TRUE;
}

BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam)
{
    // Thread ids here are this process's: only the calling thread's own id
    // is known to the window layer.
    if (threadId != GetCurrentThreadId()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PostTo(std::this_thread::get_id(), MSG{nullptr, msg, wParam, lParam, GetTickCount(), {0, 0}});
    return TRUE;
}

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove)
{
    if (!msg) return FALSE;
    if (hwnd && hwnd != reinterpret_cast<HWND>(-1) && !Find(hwnd)) return FALSE;
    RunSentMessages();
    return Fetch(msg, hwnd, first, last, (remove & PM_REMOVE) != 0);
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last)
{
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hwnd && hwnd != reinterpret_cast<HWND>(-1) && !Find(hwnd)) return -1;
    for (;;) {
        RunSentMessages();
        if (Fetch(msg, hwnd, first, last, true)) break;
        if (hwnd && !IsWindow(hwnd)) return -1;
        WaitForWork();
    }
    return msg->message != WM_QUIT;
}

BOOL WaitMessage()
{
    RunSentMessages();
    MSG m;
    if (!Fetch(&m, nullptr, 0, 0, false)) WaitForWork();
    return TRUE;
}

LRESULT DispatchMessageA(const MSG* msg)
{
    if (!msg) return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    if (!msg->hwnd) return 0;
    if (!Find(msg->hwnd)) return 0;
    LRESULT r = SendMessageA(msg->hwnd, msg->message, msg->wParam, msg->lParam);
    if (msg->message == WM_PAINT) {
        // A procedure that answers WM_PAINT without painting would be asked
        // again for ever; what it did not validate counts as painted.
        std::lock_guard guard(Lock());
        if (Window* w = FindQuiet(msg->hwnd)) SetRectEmpty(&w->update);
    }
    return r;
}

BOOL TranslateMessage(const MSG* msg)
{
    // Keys come from scripts as WM_KEYDOWN with the character already known
    // (script.h sends WM_CHAR itself), so there is nothing to translate.
    return msg && msg->message == WM_KEYDOWN;
}

void PostQuitMessage(int exitCode)
{
    std::lock_guard guard(Lock());
    Queue& q = Queues()[std::this_thread::get_id()];
    q.quit = true;
    q.quitCode = exitCode;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc)
{
    std::lock_guard guard(Lock());
    if (hwnd && !Find(hwnd)) return 0;
    elapse = std::max<UINT>(elapse, 10);  // Windows' shortest timer period
    const DWORD now = GetTickCount();
    if (hwnd)
        for (Timer& t : Timers())
            if (t.hwnd == hwnd && t.id == id) {
                t.elapse = elapse;
                t.proc = proc;
                t.due = now + elapse;
                return id ? id : 1;
            }
    if (!hwnd) id = ++nextTimerId;
    Timers().push_back(Timer{hwnd, id, elapse, proc, now + elapse, std::this_thread::get_id()});
    return id ? id : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id)
{
    std::lock_guard guard(Lock());
    auto& t = Timers();
    auto it = std::find_if(t.begin(), t.end(), [&](const Timer& x) { return x.hwnd == hwnd && x.id == id; });
    if (it == t.end()) {
        SetLastError(hwnd && !IsWindow(hwnd) ? DWORD(ERROR_INVALID_WINDOW_HANDLE) : DWORD(ERROR_INVALID_PARAMETER));
        return FALSE;
    }
    t.erase(it);
    // A WM_TIMER already posted is not in the queue here: timers are
    // generated when fetched, so nothing more to remove.
    return TRUE;
}
