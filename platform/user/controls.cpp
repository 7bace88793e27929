// The predefined window classes, registered once on first use.
#include "user_internal.h"

namespace user {

void RegisterButtonClass();
void RegisterStaticClass();
void RegisterEditClass();
void RegisterListBoxClass();
void RegisterComboBoxClass();
void RegisterScrollBarClass();
void RegisterDialogClass();
void RegisterTabClass();
void RegisterTrackbarClasses();
void RegisterUpDownClasses();
void RegisterListViewClasses();
void RegisterTreeViewClass();

void RegisterControlClasses()
{
    static bool done = false;
    std::lock_guard guard(Lock());
    if (done) return;
    done = true;
    RegisterButtonClass();
    RegisterStaticClass();
    RegisterEditClass();
    RegisterListBoxClass();
    RegisterComboBoxClass();
    RegisterScrollBarClass();
    RegisterDialogClass();
    RegisterTabClass();
    RegisterTrackbarClasses();
    RegisterUpDownClasses();
    RegisterListViewClasses();
    RegisterTreeViewClass();
}

}  // namespace user
