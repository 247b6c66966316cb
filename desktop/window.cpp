// The Window natives: hidden pop-up windows with a caption and a window menu,
// whose classes hand every message to DefWindowProcA, or in unicode mode to
// DefWindowProcW: a window keeps its title in the form of its procedure.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_win32_Window.h"

namespace {

// A caption with a window menu and no sizing border or minimise and maximise
// boxes; without WS_VISIBLE the window is created hidden.
constexpr DWORD popupWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;

// Class names compare without regard to case, as Windows compares them.
bool isDefaultClass(const WindowsText& className) noexcept
{
    return className.units() ? lstrcmpiW(className.units(), defaultClassNameW) == 0
                             : lstrcmpiA(className.ansi(), defaultClassName) == 0;
}

// The longest class name: class names are atoms, of at most 255 characters.
// Windows' W functions refuse a longer one; Wine's overrun a buffer of that
// size on it, so a longer name never reaches them. The A functions take every
// name and refuse a long one themselves.
constexpr size_t maxClassNameUnits = 255;

bool tooLongForW(const WindowsText& className) noexcept
{
    return className.units() && className.length() > maxClassNameUnits;
}

// Registers a global class of the popup kind, with no instance of its own.
void registerGlobalClass(const WindowsText& className) noexcept
{
    if (className.units()) registerPopupClass(className.units(), nullptr);
    else registerPopupClass(className.ansi(), nullptr);
}

HWND createPopup(const WindowsText& className, const WindowsText& title, jint x, jint y, jint width,
                 jint height) noexcept
{
    return className.units() ? CreateWindowExW(0, className.units(), title.units(), popupWindowStyle, x, y, width,
                                               height, nullptr, nullptr, nullptr, nullptr)
                             : CreateWindowExA(0, className.ansi(), title.ansi(), popupWindowStyle, x, y, width,
                                               height, nullptr, nullptr, nullptr, nullptr);
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
    // A title or a class name that holds U+0000 gives no window (0).
    WindowsText title(env, windowName);
    if (!title) return title.holdsNul() ? 0 : -1;
    WindowsText name(env, className);
    ScopeExit releaseInOrder([&] {
        title.release();
        name.release();
    });
    if (!name) return 0;

    if (tooLongForW(name)) return 0;
    // The default class is registered with the library's module as instance
    // for as long as the library is loaded; any other name gets a global class
    // of the same kind with no instance of its own. RegisterClass fails for a
    // name that a global class already holds, and that class is then used.
    if (defaultClassAtom == 0 || !isDefaultClass(name)) registerGlobalClass(name);
    return handleToJint(createPopup(name, title, x, y, width, height));
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
