// The Window natives: hidden pop-up windows with a caption and a window menu,
// whose classes hand every message to DefWindowProcA.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_win32_Window.h"

namespace {

// A caption with a window menu and no sizing border or minimise and maximise
// boxes; without WS_VISIBLE the window is created hidden.
constexpr DWORD popupWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;

// Class names compare without regard to case, as Windows compares them.
bool isDefaultClass(const char* className) noexcept
{
    return lstrcmpiA(className, defaultClassName) == 0;
}

}  // namespace

// Window.createWindow(String windowName, String className, int, int, int x, int y, int width, int height) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_win32_Window_createWindow(JNIEnv* env, jclass, jstring windowName,
                                                            jstring className, jint, jint, jint x, jint y,
                                                            jint width, jint height) noexcept
{
    // A failed GetStringUTFChars leaves an OutOfMemoryError pending, after which
    // JNI allows no further GetStringUTFChars: the class name is asked for only
    // once the title is had.
    Utf8Chars title(env, windowName);
    if (!title) return -1;
    Utf8Chars name(env, className);
    ScopeExit releaseInOrder([&] {
        title.release();
        name.release();
    });
    if (!name) return 0;

    // The default class is registered with the library's module as instance
    // for as long as the library is loaded; any other name gets a global class
    // of the same kind with no instance of its own. RegisterClassA fails for a
    // name that a global class already holds, and that class is then used.
    if (defaultClassAtom == 0 || !isDefaultClass(name.get())) {
        WNDCLASSA windowClass = {};
        windowClass.style = popupClassStyle;
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hInstance = nullptr;
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
        windowClass.lpszClassName = name.get();
        RegisterClassA(&windowClass);
    }

    HWND window = CreateWindowExA(0, name.get(), title.get(), popupWindowStyle, x, y, width, height, nullptr,
                                  nullptr, nullptr, nullptr);
    return handleToJint(window);
}

// Window.showWindow(int hwnd, int cmdShow) -> boolean
extern "C" JNIEXPORT jboolean JNICALL
Java_com_zarn_kelda_dravik_common_win32_Window_showWindow(JNIEnv*, jclass, jint hwnd, jint cmdShow) noexcept
{
    if (hwnd == 0) return JNI_FALSE;
    // ShowWindow answers whether the window was visible before the call.
    return ShowWindow(handleFromJint<HWND>(hwnd), cmdShow) ? JNI_TRUE : JNI_FALSE;
}

// Window.destroyWindow(int hwnd)
extern "C" JNIEXPORT void JNICALL
Java_com_zarn_kelda_dravik_common_win32_Window_destroyWindow(JNIEnv*, jclass, jint hwnd) noexcept
{
    if (hwnd == 0) return;
    // DestroyWindow fails for a handle that is no window and for a window of
    // another thread; the Java side is not told.
    DestroyWindow(handleFromJint<HWND>(hwnd));
}
