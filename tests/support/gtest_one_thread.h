// Given to GoogleTest's own sources only, when it is built without its thread support
// (see tests/CMakeLists.txt). Its Windows death tests hold their handles in
// AutoHandle, which it defines only together with that support.
#ifndef QELSETUP_TESTS_GTEST_ONE_THREAD_H
#define QELSETUP_TESTS_GTEST_ONE_THREAD_H

#include <windows.h>

namespace testing {
namespace internal {

class AutoHandle {
public:
    typedef void* Handle;
    AutoHandle() = default;
    explicit AutoHandle(Handle handle) : handle_(handle) {}
    AutoHandle(const AutoHandle&) = delete;
    AutoHandle& operator=(const AutoHandle&) = delete;
    ~AutoHandle() { Reset(); }
    Handle Get() const { return handle_; }
    void Reset() { Reset(INVALID_HANDLE_VALUE); }
    void Reset(Handle handle)
    {
        if (handle_ != handle && handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    Handle handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace internal
}  // namespace testing

#endif
