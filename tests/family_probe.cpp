// Run by privilege_test under names for which Wine reports an older Windows. Makes its
// thread's token unreadable, unless told "as-started", then exits with
// family * 10 + the gate's answer.
#include "privilege/checks.h"
#include "support/test_support.h"

#include <cstring>
#include <optional>

int main(int argc, char** argv)
{
    std::optional<qeltest::UnopenableThreadToken> unopenable;
    if (argc < 2 || strcmp(argv[1], "as-started") != 0) {
        unopenable.emplace();
        if (!unopenable->active) return 99;
    }
    char message[qeltest::kMessageBufferForTests] = "";
    int family = GetWindowsFamily();
    int allowed = CheckConfigurePermission(message);
    return family * 10 + allowed;
}
