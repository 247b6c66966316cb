// The library's entry point and library-wide state, and the routines that the
// registry natives share for raising exceptions.
#include "binding.h"

HINSTANCE moduleInstance = nullptr;
DWORD defaultClassAtom = 0;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    moduleInstance = instance;

    WNDCLASSA windowClass = {};
    windowClass.style = popupClassStyle;
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = moduleInstance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
    windowClass.lpszClassName = defaultClassName;

    if (reason == DLL_PROCESS_ATTACH) {
        // A global class of this name registered earlier makes this fail; the load goes on.
        defaultClassAtom = RegisterClassA(&windowClass) & 0xFFFF;
    } else if (reason == DLL_PROCESS_DETACH && defaultClassAtom != 0) {
        // Fails, silently, while windows of the class remain.
        UnregisterClassA(MAKEINTATOM(defaultClassAtom), moduleInstance);
    }
    return TRUE;
}

void throwRegistryException(JNIEnv* env, const char* message) noexcept
{
    jclass exceptionClass = env->FindClass("com/zarn/kelda/dravik/common/win32/RegistryException");
    if (exceptionClass) env->ThrowNew(exceptionClass, message);
}

char* formatSystemMessage(DWORD code) noexcept
{
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    return text;
}
