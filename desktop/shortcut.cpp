// The Win32File native: a shell shortcut file written through the shell's
// link object and its IPersistFile interface.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_win32_Win32File.h"

#include <shlobj.h>

#include <cstring>

namespace {

// The longest texts, in bytes of the ANSI text that the link's A methods take.
// IShellLinkA::SetPath answers a path of MAX_PATH bytes or more with S_FALSE (a
// success code) and keeps a couple of characters of it. Windows gives a process
// a current directory only when it is shorter than MAX_PATH characters, so a
// longer working directory is no place to start a program. Wine's link saves
// arguments and a description of up to 32,766 characters whole, and of longer
// ones the length modulo 32,767. Each byte becomes at most one UTF-16 unit, so
// a byte count within the limit is a character count within it in every code
// page.
constexpr size_t maxPathBytes = MAX_PATH - 1;
constexpr size_t maxTextBytes = 32766;

// The Win32 code for a COM call that failed: the code the call left as the
// thread's last error when it set one, else the Win32 code that the HRESULT
// carries, else the HRESULT itself. Never 0, so that no failure reads as success.
jint failureCode(HRESULT result, DWORD lastError) noexcept
{
    if (lastError != ERROR_SUCCESS) return static_cast<jint>(lastError);
    if (HRESULT_FACILITY(result) == FACILITY_WIN32 && HRESULT_CODE(result) != 0) return HRESULT_CODE(result);
    return result;
}

// An optional value is absent when it is null or empty.
bool present(const Utf8Chars& chars) noexcept
{
    return chars && chars.get()[0] != '\0';
}

// An absent value always fits.
bool fits(const Utf8Chars& chars, size_t maxBytes) noexcept
{
    return !chars || strlen(chars.get()) <= maxBytes;
}

}  // namespace

// Win32File.winCreateShortcut(String targetPath, String arguments, String shortcutPath,
//                             String description, String workingDirectory, int showCommand) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_win32_Win32File_winCreateShortcut(JNIEnv* env, jclass, jstring targetPath,
                                                                    jstring arguments, jstring shortcutPath,
                                                                    jstring description,
                                                                    jstring workingDirectory,
                                                                    jint showCommand) noexcept
{
    if (targetPath == nullptr || shortcutPath == nullptr) return ERROR_INVALID_PARAMETER;

    // A failed GetStringUTFChars leaves an OutOfMemoryError pending, after which
    // JNI allows no further GetStringUTFChars: the first failure ends the call.
    // A null optional string yields no characters and counts as empty.
    Utf8Chars target(env, targetPath);
    if (!target) return ERROR_NOT_ENOUGH_MEMORY;
    Utf8Chars argumentText(env, arguments);
    if (arguments && !argumentText) return ERROR_NOT_ENOUGH_MEMORY;
    Utf8Chars file(env, shortcutPath);
    if (!file) return ERROR_NOT_ENOUGH_MEMORY;
    Utf8Chars descriptionText(env, description);
    if (description && !descriptionText) return ERROR_NOT_ENOUGH_MEMORY;
    Utf8Chars directory(env, workingDirectory);
    if (workingDirectory && !directory) return ERROR_NOT_ENOUGH_MEMORY;

    // A value that the link would cut is refused before COM starts, so that no
    // file is written and a result of 0 means every value was saved whole.
    if (!fits(target, maxPathBytes) || !fits(file, maxPathBytes) || !fits(directory, maxPathBytes) ||
        !fits(argumentText, maxTextBytes) || !fits(descriptionText, maxTextBytes))
        return ERROR_FILENAME_EXCED_RANGE;

    // MultiByteToWideChar writes nothing usable and returns 0 when the path with
    // its NUL does not fit; such a path never reaches Save.
    WCHAR widePath[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, file.get(), -1, widePath, MAX_PATH) == 0) return ERROR_FILENAME_EXCED_RANGE;

    // CoInitialize fails with RPC_E_CHANGED_MODE on a thread that is in the
    // multithreaded apartment; the link object works there too, and the
    // apartment is left as it was. The apartment ends after the interfaces.
    ComApartment apartment;

    ComPtr<IShellLinkA> link;
    SetLastError(ERROR_SUCCESS);
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.put());
    DWORD lastError = GetLastError();
    if (FAILED(result)) return failureCode(result, lastError);

    // The setters' results do not stop the call: the link keeps its default
    // for a value it refuses.
    link->SetPath(target.get());
    if (present(argumentText)) link->SetArguments(argumentText.get());
    if (present(descriptionText)) link->SetDescription(descriptionText.get());
    if (showCommand > 0) link->SetShowCmd(showCommand);
    if (present(directory)) link->SetWorkingDirectory(directory.get());

    ComPtr<IPersistFile> persist;
    SetLastError(ERROR_SUCCESS);
    result = link->QueryInterface(IID_IPersistFile, persist.put());
    lastError = GetLastError();
    if (FAILED(result)) return failureCode(result, lastError);

    SetLastError(ERROR_SUCCESS);
    result = persist->Save(widePath, TRUE);
    lastError = GetLastError();
    if (FAILED(result)) return failureCode(result, lastError);
    return ERROR_SUCCESS;
}
