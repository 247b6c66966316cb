// The Environment native: one variable of the process environment.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_win32_Environment.h"

// Environment.getEnvironmentVariable(String variableName) -> String
extern "C" JNIEXPORT jstring JNICALL
Java_com_zarn_kelda_dravik_common_win32_Environment_getEnvironmentVariable(JNIEnv* env, jclass,
                                                                          jstring variableName) noexcept
{
    Utf8Chars name(env, variableName);
    if (!name) return nullptr;

    // GetEnvironmentVariableA returns the characters stored without the NUL when
    // the value fits, and the size needed with the NUL when it does not.
    char value[4096];
    DWORD length = GetEnvironmentVariableA(name.get(), value, sizeof value);
    if (length < sizeof value) {
        value[length] = '\0';
        name.release();
        // 0 stands for an unset variable and for an empty one alike.
        return length ? newStringFromWindows(env, value) : nullptr;
    }

    // A longer value: read it into a buffer of the size asked for, again if
    // the variable grew in between, so that no string is made of a buffer
    // that Windows did not fill. A variable that keeps growing (another thread
    // setting it) is given up after a few tries.
    DWORD size = length;
    for (int tries = 0; tries < sizeTries; ++tries) {
        MallocBuffer larger(size);
        if (!larger.get()) return nullptr;
        length = GetEnvironmentVariableA(name.get(), larger.get(), size);
        if (length == 0) return nullptr;
        if (length < size) {
            larger.get()[length] = '\0';
            name.release();
            return newStringFromWindows(env, larger.get());
        }
        size = length;
    }
    return nullptr;
}
