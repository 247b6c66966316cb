// What the whole-library tests share: a sandbox registry key, a window, a
// temporary folder, the argument values tried for each role, the base
// arguments of each native, the checks made after every call and the clean-up
// of what a call made.
#ifndef ZARN_TEST_STRESS_BED_H
#define ZARN_TEST_STRESS_BED_H

#include "native_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace stress {

constexpr jint hkeyCurrentUser = static_cast<jint>(0x80000001);
extern const char* const sandboxPath;  // below HKEY_CURRENT_USER

// Objects that live for a whole test: made and removed on the test's thread.
class Bed {
public:
    Bed();
    ~Bed();
    Bed(const Bed&) = delete;
    Bed& operator=(const Bed&) = delete;

    // The arguments of a call that does its work without blocking.
    std::vector<Arg> baseArgs(TestJni& jni, const Entry& e);
    // The values a sweep tries in place of an argument of this role.
    std::vector<Arg> variants(TestJni& jni, Role role);

    // After a call: gives back what it made (handles, windows) and checks the
    // rules that hold for every call. Clears any pending exception.
    void afterCall(TestJni& jni, const Entry& e, const std::vector<Arg>& args, const Outcome& outcome,
                   const std::string& context);

    const std::string& tempDir() const { return tempDir_; }
    HWND window() const { return window_; }

private:
    std::string tempDir_;
    HWND window_ = nullptr;
    jint closedHandle_ = 0;
    jint destroyedWindow_ = 0;
    int pipeCounter_ = 0;
    HANDLE watchEvent_ = nullptr;  // an event and a key of the sandbox for the watch natives
    HKEY watchKey_ = nullptr;
};

// HKEY_CURRENT_USER written out, every key and value, the sandbox left out.
std::string dumpCurrentUser();

}  // namespace stress

#endif
