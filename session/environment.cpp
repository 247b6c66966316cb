// The Environment native: one variable of the process environment.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_win32_Environment.h"

namespace {

inline DWORD getVariable(const char* name, char* value, DWORD size) noexcept
{
    return GetEnvironmentVariableA(name, value, size);
}

inline DWORD getVariable(const WCHAR* name, WCHAR* value, DWORD size) noexcept
{
    return GetEnvironmentVariableW(name, value, size);
}

// The variable's value in the text mode's characters (Char), sizes counted in them.
template <typename Char>
jstring readVariable(JNIEnv* env, WindowsText& nameText) noexcept
{
    const Char* name = nameText.as<Char>();
    // GetEnvironmentVariable returns the characters stored without the NUL when
    // the value fits, and the size needed with the NUL when it does not.
    Char value[4096];
    DWORD length = getVariable(name, value, 4096);
    if (length < 4096) {
        value[length] = 0;
        nameText.release();
        // 0 stands for an unset variable and for an empty one alike.
        return length ? newStringFromWindows(env, value) : nullptr;
    }

    // A longer value: read it into a buffer of the size asked for, again if
    // the variable grew in between, so that no string is made of a buffer
    // that Windows did not fill. A variable that keeps growing (another thread
    // setting it) is given up after a few tries.
    DWORD size = length;
    for (int tries = 0; tries < sizeTries; ++tries) {
        MallocBuffer buffer(size * sizeof(Char));
        auto larger = reinterpret_cast<Char*>(buffer.get());
        if (!larger) return nullptr;
        length = getVariable(name, larger, size);
        if (length == 0) return nullptr;
        if (length < size) {
            larger[length] = 0;
            nameText.release();
            return newStringFromWindows(env, larger);
        }
        size = length;
    }
    return nullptr;
}

}  // namespace

// Environment.getEnvironmentVariable(String variableName) -> String
extern "C" JNIEXPORT jstring JNICALL
Java_com_zarn_kelda_dravik_common_win32_Environment_getEnvironmentVariable(JNIEnv* env, jclass,
                                                                          jstring variableName) noexcept
{
    // A name that holds U+0000 names no variable: null, as for an unset one.
    WindowsText name(env, variableName);
    if (!name) return nullptr;
    return byTextMode([&](auto unit) { return readVariable<decltype(unit)>(env, name); });
}
