// Run by privilege_test under names for which Wine reports an older Windows. Makes its
// thread's token unreadable, then exits with family * 10 + the gate's answer.
#include "privilege/checks.h"
#include "support/test_support.h"

int main()
{
    qeltest::UnopenableThreadToken unopenable;
    if (!unopenable.active) return 99;
    char message[qeltest::kMessageBufferForTests] = "";
    int family = GetWindowsFamily();
    int allowed = CheckConfigurePermission(message);
    return family * 10 + allowed;
}
