// The library's entry points and library-wide state, the text mode chosen
// when a JVM loads the library, and the routines that the natives share for
// raising exceptions.
#include "binding.h"

#include <cstring>

#include "com_zarn_kelda_dravik_common_win32_ZarnWin32.h"

HINSTANCE moduleInstance = nullptr;
DWORD defaultClassAtom = 0;
bool unicodeText = false;

namespace {

// The text mode's system property and its values; no value means ansi.
constexpr const char* textProperty = "zarnwin32.text";

// The value of a system property, or null (also with the JVM's error pending).
jstring systemProperty(JNIEnv* env, const char* name) noexcept
{
    jclass system = env->FindClass("java/lang/System");
    if (!system) return nullptr;
    jmethodID getProperty = env->GetStaticMethodID(system, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
    if (!getProperty) return nullptr;
    jstring key = env->NewStringUTF(name);
    if (!key) return nullptr;
    return static_cast<jstring>(env->CallStaticObjectMethod(system, getProperty, key));
}

// A window takes its title in the form of its class's window procedure: text
// given to CreateWindowExW reaches an ANSI procedure through the code page. In
// unicode mode the default class that DllMain registered is registered again
// with DefWindowProcW, while no window of it exists yet.
void useUnicodeDefaultClass() noexcept
{
    if (defaultClassAtom == 0 || !UnregisterClassA(MAKEINTATOM(defaultClassAtom), moduleInstance)) return;
    defaultClassAtom = registerPopupClass(defaultClassNameW, moduleInstance);
}

ATOM registerClass(const WNDCLASSA& windowClass) noexcept
{
    return RegisterClassA(&windowClass);
}

ATOM registerClass(const WNDCLASSW& windowClass) noexcept
{
    return RegisterClassW(&windowClass);
}

// CS_VREDRAW | CS_HREDRAW | CS_NOCLOSE | CS_GLOBALCLASS, the scroll-bar brush.
template <typename WindowClass, typename Char>
ATOM registerPopup(const Char* name, HINSTANCE instance, WNDPROC procedure) noexcept
{
    WindowClass windowClass = {};
    windowClass.style = popupClassStyle;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
    windowClass.lpszClassName = name;
    return registerClass(windowClass);
}

}  // namespace

// Called by the JVM once, when System.load or System.loadLibrary loads the
// library and before any native can run: reads the text mode. A value other
// than ansi or unicode fails the load with UnsatisfiedLinkError, which the JVM
// passes to the caller of System.load.
extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*)
{
    JNIEnv* env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) != JNI_OK) return JNI_ERR;
    jstring value = systemProperty(env, textProperty);
    if (env->ExceptionCheck()) return JNI_ERR;
    if (value == nullptr) return JNI_VERSION_1_6;
    Utf8Chars mode(env, value);
    if (!mode) return JNI_ERR;
    if (strcmp(mode.get(), "ansi") == 0) return JNI_VERSION_1_6;
    if (strcmp(mode.get(), "unicode") == 0) {
        unicodeText = true;
        useUnicodeDefaultClass();
        return JNI_VERSION_1_6;
    }
    mode.release();
    jclass error = env->FindClass("java/lang/UnsatisfiedLinkError");
    if (error) env->ThrowNew(error, "The system property zarnwin32.text must be ansi or unicode");
    return JNI_ERR;
}

// ZarnWin32.unicodeText() -> boolean
extern "C" JNIEXPORT jboolean JNICALL
Java_com_zarn_kelda_dravik_common_win32_ZarnWin32_unicodeText(JNIEnv*, jclass)
{
    return unicodeText ? JNI_TRUE : JNI_FALSE;
}

ATOM registerPopupClass(const char* name, HINSTANCE instance) noexcept
{
    return registerPopup<WNDCLASSA>(name, instance, DefWindowProcA);
}

ATOM registerPopupClass(const WCHAR* name, HINSTANCE instance) noexcept
{
    return registerPopup<WNDCLASSW>(name, instance, DefWindowProcW);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    moduleInstance = instance;
    if (reason == DLL_PROCESS_ATTACH) {
        // A global class of this name registered earlier makes this fail; the load goes on.
        defaultClassAtom = registerPopupClass(defaultClassName, moduleInstance);
        bindNewerFunctions();
    } else if (reason == DLL_PROCESS_DETACH) {
        // Fails, silently, while windows of the class remain.
        if (defaultClassAtom != 0) UnregisterClassA(MAKEINTATOM(defaultClassAtom), moduleInstance);
        // At process exit (reserved not null) other threads are gone already, maybe inside the lock.
        if (reserved == nullptr) releaseNewerFunctions();
    }
    return TRUE;
}

void throwRegistryException(JNIEnv* env, const char* message) noexcept
{
    jclass exceptionClass = env->FindClass("com/zarn/kelda/dravik/common/win32/RegistryException");
    if (exceptionClass) env->ThrowNew(exceptionClass, message);
}

void throwOutOfMemory(JNIEnv* env) noexcept
{
    jclass errorClass = env->FindClass("java/lang/OutOfMemoryError");
    if (errorClass) env->ThrowNew(errorClass, nullptr);
}

// A system text may hold inserts (%1) for arguments that a caller of
// FormatMessage cannot know: without FORMAT_MESSAGE_IGNORE_INSERTS the call
// fails on them, or reads arguments that were never given. With it the inserts
// stay in the text as they are.
constexpr DWORD systemMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

WCHAR* formatSystemMessageW(DWORD code) noexcept
{
    WCHAR* text = nullptr;
    FormatMessageW(systemMessageFlags, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<WCHAR*>(&text), 0, nullptr);
    return text;
}

char* formatSystemMessage(DWORD code) noexcept
{
    char* text = nullptr;
    FormatMessageA(systemMessageFlags, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    return text;
}
