// Loads zarnwin32.dll as a JVM does and calls a few natives, printing what
// each returned: proof that the built library works on this Windows.
#include "natives.h"

#include <cstdio>

using namespace testjni;

int main()
{
    if (!library()) {
        std::printf("zarnwin32.dll: failed to load (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("zarnwin32.dll: loaded at %p\n", static_cast<void*>(library()));

    TestJni jni;
    int failures = 0;

    // library() called JNI_OnLoad, with zarnwin32.text from ZARN_TEST_TEXT when that is set.
    Native<jboolean()> unicodeText(std::string(win32Package) + "ZarnWin32_unicodeText");
    std::printf("ZarnWin32.textMode() = \"%s\"\n", unicodeText(jni) ? "unicode" : "ansi");

    Native<jstring(jstring)> getEnvironmentVariable(std::string(win32Package) + "Environment_getEnvironmentVariable");
    jstring windir = getEnvironmentVariable(jni, jni.string("WINDIR"));
    std::printf("Environment.getEnvironmentVariable(\"WINDIR\") = %s\n",
                windir ? ("\"" + jni.utf8Bytes(windir) + "\"").c_str() : "null");
    failures += windir == nullptr;

    Native<jboolean(jint, jstring)> keyExists(std::string(win32Package) + "Registry_keyExists");
    if (keyExists.resolved()) {
        jboolean exists = keyExists(jni, static_cast<jint>(0x80000001), jni.string("Software"));
        std::printf("Registry.keyExists(HKEY_CURRENT_USER, \"Software\") = %s\n", exists ? "true" : "false");
        failures += !exists;
    }

    Native<jlong()> getSessionId(std::string(win32Package) + "TerminalServer_getSessionId");
    if (getSessionId.resolved()) std::printf("TerminalServer.getSessionId() = %lld\n", getSessionId(jni));

    if (!jni.clean()) {
        std::printf("JNI misuse: %s\n", jni.clean().message());
        ++failures;
    }
    std::printf("smoke: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
