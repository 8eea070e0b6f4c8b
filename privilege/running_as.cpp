// The two exported group checks: the questions the permission gate asks, for any
// caller of the module to ask as well.
#include "privilege/running_as.h"

#include "privilege/checks.h"

#include <windows.h>

int QEL_CALL RunningAsAdministrator(void)
{
    return IsBuiltinGroupMember(DOMAIN_ALIAS_RID_ADMINS);
}

int QEL_CALL RunningAsPowerUser(void)
{
    return IsAdministratorOrPowerUser();
}
