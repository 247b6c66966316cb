// Window.createWindow, showWindow, destroyWindow and Win32File.winCreateShortcut,
// called through their exports as a JVM calls them, with effects checked by
// direct Windows calls.
#include "binding.h"
#include "import_patch.h"
#include "natives.h"

#include <shlobj.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

using namespace testjni;

namespace {

const char* const defaultClass = "VORURAZUR32";

// ---- Windows.

BOOL CALLBACK countWindow(HWND, LPARAM counter)
{
    ++*reinterpret_cast<int*>(counter);
    return TRUE;
}

int threadWindowCount()
{
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), countWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

std::string windowText(HWND window)
{
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

class WindowTest : public ::testing::Test {
protected:
    Native<jint(jstring, jstring, jint, jint, jint, jint, jint, jint)> createWindow{std::string(win32Package) +
                                                                                  "Window_createWindow"};
    Native<jboolean(jint, jint)> showWindow{std::string(win32Package) + "Window_showWindow"};
    Native<void(jint)> destroyWindow{std::string(win32Package) + "Window_destroyWindow"};
    TestJni jni;
    std::vector<HWND> windows;

    void TearDown() override
    {
        for (HWND window : windows) DestroyWindow(window);
        EXPECT_TRUE(jni.clean());
    }

    // A class name no other test uses.
    static std::string freshClass()
    {
        static int serial = 0;
        return "ZarnPopup" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
    }

    // A window at (40, 30), 320 by 200 pixels.
    HWND create(const std::string& title, const std::string& className, jint unread1 = 0, jint unread2 = 0)
    {
        jint handle = createWindow(jni, jni.string(title), jni.string(className), unread1, unread2, 40, 30, 320, 200);
        HWND window = handleFromJint<HWND>(handle);
        if (handle != 0 && handle != -1) windows.push_back(window);
        return window;
    }
};

TEST_F(WindowTest, FirstCallRegistersTheClassAndMakesAHiddenTitledPopup)
{
    const std::string name = freshClass();
    HINSTANCE self = GetModuleHandleA(nullptr);
    WNDCLASSA info = {};
    ASSERT_FALSE(GetClassInfoA(self, name.c_str(), &info));

    // The title's modified UTF-8 bytes are the window text, unconverted.
    const std::string title = "Zarn caf\xC3\xA9";
    HWND window = create(title, name);
    ASSERT_TRUE(IsWindow(window)) << "no window (a fresh Wine prefix may fail its first windows)";

    ASSERT_TRUE(GetClassInfoA(self, name.c_str(), &info));
    // GetClassInfoA reports the instance it was asked with; the class's own is on its windows.
    expectLibraryClassFields(info, self);

    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(windowText(window), title);
    // Windows adds WS_CLIPSIBLINGS to every top-level window.
    EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & ~WS_CLIPSIBLINGS, static_cast<LONG>(0x80C80000));
    EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    RECT rect = {};
    GetWindowRect(window, &rect);
    EXPECT_EQ(rect.left, 40);
    EXPECT_EQ(rect.top, 30);
    EXPECT_EQ(rect.right, 360);
    EXPECT_EQ(rect.bottom, 230);
    EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr);
    EXPECT_EQ(GetAncestor(window, GA_PARENT), GetDesktopWindow());
    EXPECT_EQ(GetMenu(window), nullptr);
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
    // The class was registered without an instance, which Windows records as the executable's module.
    HMODULE classModule = reinterpret_cast<HMODULE>(GetClassLongPtrA(window, GCLP_HMODULE));
    EXPECT_TRUE(classModule == nullptr || classModule == self) << classModule;

    // A second call with the same name makes a second window of the same class.
    HWND second = create("second", name);
    ASSERT_TRUE(IsWindow(second));
    EXPECT_NE(second, window);
    EXPECT_EQ(GetClassLongA(second, GCW_ATOM), GetClassLongA(window, GCW_ATOM));
    EXPECT_EQ(windowText(second), "second");
}

TEST_F(WindowTest, DefaultClassWindowsUseTheLibrarysModuleAsInstance)
{
    WNDCLASSEXA info = {};
    info.cbSize = sizeof info;
    ATOM atom = static_cast<ATOM>(GetClassInfoExA(library(), defaultClass, &info));
    ASSERT_NE(atom, 0);
    // Class names match without regard to case.
    for (const char* name : {defaultClass, "vorurazur32"}) {
        HWND window = create("default", name);
        ASSERT_TRUE(IsWindow(window)) << name;
        EXPECT_EQ(reinterpret_cast<HMODULE>(GetClassLongPtrA(window, GCLP_HMODULE)), library()) << name;
        EXPECT_EQ(GetClassLongA(window, GCW_ATOM), static_cast<DWORD>(atom)) << name;
        EXPECT_EQ(GetClassLongA(window, GCL_STYLE), 0x4203u) << name;
    }
}

TEST_F(WindowTest, ShowWindowAnswersWhetherTheWindowWasVisible)
{
    HWND window = create("shown", freshClass());
    ASSERT_TRUE(IsWindow(window));
    jint handle = handleToJint(window);
    struct Step {
        jint command;
        jboolean answer;
        bool visibleAfter;
    };
    const Step steps[] = {{SW_SHOW, JNI_FALSE, true},   {SW_SHOW, JNI_TRUE, true},
                          {SW_HIDE, JNI_TRUE, false},   {SW_HIDE, JNI_FALSE, false},
                          {SW_SHOWNORMAL, JNI_FALSE, true}, {SW_HIDE, JNI_TRUE, false}};
    for (const Step& step : steps) {
        EXPECT_EQ(showWindow(jni, handle, step.command), step.answer) << "command " << step.command;
        EXPECT_EQ(IsWindowVisible(window) != FALSE, step.visibleAfter) << "command " << step.command;
    }
}

TEST_F(WindowTest, HandleZeroIsAnsweredWithoutCallingWindows)
{
    // ShowWindow and DestroyWindow with a null handle would set ERROR_INVALID_WINDOW_HANDLE.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(showWindow(jni, 0, SW_SHOW), JNI_FALSE);
    destroyWindow(jni, 0);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

TEST_F(WindowTest, CloseIsDisabledInTheWindowMenu)
{
    // Windows greys out the Close item of a CS_NOCLOSE class; Wine removes it.
    const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    for (const std::string& name : {freshClass(), std::string(defaultClass)}) {
        HWND window = create("no close", name);
        ASSERT_TRUE(IsWindow(window)) << name;
        UINT state = GetMenuState(GetSystemMenu(window, FALSE), SC_CLOSE, MF_BYCOMMAND);
        EXPECT_TRUE((state != 0xFFFFFFFFu && (state & MF_GRAYED)) || (wine && state == 0xFFFFFFFFu))
            << name << ": state " << state;
    }
    // The same window of a class without CS_NOCLOSE has Close enabled.
    WNDCLASSA plain = {};
    plain.lpfnWndProc = DefWindowProcA;
    plain.hInstance = GetModuleHandleA(nullptr);
    const std::string plainName = freshClass();
    plain.lpszClassName = plainName.c_str();
    ASSERT_NE(RegisterClassA(&plain), 0);
    HWND control = CreateWindowExA(0, plain.lpszClassName, "close", WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 100,
                                   100, nullptr, nullptr, plain.hInstance, nullptr);
    ASSERT_TRUE(IsWindow(control));
    windows.push_back(control);
    EXPECT_EQ(GetMenuState(GetSystemMenu(control, FALSE), SC_CLOSE, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED), 0u);
}

TEST_F(WindowTest, ThirdAndFourthArgumentsAreNotRead)
{
    const std::string name = freshClass();
    HWND reference = create("same", name);
    ASSERT_TRUE(IsWindow(reference));
    RECT expected = {};
    GetWindowRect(reference, &expected);
    const jint values[][2] = {{-1, -1}, {INT_MIN, INT_MAX}, {0x12345678, 0}, {0, WS_VISIBLE}, {1, 1}};
    for (const auto& pair : values) {
        HWND window = create("same", name, pair[0], pair[1]);
        ASSERT_TRUE(IsWindow(window)) << pair[0] << ", " << pair[1];
        RECT rect = {};
        GetWindowRect(window, &rect);
        EXPECT_TRUE(EqualRect(&rect, &expected)) << pair[0] << ", " << pair[1];
        EXPECT_EQ(GetWindowLongA(window, GWL_STYLE), GetWindowLongA(reference, GWL_STYLE));
        EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE), GetWindowLongA(reference, GWL_EXSTYLE));
        EXPECT_EQ(GetClassLongA(window, GCW_ATOM), GetClassLongA(reference, GCW_ATOM));
        EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr);
        EXPECT_EQ(windowText(window), "same");
    }
}

TEST_F(WindowTest, DestroyWindowActsOnlyOnTheCreatingThread)
{
    HWND window = create("owned", freshClass());
    ASSERT_TRUE(IsWindow(window));
    jint handle = handleToJint(window);
    {
        TestThread other([&] {
            TestJni otherJni;
            destroyWindow(otherJni, handle);
            EXPECT_TRUE(otherJni.clean());
        });
        ASSERT_TRUE(other.join(10000));
    }
    EXPECT_TRUE(IsWindow(window)) << "a window was destroyed from another thread";
    destroyWindow(jni, handle);
    EXPECT_FALSE(IsWindow(window));
    // A handle that is no longer a window is ignored.
    destroyWindow(jni, handle);
    EXPECT_FALSE(IsWindow(window));
}

// Run in both text modes (desktop_unicode runs it in unicode mode): a program
// that uses the W functions finds the window by its class and title and reads
// the title Java gave, exactly in unicode mode, in the code page in ansi mode.
TEST_F(WindowTest, TitlesAndClassNamesMeetWideProgramsInEitherTextMode)
{
    auto windowTitle = [](HWND window) {
        WCHAR text[512] = {};
        GetWindowTextW(window, text, 512);
        return std::u16string(text, text + wcslen(text));
    };
    const std::u16string freshBase = [] {
        std::string base = freshClass();
        return std::u16string(base.begin(), base.end());
    }();
    for (const TextSample& sample : textSamples()) {
        SCOPED_TRACE(sample.label);
        const std::u16string title = sample.text.substr(0, 100);
        const std::u16string className = freshBase + u"-" + sample.text.substr(0, 40);
        for (const std::u16string& cls : {className, std::u16string(u"VORURAZUR32")}) {
            jint handle = createWindow(jni, jni.string(title), jni.string(cls), 0, 0, 40, 30, 320, 200);
            ASSERT_NE(handle, 0);
            HWND window = handleFromJint<HWND>(handle);
            windows.push_back(window);
            EXPECT_TRUE(windowTitle(window) == seenByWideProgram(title));
            EXPECT_EQ(FindWindowW(wide(seenByWideProgram(cls)).c_str(), wide(seenByWideProgram(title)).c_str()), window);
        }
    }
    // Text that holds U+0000 gives no window in unicode mode; ansi mode passes it as C0 80.
    const std::u16string cut(u"cut\0tail", 8);
    for (const auto& names : {std::make_pair(cut, freshBase + u"-cut"), std::make_pair(std::u16string(u"t"), freshBase + cut)}) {
        jint handle = createWindow(jni, jni.string(names.first), jni.string(names.second), 0, 0, 0, 0, 100, 100);
        EXPECT_EQ(handle == 0, unicodeMode());
        if (handle != 0) windows.push_back(handleFromJint<HWND>(handle));
    }
}

TEST_F(WindowTest, MissingNamesGiveTheirFailureValueAndNoWindowOrClass)
{
    // Warm the thread up: its first window may bring Wine's helper windows with it.
    ASSERT_TRUE(IsWindow(create("warm", freshClass())));
    const int before = threadWindowCount();
    const std::string name = freshClass();
    struct Case {
        const char* what;
        bool nullTitle, nullClass;
        int failNth;          // GetStringUTFChars call that fails, 0 for none
        jint expected;
        int acquisitions;     // GetStringUTFChars calls made
    };
    const Case cases[] = {
        {"null title", true, false, 0, -1, 0},
        {"null class", false, true, 0, 0, 1},
        {"null both", true, true, 0, -1, 0},
        {"title's characters fail", false, false, 1, -1, 1},
        {"class's characters fail", false, false, 2, 0, 2},
    };
    for (const Case& c : cases) {
        TestJni local;
        if (c.failNth) local.failNth(Fn::GetStringUTFChars, c.failNth);
        jint handle = createWindow(local, c.nullTitle ? nullptr : local.string("title"),
                                   c.nullClass ? nullptr : local.string(name), 0, 0, 0, 0, 100, 100);
        EXPECT_EQ(handle, c.expected) << c.what;
        EXPECT_EQ(local.calls(Fn::GetStringUTFChars), c.acquisitions) << c.what;
        EXPECT_EQ(local.exceptionPending(), c.failNth != 0) << c.what;
        if (c.failNth) {
            EXPECT_EQ(local.pendingClass(), "java/lang/OutOfMemoryError") << c.what;
        }
        EXPECT_TRUE(local.clean()) << c.what;
        EXPECT_EQ(threadWindowCount(), before) << c.what;
    }
    WNDCLASSA info = {};
    EXPECT_FALSE(GetClassInfoA(GetModuleHandleA(nullptr), name.c_str(), &info)) << "a class was registered";
}

// ---- Shortcuts.

// A stand-in for the shell's link object: logs the calls made on it, counts
// its references, and fails where a case asks.
struct FakeLink : IShellLinkA, IPersistFile {
    LONG references = 1;
    std::vector<std::string> log;
    HRESULT queryResult = S_OK, saveResult = S_OK;
    DWORD saveLastError = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        *out = nullptr;
        if (iid != IID_IPersistFile) return add("QueryInterface(other)", E_NOINTERFACE);
        if (FAILED(add("QueryInterface(IPersistFile)", queryResult))) return queryResult;
        *out = static_cast<IPersistFile*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT add(const std::string& entry, HRESULT result = S_OK)
    {
        log.push_back(entry);
        return result;
    }
    HRESULT STDMETHODCALLTYPE SetPath(LPCSTR text) override { return add("SetPath:" + std::string(text)); }
    HRESULT STDMETHODCALLTYPE SetArguments(LPCSTR text) override { return add("SetArguments:" + std::string(text)); }
    HRESULT STDMETHODCALLTYPE SetDescription(LPCSTR text) override { return add("SetDescription:" + std::string(text)); }
    HRESULT STDMETHODCALLTYPE SetShowCmd(int show) override { return add("SetShowCmd:" + std::to_string(show)); }
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCSTR text) override { return add("SetWorkingDirectory:" + std::string(text)); }
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR path, BOOL remember) override
    {
        char narrow[MAX_PATH] = {};
        WideCharToMultiByte(CP_ACP, 0, path, -1, narrow, sizeof narrow, nullptr, nullptr);
        add(std::string("Save:") + narrow + (remember ? ":remember" : ":forget"));
        SetLastError(saveLastError);
        return saveResult;
    }
    // Not for the native to call.
    HRESULT STDMETHODCALLTYPE GetPath(LPSTR, int, WIN32_FIND_DATAA*, DWORD) override { return add("GetPath", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetIDList(PIDLIST_ABSOLUTE*) override { return add("GetIDList", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE SetIDList(PCIDLIST_ABSOLUTE) override { return add("SetIDList", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetDescription(LPSTR, int) override { return add("GetDescription", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPSTR, int) override { return add("GetWorkingDirectory", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetArguments(LPSTR, int) override { return add("GetArguments", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetHotkey(WORD*) override { return add("GetHotkey", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE SetHotkey(WORD) override { return add("SetHotkey", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetShowCmd(int*) override { return add("GetShowCmd", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetIconLocation(LPSTR, int, int*) override { return add("GetIconLocation", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE SetIconLocation(LPCSTR, int) override { return add("SetIconLocation", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE SetRelativePath(LPCSTR, DWORD) override { return add("SetRelativePath", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE Resolve(HWND, DWORD) override { return add("Resolve", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return add("GetClassID", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return add("IsDirty", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR, DWORD) override { return add("Load", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR) override { return add("SaveCompleted", E_NOTIMPL); }
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR*) override { return add("GetCurFile", E_NOTIMPL); }
};

// What the library's CoCreateInstance does while patched: pass the call on
// (counting it), or hand out the fake link or a failure with a last-error code.
struct CreateScript {
    bool forward = true;
    int calls = 0;
    FakeLink* link = nullptr;
    HRESULT result = S_OK;
    DWORD lastError = 0;
} script;

HRESULT WINAPI scriptedCoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** out)
{
    ++script.calls;
    if (script.forward) return CoCreateInstance(clsid, outer, context, iid, out);
    EXPECT_TRUE(clsid == CLSID_ShellLink && !outer && context == CLSCTX_INPROC_SERVER && iid == IID_IShellLinkA);
    *out = SUCCEEDED(script.result) ? static_cast<IShellLinkA*>(script.link) : nullptr;
    SetLastError(script.lastError);
    return script.result;
}

std::string repeat(const std::string& text, size_t count)
{
    std::string out;
    for (size_t k = 0; k < count; ++k) out += text;
    return out;
}

struct Link {
    std::u16string widePath, wideArguments, wideDescription, wideDirectory;
    std::string path, arguments, description, directory;  // the same in the ANSI code page
    DWORD showCommand;  // from the file's header
};

// UTF-16 text in the ANSI code page, as the A functions convert it.
std::string ansi(const std::u16string& text)
{
    auto units = reinterpret_cast<const WCHAR*>(text.c_str());
    int size = WideCharToMultiByte(CP_ACP, 0, units, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, units, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size > 0 ? size - 1 : 0));
    return out;
}

class ShortcutTest : public ::testing::Test {
protected:
    Native<jint(jstring, jstring, jstring, jstring, jstring, jint)> winCreateShortcut{std::string(win32Package) +
                                                                                      "Win32File_winCreateShortcut"};
    std::string sandbox;  // with a trailing backslash
    std::string target;   // an existing file in the sandbox

    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        // A crashed run leaves its folder behind: take the next free name.
        for (int serial = 0; sandbox.empty() && serial < 1000; ++serial) {
            std::string name = std::string(temp) + "zarn_desktop_" + std::to_string(GetCurrentProcessId()) + "_" +
                               std::to_string(serial) + "\\";
            if (CreateDirectoryA(name.c_str(), nullptr)) sandbox = name;
        }
        ASSERT_FALSE(sandbox.empty());
        target = sandbox + "target.exe";
        HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }

    void TearDown() override
    {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((sandbox + "*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                DeleteFileA((sandbox + found.cFileName).c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        EXPECT_TRUE(RemoveDirectoryA(sandbox.c_str())) << "files left in " << sandbox;
    }

    // Runs body on a thread of its own, which starts with no COM apartment, as a
    // Java thread that has never used COM does; nothing one call leaves in a
    // thread's apartment reaches the next.
    static void onFreshThread(const std::function<void()>& body)
    {
        TestThread thread(body);
        ASSERT_TRUE(thread.join(60000));
    }

    // Calls the native as a Java thread would, with a JNI environment of its own
    // that must be clean afterwards; null pointers stand for null strings.
    jint create(const char* targetPath, const char* arguments, const std::string* file, const char* description,
                const char* directory, jint show)
    {
        jint result = -12345;
        onFreshThread([&] {
            TestJni jni;
            auto text = [&](const char* value) { return value ? jni.string(value) : nullptr; };
            result = winCreateShortcut(jni, text(targetPath), text(arguments), file ? jni.string(*file) : nullptr,
                                       text(description), text(directory), show);
            EXPECT_TRUE(jni.clean());
            EXPECT_FALSE(jni.exceptionPending());
        });
        return result;
    }

    static bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

    // The shortcut as the shell reads it back, through its W interface: the texts
    // as a program that uses the W functions sees them, and in the ANSI code page,
    // as the A interface gives them. Wine's link object does not give the show
    // command through GetShowCmd after Load; the file's header holds it as a
    // little-endian DWORD at offset 0x3C.
    static Link read(const std::string& file)
    {
        WCHAR wideFile[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wideFile, MAX_PATH);
        return read(std::u16string(wideFile, wideFile + wcslen(wideFile)));
    }
    static Link read(const std::u16string& file)
    {
        Link link = {};
        onFreshThread([&] {
            ASSERT_EQ(CoInitialize(nullptr), S_OK);
            IShellLinkW* shell = nullptr;
            IPersistFile* persist = nullptr;
            EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                       reinterpret_cast<void**>(&shell)), S_OK);
            if (shell && SUCCEEDED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
                EXPECT_EQ(persist->Load(wide(file).c_str(), STGM_READ), S_OK) << ansi(file);
                // Room for the longest arguments and description, with a unit to spare.
                std::vector<WCHAR> value(32768);
                auto text = [&] { return std::u16string(value.data(), value.data() + wcslen(value.data())); };
                shell->GetPath(value.data(), static_cast<int>(value.size()), nullptr, SLGP_RAWPATH);
                link.widePath = text();
                shell->GetArguments(value.data(), static_cast<int>(value.size()));
                link.wideArguments = text();
                shell->GetDescription(value.data(), static_cast<int>(value.size()));
                link.wideDescription = text();
                shell->GetWorkingDirectory(value.data(), static_cast<int>(value.size()));
                link.wideDirectory = text();
                persist->Release();
            }
            if (shell) shell->Release();
            CoUninitialize();
        });
        link.path = ansi(link.widePath);
        link.arguments = ansi(link.wideArguments);
        link.description = ansi(link.wideDescription);
        link.directory = ansi(link.wideDirectory);
        unsigned char bytes[0x40] = {};
        DWORD size = 0;
        HANDLE in = CreateFileW(wide(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (in != INVALID_HANDLE_VALUE) {
            ReadFile(in, bytes, sizeof bytes, &size, nullptr);
            CloseHandle(in);
        }
        EXPECT_EQ(size, 0x40u) << ansi(file);
        link.showCommand = bytes[0x3C] | bytes[0x3D] << 8 | bytes[0x3E] << 16 | static_cast<DWORD>(bytes[0x3F]) << 24;
        return link;
    }
};

TEST_F(ShortcutTest, WritesTheValuesGivenAndLeavesTheDefaultsForAbsentOnes)
{
    struct Case {
        const char *arguments, *description;
        bool directory;  // the sandbox as working directory
        jint show;
        DWORD expectedShow;  // SW_SHOWNORMAL is the link's default
    };
    const Case cases[] = {
        {"-x \"two words\"", "Zarn shortcut", true, SW_SHOWMAXIMIZED, SW_SHOWMAXIMIZED},
        {"", "", false, 0, SW_SHOWNORMAL},
        {nullptr, nullptr, false, -5, SW_SHOWNORMAL},
        {"", "only a description", false, INT_MIN, SW_SHOWNORMAL},
        {"only arguments", nullptr, false, SW_SHOWNORMAL, SW_SHOWNORMAL},
        {nullptr, "", true, SW_SHOWMINNOACTIVE, SW_SHOWMINNOACTIVE},
    };
    int serial = 0;
    for (const Case& c : cases) {
        const std::string file = sandbox + "link" + std::to_string(++serial) + ".lnk";
        // A stale last-error code does not make a saved file a failure.
        SetLastError(ERROR_ALREADY_EXISTS);
        ASSERT_EQ(create(target.c_str(), c.arguments, &file, c.description, c.directory ? sandbox.c_str() : nullptr,
                         c.show), 0) << serial;
        Link link = read(file);
        EXPECT_EQ(link.path, target) << serial;
        EXPECT_EQ(link.arguments, c.arguments ? c.arguments : "") << serial;
        EXPECT_EQ(link.description, c.description ? c.description : "") << serial;
        EXPECT_EQ(link.directory, c.directory ? sandbox : "") << serial;
        EXPECT_EQ(link.showCommand, c.expectedShow) << serial;
    }
}

// Run in both text modes (desktop_unicode runs it in unicode mode): the shell
// link, read back through its W interface, holds the texts Java gave, exactly
// in unicode mode and in the code page in ansi mode; limits count UTF-16 units
// in unicode mode and bytes in ansi mode.
TEST_F(ShortcutTest, PathsAndTextsMeetWideProgramsInEitherTextMode)
{
    const std::u16string base(sandbox.begin(), sandbox.end());
    auto javaCreate = [&](const std::u16string& file, const std::u16string& text, const std::u16string& directory,
                          const std::u16string* description = nullptr) {
        jint result = -12345;
        onFreshThread([&] {
            TestJni jni;
            result = winCreateShortcut(jni, jni.string(std::string(target)), jni.string(text), jni.string(file),
                                       jni.string(description ? *description : text), jni.string(directory), 0);
            EXPECT_TRUE(jni.clean());
        });
        return result;
    };
    auto fits = [](const std::u16string& path) {
        return (unicodeMode() ? path.size() : toModifiedUtf8(path).size()) <= MAX_PATH - 1;
    };
    int serial = 0;
    for (const TextSample& sample : textSamples()) {
        SCOPED_TRACE(sample.label);
        const std::u16string file = base + u"s" + static_cast<char16_t>(u'a' + serial++) + u".lnk";
        const std::u16string directory = base + sample.text.substr(0, 200);
        jint result = javaCreate(file, sample.text, directory);
        if (!fits(directory)) {
            EXPECT_EQ(result, ERROR_FILENAME_EXCED_RANGE);
            continue;
        }
        ASSERT_EQ(result, 0);
        Link link = read(file);
        EXPECT_TRUE(link.wideArguments == seenByWideProgram(sample.text));
        EXPECT_TRUE(link.wideDescription == seenByWideProgram(sample.text));
        EXPECT_TRUE(link.wideDirectory == seenByWideProgram(directory));
    }

    // Descriptions take 1,023 units in either mode, arguments as many in ansi mode (IShellLinkA) alone.
    const std::u16string over(1024, u'd'), one = u"d";
    EXPECT_EQ(javaCreate(base + u"d.lnk", u"a", u"", &over), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(javaCreate(base + u"a.lnk", over, u"", &one), unicodeMode() ? 0 : ERROR_FILENAME_EXCED_RANGE);

    // A folder whose name is outside the code page is reached in unicode mode
    // alone; ansi mode names another, missing folder (3).
    const std::u16string folder = base + u"uni-\u03A9\\";
    ASSERT_TRUE(CreateDirectoryW(wide(folder).c_str(), nullptr));
    EXPECT_EQ(javaCreate(folder + u"link.lnk", u"", u""), unicodeMode() ? 0 : ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesW(wide(folder + u"link.lnk").c_str()) != INVALID_FILE_ATTRIBUTES, unicodeMode());
    DeleteFileW(wide(folder + u"link.lnk").c_str());
    EXPECT_TRUE(RemoveDirectoryW(wide(folder).c_str()));

    // Text that holds U+0000: refused in unicode mode, with no file; C0 80 in ansi mode.
    const std::u16string cut = base + u"cut.lnk";
    EXPECT_EQ(javaCreate(cut, std::u16string(u"a\0b", 3), u""), unicodeMode() ? ERROR_INVALID_PARAMETER : 0);
    EXPECT_EQ(GetFileAttributesW(wide(cut).c_str()) != INVALID_FILE_ATTRIBUTES, !unicodeMode());
    EXPECT_EQ(javaCreate(base + std::u16string(u"x.lnk\0.txt", 10), u"", u""), unicodeMode() ? ERROR_INVALID_PARAMETER : 0);
}

TEST_F(ShortcutTest, ResultIsZeroExactlyWhenTheFileWasWrittenWhole)
{
    ASSERT_LT(sandbox.size(), 200u) << "no room for the long names";
    const std::string sandboxName = sandbox.substr(0, sandbox.size() - 1);
    // Limits count the bytes of the text the link's A methods take: a path of
    // 259 bytes, arguments or a description of 1,023 (INFOTIPSIZE with the
    // NUL; Wine's link stores more). "\xC3\xA9" is one character and two bytes.
    const std::string longestTarget = "C:\\" + repeat("\xC3\xA9", 128);           // 259 bytes, 131 characters
    const std::string overlongTarget = longestTarget + "x";                       // 260 bytes, 132 characters
    const std::string longestDirectory = "C:\\" + std::string(256, 'w');         // 259 bytes
    const std::string longestText(1023, 't');
    struct Case {
        const char* what;
        const char* target;
        std::string file;
        bool nullFile;
        jint expected;  // 1 for "any non-zero code"
        std::string arguments = "a", description = "d", directory = "C:\\";
    };
    const Case cases[] = {
        {"empty target", "", sandbox + "empty.lnk", false, 0},
        // The longest shortcut path: 259 bytes and the NUL.
        {"259-character path", target.c_str(), sandbox + std::string(255 - sandbox.size(), 'p') + ".lnk", false, 0},
        {"260-character path", target.c_str(), sandbox + std::string(256 - sandbox.size(), 'q') + ".lnk", false,
         ERROR_FILENAME_EXCED_RANGE},
        {"every value at its longest", longestTarget.c_str(), sandbox + "longest.lnk", false, 0, longestText,
         longestText, longestDirectory},
        // The link would keep two characters of this target and still answer S_FALSE.
        {"260-byte target", overlongTarget.c_str(), sandbox + "target.lnk", false, ERROR_FILENAME_EXCED_RANGE},
        {"260-byte working directory", target.c_str(), sandbox + "directory.lnk", false, ERROR_FILENAME_EXCED_RANGE,
         "a", "d", longestDirectory + "w"},
        {"1,024-byte arguments", target.c_str(), sandbox + "arguments.lnk", false, ERROR_FILENAME_EXCED_RANGE,
         longestText + "t"},
        {"1,024-byte description", target.c_str(), sandbox + "description.lnk", false, ERROR_FILENAME_EXCED_RANGE,
         "a", longestText + "t"},
        {"missing directory", target.c_str(), sandbox + "missing\\x.lnk", false, ERROR_PATH_NOT_FOUND},
        {"path names a directory", target.c_str(), sandboxName, false, ERROR_ACCESS_DENIED},
        {"empty path", target.c_str(), "", false, 1},
        {"null target", nullptr, sandbox + "nulltarget.lnk", false, ERROR_INVALID_PARAMETER},
        {"null path", target.c_str(), "", true, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        jint result = create(c.target, c.arguments.c_str(), c.nullFile ? nullptr : &c.file, c.description.c_str(),
                             c.directory.c_str(), SW_SHOWNORMAL);
        if (c.expected == 1) {
            EXPECT_NE(result, 0) << c.what;
        } else {
            EXPECT_EQ(result, c.expected) << c.what;
        }
        if (c.file != sandboxName) {
            EXPECT_EQ(exists(c.file), result == 0) << c.what;
        }
        if (result == 0) {
            Link link = read(c.file);
            EXPECT_EQ(link.path, c.target) << c.what;
            EXPECT_EQ(link.arguments, c.arguments) << c.what;
            EXPECT_EQ(link.description, c.description) << c.what;
            EXPECT_EQ(link.directory, c.directory) << c.what;
        }
    }
}

// The native leaves each thread's apartment as it found it: on a thread with
// no apartment, in a single-threaded one, and in the multithreaded one, where
// CoInitialize fails with RPC_E_CHANGED_MODE and no CoUninitialize may follow.
TEST_F(ShortcutTest, EveryWayOutLeavesTheThreadsApartmentAsItWas)
{
    const std::string ways[] = {sandbox + "com.lnk", sandbox + "missing\\com.lnk", sandbox + std::string(300, 'c')};
    enum Apartment { none, single, multi };
    for (Apartment apartment : {none, single, multi}) {
        for (const std::string& file : ways) {
            const bool writable = &file == &ways[0];
            DeleteFileA(file.c_str());
            onFreshThread([&] {
                HRESULT own = apartment == single  ? CoInitialize(nullptr)
                              : apartment == multi ? CoInitializeEx(nullptr, COINIT_MULTITHREADED)
                                                   : S_OK;
                ASSERT_EQ(own, S_OK);
                TestJni jni;
                jint result = winCreateShortcut(jni, jni.string(target), nullptr, jni.string(file), nullptr, nullptr, 0);
                EXPECT_EQ(result == 0, writable) << file.size() << " in apartment " << apartment;
                EXPECT_EQ(exists(file), writable) << file.size() << " in apartment " << apartment;
                EXPECT_TRUE(jni.clean());
                // Asking for the multithreaded apartment tells which one the thread is in.
                HRESULT probe = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                EXPECT_EQ(probe, apartment == none ? S_OK : apartment == single ? RPC_E_CHANGED_MODE : S_FALSE)
                    << file.size() << " in apartment " << apartment;
                if (SUCCEEDED(probe)) CoUninitialize();
                if (apartment != none) CoUninitialize();
                EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "unbalanced in " << apartment;
                CoUninitialize();
            });
        }
    }
}

// Failures that the shell's link object does not produce on demand, and the
// order of its setters, seen through a stand-in for CoCreateInstance.
TEST_F(ShortcutTest, ComFailuresGiveTheirWin32CodeAndTheLinkIsReleased)
{
    ImportPatch patch(library(), "CoCreateInstance", reinterpret_cast<void*>(scriptedCoCreateInstance));
    ASSERT_TRUE(patch.applied());
    const std::string file = sandbox + "fake.lnk";
    const std::vector<std::string> allSetters = {"SetPath:t", "SetArguments:a", "SetDescription:d", "SetShowCmd:7",
                                                 "SetWorkingDirectory:w", "QueryInterface(IPersistFile)"};
    const std::string save = "Save:" + file + ":remember";
    struct Case {
        const char* what;
        HRESULT create;
        DWORD createError;
        HRESULT query, save;
        DWORD saveError;
        jint expected;
    };
    const Case cases[] = {
        {"class not registered", REGDB_E_CLASSNOTREG, 0, S_OK, S_OK, 0, static_cast<jint>(REGDB_E_CLASSNOTREG)},
        {"Win32 HRESULT", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), 0, S_OK, S_OK, 0, ERROR_ACCESS_DENIED},
        {"last error set", E_OUTOFMEMORY, ERROR_NOT_ENOUGH_MEMORY, S_OK, S_OK, 0, ERROR_NOT_ENOUGH_MEMORY},
        {"no IPersistFile", S_OK, 0, E_NOINTERFACE, S_OK, 0, static_cast<jint>(E_NOINTERFACE)},
        {"save fails", S_OK, 0, S_OK, E_FAIL, 0, static_cast<jint>(E_FAIL)},
        {"save fails with last error", S_OK, 0, S_OK, E_FAIL, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {"save fails with a Win32 HRESULT", S_OK, 0, S_OK, HRESULT_FROM_WIN32(ERROR_DISK_FULL), 0, ERROR_DISK_FULL},
        {"saved after a stale last error", S_OK, ERROR_FILE_EXISTS, S_OK, S_OK, 0, 0},
    };
    for (const Case& c : cases) {
        FakeLink link;
        link.queryResult = c.query;
        link.saveResult = c.save;
        link.saveLastError = c.saveError;
        script = CreateScript{false, 0, &link, c.create, c.createError};
        EXPECT_EQ(create("t", "a", &file, "d", "w", 7), c.expected) << c.what;
        EXPECT_EQ(script.calls, 1) << c.what;
        EXPECT_EQ(link.references, SUCCEEDED(c.create) ? 0 : 1) << c.what << ": the link was not released";
        std::vector<std::string> expectedLog;
        if (SUCCEEDED(c.create)) expectedLog = allSetters;
        if (SUCCEEDED(c.create) && SUCCEEDED(c.query)) expectedLog.push_back(save);
        EXPECT_EQ(link.log, expectedLog) << c.what;
    }

    // Absent values are skipped; the order of the others stays.
    struct Skip {
        const char *arguments, *description, *directory;
        jint show;
        std::vector<std::string> log;
    };
    const Skip skips[] = {
        {"", nullptr, "", 0, {"SetPath:t"}},
        {nullptr, "d", nullptr, -1, {"SetPath:t", "SetDescription:d"}},
        {"a", "", "w", 1234, {"SetPath:t", "SetArguments:a", "SetShowCmd:1234", "SetWorkingDirectory:w"}},
    };
    for (const Skip& c : skips) {
        FakeLink link;
        script = CreateScript{false, 0, &link, S_OK, 0};
        EXPECT_EQ(create("t", c.arguments, &file, c.description, c.directory, c.show), 0);
        std::vector<std::string> expectedLog = c.log;
        expectedLog.push_back("QueryInterface(IPersistFile)");
        expectedLog.push_back(save);
        EXPECT_EQ(link.log, expectedLog);
        EXPECT_EQ(link.references, 0);
    }
    script = CreateScript{};
}

TEST_F(ShortcutTest, FailedCharacterAcquisitionEndsTheCallBeforeCom)
{
    ImportPatch patch(library(), "CoCreateInstance", reinterpret_cast<void*>(scriptedCoCreateInstance));
    ASSERT_TRUE(patch.applied());
    const std::string file = sandbox + "fault.lnk";
    // The five strings are asked for in parameter order; each fails in turn,
    // and with none failing the same call writes the file.
    for (int nth = 1; nth <= 6; ++nth) {
        script = CreateScript{};
        onFreshThread([&] {
            TestJni jni;
            jni.failNth(Fn::GetStringUTFChars, nth);
            jint result = winCreateShortcut(jni, jni.string(target), jni.string("a"), jni.string(file),
                                            jni.string("d"), jni.string("C:\\"), SW_SHOWNORMAL);
            EXPECT_EQ(result, nth <= 5 ? ERROR_NOT_ENOUGH_MEMORY : 0) << nth;
            EXPECT_EQ(jni.calls(Fn::GetStringUTFChars), nth <= 5 ? nth : 5);
            EXPECT_EQ(jni.pendingClass(), nth <= 5 ? "java/lang/OutOfMemoryError" : "") << nth;
            EXPECT_TRUE(jni.clean()) << nth;
        });
        EXPECT_EQ(script.calls, nth <= 5 ? 0 : 1) << nth;
        EXPECT_EQ(exists(file), nth > 5) << nth;
    }
}

}  // namespace
