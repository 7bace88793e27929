// Driving windows the way a user would, for tests and the demo: clicks,
// keys, typing and choosing items, reading back what controls show, and
// a hook the modal loops run when they have nothing to do (so a script can
// work a modal dialog from inside its loop).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "user.h"

namespace user::script {

// A left click at the centre of a window (or at a client point), as the
// mouse would deliver it: down then up, to the window under the point.
bool Click(HWND hwnd);
bool ClickAt(HWND hwnd, POINT client);
bool DoubleClick(HWND hwnd);
// A right click: button down and up, then WM_CONTEXTMENU as Windows sends it.
bool RightClickAt(HWND hwnd, POINT client);
// A key pressed and released, posted to the focus so a dialog's keyboard
// handling (Tab, Enter, Escape, arrows) sees it; 'shift' holds Shift down.
bool Key(UINT vk, bool shift = false);
// Characters typed into the focused window (or 'hwnd', focused first).
bool Type(HWND hwnd, const std::string& text);
// Chooses an item of a list box, combo box, list view or tab control as a
// user would, with the control's notifications.
bool Choose(HWND hwnd, int index);
// Moves a trackbar's thumb or a scroll bar as a user drags it (the
// thumb-position notification, then the end of tracking).
bool Drag(HWND hwnd, int position);

// The command the next popup menu returns (as if clicked), 0 for none; and
// the texts of the last popup menu shown (separators as "-", a checked
// item with a leading "*").
void ChooseMenuCommand(UINT id);
std::vector<std::string> LastMenu();

// What a control shows: its text, or a list's chosen item's text.
std::string Text(HWND hwnd);
// The dialog item of 'dialog' with this id, or null.
HWND Item(HWND dialog, int id);

// Runs every paint and posted message waiting in this thread's queue.
void Pump();

// The idle hook: called with the modal window whenever a modal loop (a
// dialog box, a property sheet, a message box) runs out of messages. It
// returns false when it did nothing, and the loop then waits for the next
// message. Steps run one a call, in order.
using Step = std::function<void(HWND modal)>;
void SetIdleSteps(std::vector<Step> steps);
void ClearIdleSteps();
int PendingSteps();

// Message boxes: by default one with no idle steps waiting is answered with
// its default button and recorded as unexpected (a test fails on it); with
// steps waiting it is a real dialog the steps can look at and answer.
struct MessageBoxRecord {
    std::string caption;
    std::string text;
    UINT type;
};
std::vector<MessageBoxRecord> TakeUnexpectedMessageBoxes();
// Answers message boxes with 'answer' (IDOK, IDYES...) and records them as
// expected; 0 stops doing so.
void AnswerMessageBoxes(int answer);
std::vector<MessageBoxRecord> TakeAnsweredMessageBoxes();

}  // namespace user::script
