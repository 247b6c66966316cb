// The Win32File native: a shell shortcut file written through the shell's
// link object and its IPersistFile interface.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_win32_Win32File.h"

#include <shlobj.h>

#include <cstring>

namespace {

// The longest texts, in the units of the text that the link's methods take:
// bytes of ANSI text (IShellLinkA) or UTF-16 units (IShellLinkW).
// IShellLinkA::SetPath answers a path of MAX_PATH bytes or more with S_FALSE (a
// success code) and keeps a couple of characters of it. Windows gives a process
// a current directory only when it is shorter than MAX_PATH characters, so a
// longer working directory is no place to start a program. SetDescription takes
// at most INFOTIPSIZE characters with the NUL in either form, and
// IShellLinkA::SetArguments as many; Wine's link stores any length. The W form
// of SetArguments has no such limit, and Wine's link saves arguments of up to
// 32,766 characters whole, of longer ones the length modulo 32,767. Each byte
// becomes at most one UTF-16 unit, so a byte count within a limit is a
// character count within it in every code page.
constexpr size_t maxPathUnits = MAX_PATH - 1;
constexpr size_t maxDescriptionUnits = INFOTIPSIZE - 1;
inline size_t maxArgumentUnits(const WindowsText& arguments) noexcept
{
    return arguments.units() ? 32766 : INFOTIPSIZE - 1;
}

// The Win32 code for a COM call that failed: the code the call left as the
// thread's last error when it set one, else the Win32 code that the HRESULT
// carries, else the HRESULT itself. Never 0, so that no failure reads as success.
jint failureCode(HRESULT result, DWORD lastError) noexcept
{
    if (lastError != ERROR_SUCCESS) return static_cast<jint>(lastError);
    if (HRESULT_FACILITY(result) == FACILITY_WIN32 && HRESULT_CODE(result) != 0) return HRESULT_CODE(result);
    return result;
}

// The result for a string whose characters could not be had: text that holds
// U+0000, which the link would cut, is an invalid parameter; otherwise the
// JVM ran out of memory.
jint refused(const WindowsText& text) noexcept
{
    return text.holdsNul() ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY;
}

// An optional value is absent when it is null or empty.
bool present(const WindowsText& text) noexcept
{
    return text && text.length() != 0;
}

// An absent value always fits.
bool fits(const WindowsText& text, size_t maxUnits) noexcept
{
    return !text || text.length() <= maxUnits;
}

// The shortcut's file name as IPersistFile::Save takes it: UTF-16 units as they
// are, ANSI text converted by the code page into buffer (MAX_PATH units).
// MultiByteToWideChar writes nothing usable and returns 0 when the path with
// its NUL does not fit: then null, and such a path never reaches Save.
const WCHAR* saveName(const WindowsText& file, WCHAR* buffer) noexcept
{
    if (file.units()) return file.units();
    return MultiByteToWideChar(CP_ACP, 0, file.ansi(), -1, buffer, MAX_PATH) != 0 ? buffer : nullptr;
}

// The shell link interface that takes text of the characters Char.
template <typename Char>
struct ShellLink;

template <>
struct ShellLink<char> {
    using Interface = IShellLinkA;
    static const IID& id() noexcept { return IID_IShellLinkA; }
};

template <>
struct ShellLink<WCHAR> {
    using Interface = IShellLinkW;
    static const IID& id() noexcept { return IID_IShellLinkW; }
};

struct ShortcutText {
    const WindowsText& target;
    const WindowsText& arguments;
    const WindowsText& description;
    const WindowsText& directory;
};

// Makes the link, sets its values and saves it as fileName, through the link
// interface of the text mode's characters (Char).
template <typename Char>
jint saveShortcut(const ShortcutText& text, jint showCommand, const WCHAR* fileName) noexcept
{
    // CoInitialize fails with RPC_E_CHANGED_MODE on a thread that is in the
    // multithreaded apartment; the link object works there too, and the
    // apartment is left as it was. The apartment ends after the interfaces.
    ComApartment apartment;

    ComPtr<typename ShellLink<Char>::Interface> link;
    SetLastError(ERROR_SUCCESS);
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, ShellLink<Char>::id(), link.put());
    DWORD lastError = GetLastError();
    if (FAILED(result)) return failureCode(result, lastError);

    // The setters' results do not stop the call: the link keeps its default
    // for a value it refuses.
    link->SetPath(text.target.template as<Char>());
    if (present(text.arguments)) link->SetArguments(text.arguments.template as<Char>());
    if (present(text.description)) link->SetDescription(text.description.template as<Char>());
    if (showCommand > 0) link->SetShowCmd(showCommand);
    if (present(text.directory)) link->SetWorkingDirectory(text.directory.template as<Char>());

    ComPtr<IPersistFile> persist;
    SetLastError(ERROR_SUCCESS);
    result = link->QueryInterface(IID_IPersistFile, persist.put());
    lastError = GetLastError();
    if (FAILED(result)) return failureCode(result, lastError);

    SetLastError(ERROR_SUCCESS);
    result = persist->Save(fileName, TRUE);
    lastError = GetLastError();
    if (FAILED(result)) return failureCode(result, lastError);
    return ERROR_SUCCESS;
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
    WindowsText target(env, targetPath);
    if (!target) return refused(target);
    WindowsText argumentText(env, arguments);
    if (arguments && !argumentText) return refused(argumentText);
    WindowsText file(env, shortcutPath);
    if (!file) return refused(file);
    WindowsText descriptionText(env, description);
    if (description && !descriptionText) return refused(descriptionText);
    WindowsText directory(env, workingDirectory);
    if (workingDirectory && !directory) return refused(directory);

    // A value that the link would cut is refused before COM starts, so that no
    // file is written and a result of 0 means every value was saved whole.
    if (!fits(target, maxPathUnits) || !fits(file, maxPathUnits) || !fits(directory, maxPathUnits) ||
        !fits(argumentText, maxArgumentUnits(argumentText)) || !fits(descriptionText, maxDescriptionUnits))
        return ERROR_FILENAME_EXCED_RANGE;

    WCHAR buffer[MAX_PATH];
    const WCHAR* fileName = saveName(file, buffer);
    if (!fileName) return ERROR_FILENAME_EXCED_RANGE;

    ShortcutText text{target, argumentText, descriptionText, directory};
    return byTextMode([&](auto unit) { return saveShortcut<decltype(unit)>(text, showCommand, fileName); });
}
