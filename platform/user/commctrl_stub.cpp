#include "user_internal.h"
namespace user {
void RegisterCommonControlClasses() {}
}
