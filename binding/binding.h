// Conventions shared by every native: the guards that own what a native takes
// from the JVM or from Windows, the handle conversions, and the routines that
// several natives use.
#ifndef ZARN_BINDING_H
#define ZARN_BINDING_H

#include <windows.h>
#include <objbase.h>
#include <jni.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// ---- Library-wide state, written only while the library loads and unloads.
extern HINSTANCE moduleInstance;
extern DWORD defaultClassAtom;

// The default window class, registered for the library's lifetime.
constexpr const char* defaultClassName = "VORURAZUR32";
constexpr const WCHAR* defaultClassNameW = L"VORURAZUR32";
// CS_VREDRAW | CS_HREDRAW | CS_NOCLOSE | CS_GLOBALCLASS.
constexpr UINT popupClassStyle = CS_VREDRAW | CS_HREDRAW | CS_NOCLOSE | CS_GLOBALCLASS;

// ---- Handles cross the JNI boundary as jint. A jint becomes a handle by sign
// extension and a handle becomes a jint by truncation: on 32-bit Windows both
// are bit-for-bit copies; on 64-bit Windows the predefined keys (such as
// HKEY_LOCAL_MACHINE, 0xFFFFFFFF80000002) and INVALID_HANDLE_VALUE are
// sign-extended 32-bit values, and kernel and window handles keep to 32
// significant bits so that 32-bit and 64-bit processes can share them.
template <typename Handle>
inline Handle handleFromJint(jint value) noexcept
{
    return reinterpret_cast<Handle>(static_cast<intptr_t>(value));
}

template <typename Handle>
inline jint handleToJint(Handle handle) noexcept
{
    return static_cast<jint>(reinterpret_cast<intptr_t>(handle));
}

// ---- Text mode: how text crosses between Java strings and Windows, chosen
// once per JVM by the system property zarnwin32.text when the library loads
// (JNI_OnLoad) and never changed after. False (ansi, the default): the modified
// UTF-8 bytes of a Java string go to the A functions, and their text comes back
// through NewStringUTF. True (unicode): the string's UTF-16 units go to the W
// functions, and their text comes back through NewString.
extern bool unicodeText;

// ---- Guards. Each owns one resource from the line that takes it; copying is
// deleted, and the destructor gives the resource back exactly once.

// The modified UTF-8 characters of a Java string. A null string yields null
// characters without a JNI call; test get() == nullptr before use.
class Utf8Chars {
public:
    Utf8Chars(JNIEnv* env, jstring string) noexcept
        : env_(env), string_(string), chars_(string ? env->GetStringUTFChars(string, nullptr) : nullptr)
    {
    }
    ~Utf8Chars() { release(); }
    Utf8Chars(const Utf8Chars&) = delete;
    Utf8Chars& operator=(const Utf8Chars&) = delete;

    const char* get() const noexcept { return chars_; }
    explicit operator bool() const noexcept { return chars_ != nullptr; }

    // Gives the characters back early, where the order of releases matters.
    void release() noexcept
    {
        if (chars_) env_->ReleaseStringUTFChars(string_, chars_);
        chars_ = nullptr;
    }

private:
    JNIEnv* env_;
    jstring string_;
    const char* chars_;
};

// The elements of a Java byte array. A JVM may hand out a copy of the whole
// array (HotSpot does) or the array itself (isCopy tells). They are given back
// with JNI_ABORT, which never writes the array: a mode-0 release would copy the
// whole copy back and undo what other Java threads wrote meanwhile. A native
// that filled some of them copies exactly those bytes back with copyBack.
class ByteElements {
public:
    ByteElements(JNIEnv* env, jbyteArray array) noexcept
        : env_(env), array_(array), elements_(array ? env->GetByteArrayElements(array, &isCopy_) : nullptr)
    {
    }
    ~ByteElements()
    {
        if (elements_) env_->ReleaseByteArrayElements(array_, elements_, JNI_ABORT);
    }
    ByteElements(const ByteElements&) = delete;
    ByteElements& operator=(const ByteElements&) = delete;

    jbyte* get() const noexcept { return elements_; }
    explicit operator bool() const noexcept { return elements_ != nullptr; }

    // Puts elements 0 to count - 1 into the array, where the elements are a
    // copy; false when the JVM raised an error doing so.
    bool copyBack(jsize count) noexcept
    {
        if (!isCopy_ || count == 0) return true;
        env_->SetByteArrayRegion(array_, 0, count, elements_);
        return !env_->ExceptionCheck();
    }

private:
    JNIEnv* env_;
    jbyteArray array_;
    jboolean isCopy_ = JNI_TRUE;
    jbyte* elements_;
};

// One owner for the Win32 handle kinds: Traits give the invalid value and the close call.
// A reset that closes keeps the thread's last-error code.
template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::invalid(); }

    // The address to receive a new handle; the old one is closed first.
    Handle* put() noexcept
    {
        reset();
        return &handle_;
    }

    // Gives up ownership: the caller closes the handle returned.
    Handle release() noexcept
    {
        Handle handle = handle_;
        handle_ = Traits::invalid();
        return handle;
    }

    void reset(Handle handle = Traits::invalid()) noexcept
    {
        if (handle_ != Traits::invalid()) {
            DWORD lastError = GetLastError();
            Traits::close(handle_);
            SetLastError(lastError);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::invalid();
};

struct KeyTraits {
    using Handle = HKEY;
    static HKEY invalid() noexcept { return nullptr; }
    static void close(HKEY key) noexcept { RegCloseKey(key); }
};
using UniqueKey = UniqueHandle<KeyTraits>;

template <typename Char>
struct LocalTextTraits {
    using Handle = Char*;
    static Char* invalid() noexcept { return nullptr; }
    static void close(Char* memory) noexcept { LocalFree(memory); }
};
// Text that Windows allocated with LocalAlloc (FormatMessageA or FormatMessageW).
template <typename Char>
using UniqueLocalText = UniqueHandle<LocalTextTraits<Char>>;

struct MallocTraits {
    using Handle = char*;
    static char* invalid() noexcept { return nullptr; }
    static void close(char* memory) noexcept { std::free(memory); }
};
// A working buffer from the C runtime's heap (malloc); get() is null when the
// allocation failed or none was made. Not the process heap: under Wine, a
// buffer held there while RegQueryValueExA takes its own of the data's size
// from the same heap makes that heap commit and decommit the pages of the
// second buffer on every call.
class MallocBuffer : public UniqueHandle<MallocTraits> {
public:
    MallocBuffer() noexcept = default;
    explicit MallocBuffer(size_t size) noexcept { allocate(size); }

    // Gives back the buffer held and takes one of size bytes; false when the allocation failed.
    bool allocate(size_t size) noexcept
    {
        reset(static_cast<char*>(std::malloc(size ? size : 1)));
        return get() != nullptr;
    }
};

// The characters of a Java string in the form of the text mode: its modified
// UTF-8 bytes (ansi(), from GetStringUTFChars) or its UTF-16 units with a NUL
// (units(), copied with GetStringRegion into a buffer on the stack for text of
// ordinary length, from the heap beyond). A null string yields no characters
// without a JNI call; so does a failure, with OutOfMemoryError pending. UTF-16
// units that hold U+0000, where a W function would end the text, are refused:
// holdsNul() is then true and nothing is pending. Modified UTF-8 carries
// U+0000 as the bytes C0 80 and is never cut. The Windows call that takes the
// text picks its A or W form by which of the two is set.
class WindowsText {
public:
    WindowsText(JNIEnv* env, jstring string) noexcept;
    ~WindowsText() { release(); }
    WindowsText(const WindowsText&) = delete;
    WindowsText& operator=(const WindowsText&) = delete;

    explicit operator bool() const noexcept { return ansi_ || units_; }
    const char* ansi() const noexcept { return ansi_; }
    const WCHAR* units() const noexcept { return units_; }
    // The characters in the form of Char: ansi() for char, units() for WCHAR.
    template <typename Char>
    const Char* as() const noexcept;
    bool holdsNul() const noexcept { return holdsNul_; }
    // The text's length in its own units (bytes or UTF-16 units), without the NUL.
    size_t length() const noexcept { return units_ ? length_ : ansi_ ? strlen(ansi_) : 0; }
    // The text with its NUL as bytes, and their count, as registry string data stores it.
    const void* data() const noexcept { return units_ ? static_cast<const void*>(units_) : ansi_; }
    DWORD dataSize() const noexcept
    {
        return static_cast<DWORD>((length() + 1) * (units_ ? sizeof(WCHAR) : 1));
    }

    // Gives the characters back early, where the order of releases matters.
    void release() noexcept;

private:
    // MAX_PATH units: every path that Windows takes without the long-path
    // prefix fits without the heap.
    static constexpr jsize stackUnits = MAX_PATH;

    JNIEnv* env_;
    jstring string_;
    const char* ansi_ = nullptr;
    const WCHAR* units_ = nullptr;
    size_t length_ = 0;
    bool holdsNul_ = false;
    MallocBuffer large_;
    WCHAR small_[stackUnits + 1];
};

template <>
inline const char* WindowsText::as<char>() const noexcept
{
    return ansi_;
}

template <>
inline const WCHAR* WindowsText::as<WCHAR>() const noexcept
{
    return units_;
}

// Calls f with a value of the text mode's character type, char or WCHAR, for
// the routines that hold text from Windows in buffers of that type.
template <typename Function>
auto byTextMode(Function f) noexcept -> decltype(f(char{}))
{
    return unicodeText ? f(WCHAR{}) : f(char{});
}

// Runs a callable on every way out of a scope.
template <typename Callable>
class ScopeExit {
public:
    explicit ScopeExit(Callable callable) noexcept : callable_(callable) {}
    ~ScopeExit() { callable_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Callable callable_;
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static HANDLE invalid() noexcept { return nullptr; }
    static void close(HANDLE handle) noexcept { CloseHandle(handle); }
};
// A kernel handle whose failure value is null (a token, a thread).
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

// A COM interface pointer, released once.
template <typename Interface>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr()
    {
        if (pointer_) pointer_->Release();
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    Interface* get() const noexcept { return pointer_; }
    Interface* operator->() const noexcept { return pointer_; }
    void** put() noexcept { return reinterpret_cast<void**>(&pointer_); }

private:
    Interface* pointer_ = nullptr;
};

// The COM apartment of one call: uninitialised only if this call initialised it
// (S_OK or S_FALSE); RPC_E_CHANGED_MODE leaves the thread's apartment alone.
class ComApartment {
public:
    ComApartment() noexcept : result_(CoInitialize(nullptr)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT result() const noexcept { return result_; }

private:
    HRESULT result_;
};

// ---- Shared routines.

// Registers a window class of the library's popup kind, whose window procedure
// is DefWindowProcA, or DefWindowProcW for a name of UTF-16 units: a window
// keeps its title in the form of its procedure. A null instance registers a
// global class with no instance of its own. Returns the class's atom, 0 when
// Windows refused (a global class of that name exists already).
ATOM registerPopupClass(const char* name, HINSTANCE instance) noexcept;
ATOM registerPopupClass(const WCHAR* name, HINSTANCE instance) noexcept;

// How often a native asks again for text that outgrew the buffer that Windows
// had just asked for; text that keeps growing (another thread changing it
// between the calls) is given up after that, instead of holding the thread.
constexpr int sizeTries = 4;

// Raises com.zarn.kelda.dravik.common.win32.RegistryException with the message.
// If the class cannot be found, the error of the failed lookup stays pending.
void throwRegistryException(JNIEnv* env, const char* message) noexcept;

// Raises java.lang.OutOfMemoryError, as the JVM does when it cannot supply
// a string's characters.
void throwOutOfMemory(JNIEnv* env) noexcept;

// The operating system's text for a Win32 error code, its inserts (%1) left
// as they are, or null when it has none; the caller owns the text (LocalFree).
char* formatSystemMessage(DWORD code) noexcept;
WCHAR* formatSystemMessageW(DWORD code) noexcept;
inline char* formatSystemMessage(DWORD code, char) noexcept { return formatSystemMessage(code); }
inline WCHAR* formatSystemMessage(DWORD code, WCHAR) noexcept { return formatSystemMessageW(code); }

// Text from Windows in the form that NewStringUTF and ThrowNew require:
// modified UTF-8. Text that already is (all ASCII, and all that this library
// stored from Java strings) is used as it is; any other text is ANSI text and
// is decoded by the ANSI code page. get() is null when memory ran out.
class JavaText {
public:
    explicit JavaText(const char* windowsText) noexcept;
    // UTF-16 text from a W function, encoded as Java encodes it.
    explicit JavaText(const WCHAR* windowsText) noexcept;
    JavaText(const JavaText&) = delete;
    JavaText& operator=(const JavaText&) = delete;

    const char* get() const noexcept { return text_; }

private:
    // Text of up to this many characters is converted without the heap.
    static constexpr int smallUnits = 256;
    char small_[smallUnits * 3];
    MallocBuffer large_;
    const char* text_ = nullptr;
};

// A Java string of text from Windows (see JavaText). Null when the JVM failed,
// with its error pending, or when memory ran out, with nothing pending.
jstring newStringFromWindows(JNIEnv* env, const char* windowsText) noexcept;

// A Java string of count UTF-16 units from a W function, exactly as they are
// (unpaired surrogates too). Null with the JVM's error pending.
jstring newStringFromWindows(JNIEnv* env, const WCHAR* units, size_t count) noexcept;
inline jstring newStringFromWindows(JNIEnv* env, const WCHAR* text) noexcept
{
    return newStringFromWindows(env, text, wcslen(text));
}

// ---- Functions of kernel32 and advapi32 newer than Windows XP, found at run
// time (null where Windows lacks them) so that the library still loads on
// older Windows. bindNewerFunctions runs once while the library loads
// (DLL_PROCESS_ATTACH); releaseNewerFunctions gives back the watchdog's lock
// when it unloads.
void bindNewerFunctions() noexcept;
void releaseNewerFunctions() noexcept;
using CancelIoExFunction = BOOL(WINAPI*)(HANDLE, OVERLAPPED*);
using PipeProcessIdFunction = BOOL(WINAPI*)(HANDLE, ULONG*);
extern CancelIoExFunction cancelIoEx;
extern PipeProcessIdFunction getNamedPipeClientProcessId;
extern PipeProcessIdFunction getNamedPipeServerProcessId;
// RegDeleteKeyEx came with Windows XP x64 and Server 2003 SP1, RegDeleteTree with Vista.
extern LONG(WINAPI* regDeleteKeyExA)(HKEY, LPCSTR, REGSAM, DWORD);
extern LONG(WINAPI* regDeleteKeyExW)(HKEY, LPCWSTR, REGSAM, DWORD);
extern LONG(WINAPI* regDeleteTreeA)(HKEY, LPCSTR);
extern LONG(WINAPI* regDeleteTreeW)(HKEY, LPCWSTR);

// ---- Deadlines for synchronous I/O. A handle opened without
// FILE_FLAG_OVERLAPPED offers no wait with a time-out, so one watchdog thread
// cancels the call of a thread whose deadline has passed with
// CancelSynchronousIo, which cancels that thread's synchronous I/O only and
// never another thread's call on the same handle. The watchdog starts with the
// first deadline, holds a reference to the library while it runs, and ends
// after two seconds without one. Before Windows Vista no deadline can be set.

// One thread's deadline, on its stack while it is set; the watchdog reads it
// under its lock.
struct IoDeadline {
    IoDeadline* next = nullptr;
    IoDeadline* previous = nullptr;
    DWORD thread = 0;
    DWORD due = 0;           // GetTickCount() at which the call is cancelled
    bool cancelled = false;  // the watchdog has cancelled the thread's I/O
};

// Sets a deadline timeoutMillis from now for the calling thread; false when none can be set.
bool armIoDeadline(IoDeadline& deadline, DWORD timeoutMillis) noexcept;
// Takes the deadline back; true when the watchdog cancelled the thread's I/O.
// The watchdog cancels nothing of the thread after this returns. Keeps the
// thread's last-error code.
bool disarmIoDeadline(IoDeadline& deadline) noexcept;

// Makes call(), one synchronous I/O call on the calling thread, under a
// deadline: the call is cancelled (it fails with ERROR_OPERATION_ABORTED)
// when it is still waiting timeoutMillis after it began. A cancel may come
// before the call has begun: the watchdog then cancels again, every
// millisecond, until the call has returned. False when no deadline could be
// set; then call() was not made. timedOut tells whether the watchdog cancelled.
template <typename Call>
bool callWithDeadline(DWORD timeoutMillis, bool& timedOut, Call call) noexcept
{
    IoDeadline deadline;
    if (!armIoDeadline(deadline, timeoutMillis)) return false;
    call();
    timedOut = disarmIoDeadline(deadline);
    return true;
}

#endif
