// All 46 natives of the library in one table, each callable with a vector of
// generic arguments, so that one loop can sweep arguments, inject JNI faults
// or draw random calls across the whole library.
#ifndef ZARN_TEST_NATIVE_TABLE_H
#define ZARN_TEST_NATIVE_TABLE_H

#include "natives.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace stress {

using testjni::TestJni;

// What an argument stands for: it decides the values a sweep tries.
enum class Role {
    Root,       // registry root key
    SubKey,     // path below the root, inside the sandbox
    ValueName,  // registry value name
    Flag,       // jboolean
    Type,       // registry value type
    Value,      // Object for keySetValue
    Strings,    // String[] for keySetStrings
    Int,        // any other int
    Handle,     // kernel handle (pipe)
    Window,     // window handle
    PipeName,
    Text,       // a window or class name, an optional shortcut string
    Path,       // a file path
    Bytes,      // byte[]
    Length,     // count of bytes of a byte[]
    Millis,     // a time-out in milliseconds
};

struct Arg {
    jint i = 0;
    jobject ref = nullptr;
};

enum class Ret { Void, Boolean, Int, Long, Ref };

struct Outcome {
    Ret kind = Ret::Void;
    long long value = 0;  // Boolean, Int, Long
    jobject ref = nullptr;
};

// A rule on a result; empty when there is none.
struct Expect {
    std::function<bool(const Outcome&)> holds;
    std::string what;
    explicit operator bool() const { return static_cast<bool>(holds); }
};
Expect equals(long long value);  // a Boolean, Int or Long result
Expect isNullRef();
Expect isNonZero();
Expect isVoid();
Expect oneOf(std::vector<long long> values);

struct Entry {
    std::string name;  // "Registry_keyExists"
    std::vector<Role> roles;
    Ret ret = Ret::Void;
    std::function<Outcome(TestJni&, const std::vector<Arg>&)> call;
    bool resolved = false;
    bool throwsRegistryException = false;  // may leave a RegistryException pending
    // The failure value of the native when a reference argument is null (by
    // argument index; empty where no rule applies), and when a JNI acquisition
    // fails. Each is met with no exception of the native's own.
    std::vector<Expect> nullResult;
    Expect faultResult;
};

// The 46 natives, in the order of their classes.
const std::vector<Entry>& nativeTable();
const Entry& entry(const std::string& name);

// "<value>" for a result, for messages.
std::string describe(const Outcome& outcome);

}  // namespace stress

#endif
