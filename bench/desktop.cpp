// The desktop subsystem: createWindow with destroyWindow, and
// winCreateShortcut.
#include "direct.h"
#include "sections.h"

#include <objbase.h>
#include <shlobj.h>

using namespace testjni;

namespace bench {

namespace {

void pumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

}  // namespace

std::string shortcutFile()
{
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(sizeof folder, folder);
    return std::string(folder, length) + "zarnbench.lnk";
}

std::vector<Case> desktopCases(Natives& N)
{
    std::vector<Case> cases;
    const std::string shortcut = shortcutFile();

    // ---- createWindow with destroyWindow
    {
        struct WindowArgs {
            jstring title, className;
        };
        auto prepare = [](TestJni& jni) { return WindowArgs{jni.string("zarnwin32 bench"), jni.string(windowClass)}; };
        auto ok = [](TestJni&, jint hwnd) { return hwnd != 0 && hwnd != -1; };
        auto batch = [prepare, ok](auto create, auto destroy) {
            return [=](int n) {
                double seconds = jniBatch(n, prepare,
                                          [=](TestJni& jni, WindowArgs a) {
                                              jint hwnd = create(jni, a);
                                              destroy(jni, hwnd);
                                              return hwnd;
                                          },
                                          ok);
                pumpMessages();
                return seconds;
            };
        };
        cases.push_back(
            {"createWindow + destroyWindow", 0, N.createWindow.resolved() && N.destroyWindow.resolved(),
             [&N] {
                 TestJni jni;
                 jint hwnd = N.createWindow(jni, jni.string("zarnwin32 bench"), jni.string(windowClass), 0, 0, 10, 10, 200, 100);
                 if (hwnd == 0 || hwnd == -1) return std::string("no window");
                 HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(hwnd));
                 bool right = IsWindow(window) && !IsWindowVisible(window);
                 N.destroyWindow(jni, hwnd);
                 pumpMessages();
                 if (!right || IsWindow(window)) return std::string("window not as made or not destroyed");
                 return jni.clean() ? std::string() : std::string("JNI misuse");
             },
             batch([&N](TestJni& jni, WindowArgs a) { return N.createWindow(jni, a.title, a.className, 0, 0, 10, 10, 200, 100); },
                   [&N](TestJni& jni, jint hwnd) { N.destroyWindow(jni, hwnd); }),
             batch([](TestJni& jni, WindowArgs a) {
                       return direct::createWindow(jni.env(), jni.receiver(), a.title, a.className, 0, 0, 10, 10, 200, 100);
                   },
                   [](TestJni& jni, jint hwnd) { direct::destroyWindow(jni.env(), jni.receiver(), hwnd); }),
             [](int n) {
                 double seconds = plainBatch(n, [] {
                     WNDCLASSA windowClassInfo = {};
                     windowClassInfo.style = CS_VREDRAW | CS_HREDRAW | CS_NOCLOSE | CS_GLOBALCLASS;
                     windowClassInfo.lpfnWndProc = DefWindowProcA;
                     windowClassInfo.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
                     windowClassInfo.lpszClassName = windowClass;
                     RegisterClassA(&windowClassInfo);
                     HWND window = CreateWindowExA(0, windowClass, "zarnwin32 bench", WS_POPUP | WS_CAPTION | WS_SYSMENU, 10,
                                                   10, 200, 100, nullptr, nullptr, nullptr, nullptr);
                     if (!window) return false;
                     DestroyWindow(window);
                     return true;
                 });
                 pumpMessages();
                 return seconds;
             }});
    }

    // ---- winCreateShortcut
    {
        struct ShortcutArgs {
            jstring target, arguments, file, description, folder;
        };
        auto prepare = [shortcut](TestJni& jni) {
            return ShortcutArgs{jni.string("C:\\windows\\notepad.exe"), jni.string("--bench"), jni.string(shortcut),
                                jni.string("zarnwin32 benchmark"), jni.string("C:\\windows")};
        };
        auto ok = [](TestJni&, jint) { return true; };
        cases.push_back(
            {"winCreateShortcut", 0, N.winCreateShortcut.resolved(),
             [&N, prepare, shortcut] {
                 DeleteFileA(shortcut.c_str());
                 TestJni jni;
                 ShortcutArgs a = prepare(jni);
                 N.winCreateShortcut(jni, a.target, a.arguments, a.file, a.description, a.folder, 1);
                 if (GetFileAttributesA(shortcut.c_str()) == INVALID_FILE_ATTRIBUTES) return std::string("no file written");
                 return jni.clean() ? std::string() : std::string("JNI misuse");
             },
             [=, &N](int n) {
                 return jniBatch(n, prepare,
                                 [&N](TestJni& jni, ShortcutArgs a) {
                                     return N.winCreateShortcut(jni, a.target, a.arguments, a.file, a.description, a.folder, 1);
                                 },
                                 ok);
             },
             [=](int n) {
                 return jniBatch(n, prepare,
                                 [](TestJni& jni, ShortcutArgs a) {
                                     return direct::winCreateShortcut(jni.env(), jni.receiver(), a.target, a.arguments,
                                                                      a.file, a.description, a.folder, 1);
                                 },
                                 ok);
             },
             [shortcut](int n) {
                 std::wstring path(shortcut.begin(), shortcut.end());
                 return plainBatch(n, [&] {
                     HRESULT apartment = CoInitialize(nullptr);
                     IShellLinkA* link = nullptr;
                     bool saved = false;
                     if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                                    reinterpret_cast<void**>(&link)))) {
                         link->SetPath("C:\\windows\\notepad.exe");
                         link->SetArguments("--bench");
                         link->SetDescription("zarnwin32 benchmark");
                         link->SetShowCmd(1);
                         link->SetWorkingDirectory("C:\\windows");
                         IPersistFile* file = nullptr;
                         if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
                             saved = SUCCEEDED(file->Save(path.c_str(), TRUE));
                             file->Release();
                         }
                         link->Release();
                     }
                     if (SUCCEEDED(apartment)) CoUninitialize();
                     return saved;
                 });
             }});
    }
    return cases;
}

}  // namespace bench
