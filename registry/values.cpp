// The Registry natives that move values between the registry and Java objects:
// byte[] for REG_NONE and REG_BINARY, String for REG_SZ and REG_EXPAND_SZ
// (expanded when read), Integer for REG_DWORD and REG_DWORD_BIG_ENDIAN (both
// little-endian). String data is ANSI text through the A functions in ansi
// mode, UTF-16 text through the W functions in unicode mode: the registry
// stores both as UTF-16, converting ANSI text by the code page.
#include "registry.h"

#include <cstdio>
#include <string>

#include "com_zarn_kelda_dravik_common_win32_Registry.h"

namespace {

// A String of text read from the registry; raises the read's message when
// memory for the text ran out (a JVM error stays pending as it is).
jobject registryString(JNIEnv* env, const char* text) noexcept
{
    jstring string = newStringFromWindows(env, text);
    if (!string && !env->ExceptionCheck()) throwRegistryException(env, retrieveError);
    return string;
}

jobject registryString(JNIEnv* env, const WCHAR* text) noexcept
{
    return newStringFromWindows(env, text);
}

// String data as RegQueryValueEx gave it, size bytes in a buffer with two NUL
// bytes after them, made a C string of the text mode: ANSI data ends at its
// first NUL byte; UTF-16 data at its first NUL unit, and an odd last byte,
// half a unit, is no character and is dropped. Data without a NUL is taken
// whole.
template <typename Char>
const Char* stringData(char* data, DWORD size) noexcept;

template <>
const char* stringData<char>(char* data, DWORD) noexcept
{
    return data;
}

template <>
const WCHAR* stringData<WCHAR>(char* data, DWORD size) noexcept
{
    auto units = reinterpret_cast<WCHAR*>(data);
    units[size / sizeof(WCHAR)] = L'\0';
    return units;
}

inline DWORD expandEnvironmentStrings(const char* text, char* out, DWORD size) noexcept
{
    return ExpandEnvironmentStringsA(text, out, size);
}

inline DWORD expandEnvironmentStrings(const WCHAR* text, WCHAR* out, DWORD size) noexcept
{
    return ExpandEnvironmentStringsW(text, out, size);
}

// Raises the system's text for code, in the text mode's characters (Char);
// false when it has none. On a Windows in another language it holds characters
// that ThrowNew must receive as modified UTF-8.
template <typename Char>
bool throwSystemText(JNIEnv* env, DWORD code) noexcept
{
    UniqueLocalText<Char> text(formatSystemMessage(code, Char{}));
    if (!text) return false;
    JavaText message(text.get());
    if (message.get()) throwRegistryException(env, message.get());
    return message.get() != nullptr;
}

// Raises the operating system's text for a Win32 error code; a code that has
// no text still gives a message that names it.
void throwSystemMessage(JNIEnv* env, DWORD code) noexcept
{
    if (byTextMode([&](auto unit) { return throwSystemText<decltype(unit)>(env, code); })) return;
    char fallback[32];
    snprintf(fallback, sizeof fallback, "Win32 error %lu", static_cast<unsigned long>(code));
    throwRegistryException(env, fallback);
}

// The first four bytes of REG_DWORD data, little-endian; shorter data is
// zero-extended, so nothing past the data is read.
jint littleEndianInt(const char* data, DWORD size) noexcept
{
    uint32_t value = 0;
    for (DWORD i = 0; i < size && i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    return static_cast<jint>(value);
}

// ExpandEnvironmentStrings reads at most 32,766 UTF-16 units of a text and
// writes at most as many (UNICODE_STRING_MAX_CHARS with the NUL): it cuts a
// longer text, and a longer expansion too, still returning the whole size.
constexpr size_t longestExpansion = UNICODE_STRING_MAX_CHARS - 1;

// The text's length in UTF-16 units: ANSI text counts its units in the code
// page, where each takes one byte or more.
size_t expansionUnits(const WCHAR* text) noexcept
{
    return wcslen(text);
}

size_t expansionUnits(const char* text) noexcept
{
    size_t bytes = strlen(text);
    if (bytes <= longestExpansion) return bytes;
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    return units > 0 ? static_cast<size_t>(units) - 1 : bytes;
}

// A String of the expansion of text's %NAME% references. Raises
// "Error expanding registry strings" when the expansion fails or would be cut.
// The sizes are in the text's characters: bytes or UTF-16 units.
template <typename Char>
jobject expandedString(JNIEnv* env, const Char* text) noexcept
{
    DWORD size = expansionUnits(text) <= longestExpansion ? expandEnvironmentStrings(text, nullptr, 0) : 0;
    // The environment may grow between two calls: a result above the buffer's
    // size means the buffer was not filled, so expand again into a larger one.
    for (int tries = 0; size != 0 && tries < sizeTries; ++tries) {
        MallocBuffer expanded(size * sizeof(Char));
        if (!expanded.get()) {
            throwRegistryException(env, retrieveError);
            return nullptr;
        }
        auto out = reinterpret_cast<Char*>(expanded.get());
        DWORD needed = expandEnvironmentStrings(text, out, size);
        if (needed == 0) break;
        if (needed <= size) {
            out[size - 1] = 0;
            // Less text than the size returned: the expansion was cut. (Wine's
            // A function returns UTF-16 units, which never outnumber the bytes.)
            if (std::char_traits<Char>::length(out) + 1 < needed) break;
            return registryString(env, out);
        }
        size = needed;
    }
    throwRegistryException(env, "Error expanding registry strings");
    return nullptr;
}

// HKEY_PERFORMANCE_DATA collects its data anew at each query, and the size it
// reports with ERROR_MORE_DATA is undefined (Wine reports 0, and fails a query
// without a buffer with ERROR_MORE_DATA): its buffer starts at 64 KiB and
// doubles at each ERROR_MORE_DATA, up to 64 MiB.
constexpr DWORD firstPerformanceSize = 64u << 10;
constexpr DWORD lastPerformanceSize = 64u << 20;

// Reads the named value's data into data, with two bytes beyond it for the
// NUL, a byte or a UTF-16 unit, that string data may lack; the Win32 status. A
// value that grew since the size query fails with ERROR_MORE_DATA.
LONG readData(HKEY key, const WindowsText& name, DWORD& type, MallocBuffer& data, DWORD& size) noexcept
{
    LONG status = ERROR_MORE_DATA;
    if (key == HKEY_PERFORMANCE_DATA) {
        for (DWORD capacity = firstPerformanceSize; status == ERROR_MORE_DATA && capacity <= lastPerformanceSize;
             capacity *= 2) {
            if (!data.allocate(capacity + 2)) return ERROR_OUTOFMEMORY;
            size = capacity;
            status = regQueryValue(key, name, &type, reinterpret_cast<BYTE*>(data.get()), &size);
        }
        return status;
    }
    status = regQueryValue(key, name, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    if (size > MAXDWORD - 2 || !data.allocate(size + 2)) return ERROR_OUTOFMEMORY;
    return regQueryValue(key, name, &type, reinterpret_cast<BYTE*>(data.get()), &size);
}

// A new Integer, or null with the JVM's error pending.
jobject newInteger(JNIEnv* env, jint value) noexcept
{
    jclass integerClass = env->FindClass("java/lang/Integer");
    if (!integerClass) return nullptr;
    jmethodID constructor = env->GetMethodID(integerClass, "<init>", "(I)V");
    if (!constructor) return nullptr;
    return env->NewObject(integerClass, constructor, value);
}

// Whether value is an instance of the class named (a null value is not);
// Unknown, with the JVM's error pending, when the class cannot be found.
enum class Instance { Yes, No, Unknown };

Instance instanceOf(JNIEnv* env, jobject value, const char* className) noexcept
{
    if (value == nullptr) return Instance::No;
    jclass valueClass = env->GetObjectClass(value);
    jclass wanted = env->FindClass(className);
    if (!wanted) return Instance::Unknown;
    return env->IsAssignableFrom(valueClass, wanted) ? Instance::Yes : Instance::No;
}

// The write of keySetValue for one type, with the key open and the name's
// characters held. Raises the exception of a refused or failed write.
void writeValue(JNIEnv* env, HKEY key, const WindowsText& name, DWORD type, jobject value) noexcept
{
    const char* className;
    switch (type) {
    case REG_NONE: case REG_BINARY: className = "[B"; break;
    case REG_SZ: case REG_EXPAND_SZ: className = "java/lang/String"; break;
    case REG_DWORD: case REG_DWORD_BIG_ENDIAN: className = "java/lang/Integer"; break;
    case REG_MULTI_SZ:
        throwRegistryException(env, "Not implemented");
        return;
    default:
        throwRegistryException(env, "Unsupported value type");
        return;
    }
    switch (instanceOf(env, value, className)) {
    case Instance::Unknown:
        return;
    case Instance::No:
        throwRegistryException(env, "Incompatible data types");
        return;
    case Instance::Yes:
        break;
    }

    LONG status;
    switch (type) {
    case REG_NONE: case REG_BINARY: {
        auto array = static_cast<jbyteArray>(value);
        ByteElements elements(env, array);
        if (!elements) return;  // nothing is written from elements the JVM could not supply
        jsize length = env->GetArrayLength(array);
        status = regSetValue(key, name, type, elements.get(), static_cast<DWORD>(length));
        // the elements are given back (JNI_ABORT) here, before any exception is raised
    }
        if (status != ERROR_SUCCESS) throwRegistryException(env, "Error setting registry value (REG_NONE/REG_BINARY)");
        return;
    case REG_SZ: case REG_EXPAND_SZ: {
        // The modified UTF-8 bytes or the UTF-16 units, with their NUL.
        WindowsText text(env, static_cast<jstring>(value));
        if (!registryText(env, text)) return;
        status = regSetValue(key, name, type, text.data(), text.dataSize());
    }
        if (status != ERROR_SUCCESS) throwSystemMessage(env, static_cast<DWORD>(status));
        return;
    default: {
        jmethodID intValue = env->GetMethodID(env->GetObjectClass(value), "intValue", "()I");
        if (!intValue) return;
        jint number = env->CallIntMethod(value, intValue);
        BYTE data[4];
        for (int i = 0; i < 4; ++i) data[i] = static_cast<BYTE>(static_cast<uint32_t>(number) >> (8 * i));
        status = regSetValue(key, name, type, data, sizeof data);
        if (status != ERROR_SUCCESS)
            throwRegistryException(env, "Error setting registry value (REG_DWORD/REG_DWORD_BIG_ENDIAN)");
        return;
    }
    }
}

}  // namespace

// Registry.keyGetValueType(int root, String subKey, String valueName) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyGetValueType(JNIEnv* env, jclass, jint root, jstring subKey,
                                                                 jstring valueName) noexcept
{
    // A null name would designate the key's default value.
    if (valueName == nullptr) return -1;
    UniqueKey key;
    switch (openKey(env, root, subKey, KEY_READ, key)) {
    case KeyOpen::Skipped: return -1;
    case KeyOpen::Failed: return 0;
    case KeyOpen::Opened: break;
    }
    WindowsText name(env, valueName);
    if (!registryText(env, name)) return 0;
    DWORD type = 0;
    DWORD size = 0;
    LONG status = regQueryValue(key.get(), name, &type, nullptr, &size);
    key.reset();
    name.release();
    if (status != ERROR_SUCCESS) {
        throwRegistryException(env, retrieveError);
        return 0;
    }
    return static_cast<jint>(type);
}

// Registry.keyGetValue(int root, String subKey, String valueName) -> Object
extern "C" JNIEXPORT jobject JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyGetValue(JNIEnv* env, jclass, jint root, jstring subKey,
                                                             jstring valueName) noexcept
{
    if (valueName == nullptr) return nullptr;
    UniqueKey key;
    if (openKey(env, root, subKey, KEY_READ, key) != KeyOpen::Opened) return nullptr;
    WindowsText name(env, valueName);
    if (!registryText(env, name)) return nullptr;

    DWORD type = 0;
    DWORD size = 0;
    MallocBuffer data;
    LONG status = readData(key.get(), name, type, data, size);
    key.reset();
    name.release();
    if (status != ERROR_SUCCESS) {
        throwRegistryException(env, retrieveError);
        return nullptr;
    }
    data.get()[size] = '\0';
    data.get()[size + 1] = '\0';

    switch (type) {
    case REG_NONE: case REG_BINARY: {
        jbyteArray array = env->NewByteArray(static_cast<jsize>(size));
        if (!array) return nullptr;
        env->SetByteArrayRegion(array, 0, static_cast<jsize>(size), reinterpret_cast<const jbyte*>(data.get()));
        // An array the JVM failed to fill is no result; its error stays pending.
        return env->ExceptionCheck() ? nullptr : array;
    }
    case REG_SZ:
        return byTextMode([&](auto unit) { return registryString(env, stringData<decltype(unit)>(data.get(), size)); });
    case REG_EXPAND_SZ:
        return byTextMode([&](auto unit) { return expandedString(env, stringData<decltype(unit)>(data.get(), size)); });
    case REG_DWORD: case REG_DWORD_BIG_ENDIAN:
        return newInteger(env, littleEndianInt(data.get(), size));
    default:
        throwRegistryException(env, "Unsupported data type");
        return nullptr;
    }
}

// Registry.keySetValue(int root, String subKey, String valueName, int type, Object value, boolean broadcast)
extern "C" JNIEXPORT void JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keySetValue(JNIEnv* env, jclass, jint root, jstring subKey,
                                                             jstring valueName, jint type, jobject value,
                                                             jboolean broadcast) noexcept
{
    changeNamedValue(env, root, subKey, valueName, KEY_ALL_ACCESS, broadcast, [&](HKEY key, WindowsText& name) {
        writeValue(env, key, name, static_cast<DWORD>(type), value);
    });
}
