#include "direct.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdlib>

namespace direct {

namespace {

// A jint carries a handle bit for bit (sign-extended on 64-bit Windows).
template <typename Handle>
Handle fromJint(jint value)
{
    return reinterpret_cast<Handle>(static_cast<intptr_t>(value));
}

}  // namespace

jstring JNICALL getEnvironmentVariable(JNIEnv* env, jclass, jstring name)
{
    const char* chars = env->GetStringUTFChars(name, nullptr);
    if (!chars) return nullptr;
    char value[4096];
    DWORD length = GetEnvironmentVariableA(chars, value, sizeof value);
    env->ReleaseStringUTFChars(name, chars);
    if (length == 0 || length >= sizeof value) return nullptr;
    return env->NewStringUTF(value);
}

const char* bufferName(Buffer buffer)
{
    switch (buffer) {
    case Buffer::ProcessHeap: return "HeapAlloc, process heap";
    case Buffer::Malloc: return "malloc";
    case Buffer::PrivateHeap: return "HeapAlloc, heap of its own";
    case Buffer::Pages: return "VirtualAlloc";
    case Buffer::JavaArray: return "the byte[]'s elements";
    }
    return "";
}

namespace {

HANDLE privateHeap()
{
    static const HANDLE heap = HeapCreate(0, 0, 0);
    return heap;
}

char* allocate(Buffer buffer, SIZE_T size)
{
    switch (buffer) {
    case Buffer::ProcessHeap: return static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size));
    case Buffer::PrivateHeap: return static_cast<char*>(HeapAlloc(privateHeap(), 0, size));
    case Buffer::Pages: return static_cast<char*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    case Buffer::Malloc: case Buffer::JavaArray: break;
    }
    return static_cast<char*>(malloc(size));
}

void release(Buffer buffer, char* data)
{
    switch (buffer) {
    case Buffer::ProcessHeap: HeapFree(GetProcessHeap(), 0, data); return;
    case Buffer::PrivateHeap: HeapFree(privateHeap(), 0, data); return;
    case Buffer::Pages: VirtualFree(data, 0, MEM_RELEASE); return;
    case Buffer::Malloc: case Buffer::JavaArray: break;
    }
    free(data);
}

// REG_BINARY data of the size queried, read into the elements of a new byte[]
// and given back with mode 0; null when the value changed size or type since.
jbyteArray readIntoArray(JNIEnv* env, HKEY key, const char* name, DWORD size)
{
    jbyteArray array = env->NewByteArray(static_cast<jsize>(size));
    if (!array) return nullptr;
    jbyte* elements = env->GetByteArrayElements(array, nullptr);
    if (!elements) return nullptr;
    DWORD type = 0, got = size;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(elements), &got);
    env->ReleaseByteArrayElements(array, elements, 0);
    return status == ERROR_SUCCESS && got == size && (type == REG_BINARY || type == REG_NONE) ? array : nullptr;
}

// The path's characters, the open and their release, as the natives do them; null when either failed.
HKEY openKey(JNIEnv* env, jint root, jstring subKey, REGSAM mask)
{
    const char* path = env->GetStringUTFChars(subKey, nullptr);
    if (!path) return nullptr;
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(fromJint<HKEY>(root), path, 0, mask, &key);
    env->ReleaseStringUTFChars(subKey, path);
    return status == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

jobject keyGetValueWith(Buffer buffer, JNIEnv* env, jint root, jstring subKey, jstring valueName)
{
    HKEY key = openKey(env, root, subKey, KEY_READ);
    if (!key) return nullptr;

    const char* name = env->GetStringUTFChars(valueName, nullptr);
    DWORD type = 0, size = 0;
    LONG status = name ? RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) : ERROR_OUTOFMEMORY;
    if (buffer == Buffer::JavaArray && status == ERROR_SUCCESS && (type == REG_BINARY || type == REG_NONE)) {
        jbyteArray array = readIntoArray(env, key, name, size);
        RegCloseKey(key);
        env->ReleaseStringUTFChars(valueName, name);
        return array;
    }
    // One byte more than the data, for the NUL of a string stored without one.
    char* data = status == ERROR_SUCCESS ? allocate(buffer, size + 1) : nullptr;
    if (data) status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (name) env->ReleaseStringUTFChars(valueName, name);

    jobject result = nullptr;
    if (data && status == ERROR_SUCCESS) {
        if (type == REG_SZ) {
            data[size] = '\0';
            result = env->NewStringUTF(data);
        } else if (type == REG_BINARY || type == REG_NONE) {
            jbyteArray array = env->NewByteArray(static_cast<jsize>(size));
            if (array) env->SetByteArrayRegion(array, 0, static_cast<jsize>(size), reinterpret_cast<jbyte*>(data));
            result = array;
        }
    }
    if (data) release(buffer, data);
    return result;
}

jobject JNICALL keyGetValue(JNIEnv* env, jclass, jint root, jstring subKey, jstring valueName)
{
    return keyGetValueWith(Buffer::Malloc, env, root, subKey, valueName);
}

jobject JNICALL keyGetValueProcessHeap(JNIEnv* env, jclass, jint root, jstring subKey, jstring valueName)
{
    return keyGetValueWith(Buffer::ProcessHeap, env, root, subKey, valueName);
}

void JNICALL keySetValue(JNIEnv* env, jclass, jint root, jstring subKey, jstring valueName, jint type,
                         jobject value, jboolean)
{
    HKEY key = openKey(env, root, subKey, KEY_ALL_ACCESS);
    if (!key) return;

    const char* name = env->GetStringUTFChars(valueName, nullptr);
    if (name) {
        bool binary = type == REG_BINARY || type == REG_NONE;
        jclass wanted = env->FindClass(binary ? "[B" : "java/lang/String");
        if (wanted && env->IsAssignableFrom(env->GetObjectClass(value), wanted)) {
            if (binary) {
                auto array = static_cast<jbyteArray>(value);
                jbyte* elements = env->GetByteArrayElements(array, nullptr);
                if (elements) {
                    jsize length = env->GetArrayLength(array);
                    RegSetValueExA(key, name, 0, static_cast<DWORD>(type), reinterpret_cast<BYTE*>(elements),
                                   static_cast<DWORD>(length));
                    env->ReleaseByteArrayElements(array, elements, 0);
                }
            } else {
                auto string = static_cast<jstring>(value);
                const char* chars = env->GetStringUTFChars(string, nullptr);
                if (chars) {
                    DWORD size = static_cast<DWORD>(env->GetStringUTFLength(string)) + 1;
                    RegSetValueExA(key, name, 0, static_cast<DWORD>(type), reinterpret_cast<const BYTE*>(chars), size);
                    env->ReleaseStringUTFChars(string, chars);
                }
            }
        }
        env->ReleaseStringUTFChars(valueName, name);
    }
    RegCloseKey(key);
}

jobjectArray JNICALL keyGetSubKeys(JNIEnv* env, jclass, jint root, jstring subKey)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HKEY key = openKey(env, root, subKey, KEY_READ);
    if (!key || !event || RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME, event, TRUE) != ERROR_SUCCESS) {
        if (key) RegCloseKey(key);
        if (event) CloseHandle(event);
        return nullptr;
    }
    DWORD count = 0;
    LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    jclass stringClass = status == ERROR_SUCCESS ? env->FindClass("java/lang/String") : nullptr;
    jobjectArray array = stringClass ? env->NewObjectArray(static_cast<jsize>(count), stringClass, nullptr) : nullptr;
    for (DWORD i = 0; array && i < count; ++i) {
        char name[256 * 3];
        DWORD length = sizeof name;
        jstring string = nullptr;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            string = env->NewStringUTF(name);
        if (!string) {
            array = nullptr;
            break;
        }
        env->SetObjectArrayElement(array, static_cast<jsize>(i), string);
        env->DeleteLocalRef(string);
    }
    if (WaitForSingleObject(event, 0) != WAIT_TIMEOUT) array = nullptr;
    RegCloseKey(key);
    CloseHandle(event);
    return array;
}

jboolean JNICALL keyExists(JNIEnv* env, jclass, jint root, jstring subKey)
{
    const char* path = env->GetStringUTFChars(subKey, nullptr);
    if (!path) return JNI_FALSE;
    HKEY key;
    LONG status = RegOpenKeyExA(fromJint<HKEY>(root), path, 0, KEY_READ, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    env->ReleaseStringUTFChars(subKey, path);
    return status == ERROR_SUCCESS;
}

jint JNICALL read(JNIEnv* env, jclass, jint handle, jbyteArray data, jint length)
{
    jbyte* elements = env->GetByteArrayElements(data, nullptr);
    if (!elements) return -1;
    DWORD count = 0;
    BOOL ok = ReadFile(fromJint<HANDLE>(handle), elements, static_cast<DWORD>(length), &count, nullptr);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    env->ReleaseByteArrayElements(data, elements, 0);
    if (!ok && error != ERROR_MORE_DATA) return -1;
    return static_cast<jint>(count) < length ? static_cast<jint>(count) : length;
}

jint JNICALL write(JNIEnv* env, jclass, jint handle, jbyteArray data, jint length)
{
    jbyte* elements = env->GetByteArrayElements(data, nullptr);
    if (!elements) return 0;
    DWORD count = 0;
    BOOL ok = WriteFile(fromJint<HANDLE>(handle), elements, static_cast<DWORD>(length), &count, nullptr);
    env->ReleaseByteArrayElements(data, elements, 0);
    return ok ? static_cast<jint>(count) : 0;
}

jint JNICALL createWindow(JNIEnv* env, jclass, jstring windowName, jstring className, jint, jint, jint x, jint y,
                          jint width, jint height)
{
    const char* title = env->GetStringUTFChars(windowName, nullptr);
    const char* name = env->GetStringUTFChars(className, nullptr);
    jint result = title ? 0 : -1;
    if (title && name) {
        WNDCLASSA windowClass = {};
        windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_NOCLOSE | CS_GLOBALCLASS;
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
        windowClass.lpszClassName = name;
        RegisterClassA(&windowClass);
        HWND window = CreateWindowExA(0, name, title, WS_POPUP | WS_CAPTION | WS_SYSMENU, x, y, width, height, nullptr,
                                      nullptr, nullptr, nullptr);
        result = static_cast<jint>(reinterpret_cast<intptr_t>(window));
    }
    if (title) env->ReleaseStringUTFChars(windowName, title);
    if (name) env->ReleaseStringUTFChars(className, name);
    return result;
}

void JNICALL destroyWindow(JNIEnv*, jclass, jint hwnd)
{
    if (hwnd) DestroyWindow(fromJint<HWND>(hwnd));
}

jint JNICALL winCreateShortcut(JNIEnv* env, jclass, jstring targetPath, jstring arguments, jstring shortcutPath,
                               jstring description, jstring workingDirectory, jint showCommand)
{
    jstring strings[] = {targetPath, arguments, shortcutPath, description, workingDirectory};
    const char* chars[5];
    for (int i = 0; i < 5; ++i) chars[i] = env->GetStringUTFChars(strings[i], nullptr);

    jint result = 0;
    HRESULT apartment = CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    HRESULT created = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                       reinterpret_cast<void**>(&link));
    result = static_cast<jint>(GetLastError());
    if (SUCCEEDED(created) && chars[0] && chars[2]) {
        link->SetPath(chars[0]);
        if (chars[1] && *chars[1]) link->SetArguments(chars[1]);
        if (chars[3] && *chars[3]) link->SetDescription(chars[3]);
        if (showCommand > 0) link->SetShowCmd(showCommand);
        if (chars[4] && *chars[4]) link->SetWorkingDirectory(chars[4]);
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            WCHAR path[MAX_PATH];
            if (MultiByteToWideChar(CP_ACP, 0, chars[2], -1, path, MAX_PATH) > 0) {
                if (FAILED(file->Save(path, TRUE))) result = static_cast<jint>(GetLastError());
            }
            file->Release();
        }
    }
    if (link) link->Release();
    for (int i = 0; i < 5; ++i)
        if (chars[i]) env->ReleaseStringUTFChars(strings[i], chars[i]);
    if (SUCCEEDED(apartment)) CoUninitialize();
    return result;
}

}  // namespace direct
