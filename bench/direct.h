// The Win32 sequence of each measured native, written out by hand with the
// same JNI acquisitions and result objects, and the same signature, so that a
// native and its direct sequence are called alike and differ only in the
// library's own work.
#ifndef ZARN_BENCH_DIRECT_H
#define ZARN_BENCH_DIRECT_H

#include <windows.h>
#include <jni.h>

namespace direct {

// Environment.getEnvironmentVariable: GetStringUTFChars, GetEnvironmentVariableA
// into a 4096-byte stack buffer, ReleaseStringUTFChars, NewStringUTF.
jstring JNICALL getEnvironmentVariable(JNIEnv* env, jclass, jstring name);

// Where keyGetValue's sequence takes its data buffer from: the process heap
// (HeapAlloc, HeapFree), the C runtime (malloc, free), a heap of its own
// (HeapCreate once, then HeapAlloc, HeapFree), fresh pages (VirtualAlloc,
// VirtualFree), or no buffer at all: REG_BINARY data read straight into the
// elements of the new byte[] (other types through malloc).
enum class Buffer { ProcessHeap, Malloc, PrivateHeap, Pages, JavaArray };
const char* bufferName(Buffer buffer);

// Registry.keyGetValue: RegOpenKeyExA (KEY_READ), RegQueryValueExA for the
// size, the data buffer, RegQueryValueExA for the data, RegCloseKey; then a
// byte[] (NewByteArray, SetByteArrayRegion) or a String (NewStringUTF).
// keyGetValue takes its buffer with malloc, as the library does;
// keyGetValueProcessHeap with HeapAlloc from the process heap, as the library
// did before; keyGetValueWith from the source named.
jobject JNICALL keyGetValue(JNIEnv* env, jclass, jint root, jstring subKey, jstring valueName);
jobject JNICALL keyGetValueProcessHeap(JNIEnv* env, jclass, jint root, jstring subKey, jstring valueName);
jobject keyGetValueWith(Buffer buffer, JNIEnv* env, jint root, jstring subKey, jstring valueName);

// Registry.keySetValue for byte[] and String values: RegOpenKeyExA
// (KEY_ALL_ACCESS), the class test (GetObjectClass, FindClass,
// IsAssignableFrom), the value's bytes, RegSetValueExA, RegCloseKey.
void JNICALL keySetValue(JNIEnv* env, jclass, jint root, jstring subKey, jstring valueName, jint type,
                         jobject value, jboolean broadcast);

// Registry.keyGetSubKeys: CreateEventW, GetStringUTFChars, RegOpenKeyExA
// (KEY_READ), ReleaseStringUTFChars, RegNotifyChangeKeyValue with the event,
// RegQueryInfoKeyA for the count, FindClass and NewObjectArray of that many,
// then for each sub-key RegEnumKeyExA into a stack buffer, NewStringUTF,
// SetObjectArrayElement and DeleteLocalRef; WaitForSingleObject on the event,
// RegCloseKey, CloseHandle. Null when an enumeration fails or the key changed.
jobjectArray JNICALL keyGetSubKeys(JNIEnv* env, jclass, jint root, jstring subKey);

// Registry.keyExists: RegOpenKeyExA (KEY_READ), RegCloseKey.
jboolean JNICALL keyExists(JNIEnv* env, jclass, jint root, jstring subKey);

// WinPipe.read and WinPipe.write: GetByteArrayElements, one ReadFile or
// WriteFile, ReleaseByteArrayElements (mode 0).
jint JNICALL read(JNIEnv* env, jclass, jint handle, jbyteArray data, jint length);
jint JNICALL write(JNIEnv* env, jclass, jint handle, jbyteArray data, jint length);

// Window.createWindow and Window.destroyWindow: RegisterClassA (a pop-up
// class), CreateWindowExA (a hidden pop-up window); DestroyWindow.
jint JNICALL createWindow(JNIEnv* env, jclass, jstring windowName, jstring className, jint, jint, jint x, jint y,
                          jint width, jint height);
void JNICALL destroyWindow(JNIEnv* env, jclass, jint hwnd);

// Win32File.winCreateShortcut: CoInitialize, CoCreateInstance(CLSID_ShellLink),
// the IShellLinkA setters, QueryInterface(IPersistFile), MultiByteToWideChar,
// IPersistFile::Save, the releases, CoUninitialize.
jint JNICALL winCreateShortcut(JNIEnv* env, jclass, jstring targetPath, jstring arguments, jstring shortcutPath,
                               jstring description, jstring workingDirectory, jint showCommand);

}  // namespace direct

#endif
