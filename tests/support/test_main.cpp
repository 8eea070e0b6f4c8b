// The main of every test program. Besides running the tests, it fails any test during
// which the program gains a second thread. Where 32-bit programs run under qemu-user,
// a thread that takes a signal (Wine answers many waits, pipe reads and file queries
// with one) goes on as the thread the program started last: with a second thread
// about, a test can hang for good or get another thread's answers, by chance. A test
// program with one thread cannot meet that, so none may start another: what needs a
// thread of its own runs in a child process (tests/holder_process.cpp,
// tests/operation_worker.cpp). GoogleTest itself is built without its thread support,
// which would start a watcher thread for each thread that uses its per-thread state.
#include <gtest/gtest.h>
#include <windows.h>

namespace {

// Threads the program has started since it began. Windows tells a program of each new
// thread through its TLS callbacks, before the thread runs anything of its own.
volatile LONG threadsStarted = 0;

void NTAPI CountThread(PVOID, DWORD reason, PVOID)
{
    if (reason == DLL_THREAD_ATTACH) InterlockedIncrement(&threadsStarted);
}

class OneThreadOnly : public testing::EmptyTestEventListener {
    LONG before = 0;
    void OnTestStart(const testing::TestInfo&) override { before = threadsStarted; }
    void OnTestEnd(const testing::TestInfo& test) override
    {
        LONG started = threadsStarted - before;
        if (started > 0)
            ADD_FAILURE() << test.test_suite_name() << "." << test.name() << " started " << started
                          << " thread(s): a test program must keep to one thread, and run what needs "
                             "another in a child process (see the README, Testing as on a machine without "
                             "32-bit support)";
    }
};

}  // namespace

// The callback's entry in the TLS directory's list, which MinGW's start-up code ends.
extern "C" __attribute__((section(".CRT$XLQ"), used)) const PIMAGE_TLS_CALLBACK qelCountThreadCallback = CountThread;

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new OneThreadOnly);
    return RUN_ALL_TESTS();
}
