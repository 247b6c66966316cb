// The Registry natives that list a key's sub-keys and value names, and those
// that move REG_QWORD and REG_MULTI_SZ values: long for the one, String[] for
// the other.
//
// Names and list text are held in the characters of the text mode (Char):
// bytes of the A functions in ansi mode, UTF-16 units of the W functions in
// unicode mode.
#include "registry.h"

#include <cstring>
#include <type_traits>

#include "com_zarn_kelda_dravik_common_win32_Registry.h"

namespace {

// ---- The Windows calls that carry text.

// What a listing names.
enum class Listing { SubKeys, Values };

// Windows caps a key name at 255 UTF-16 units. Value names that other programs
// write reach 32,767 units on Windows (Wine stops at 16,383). The A functions
// give one unit as up to 3 bytes (2 in a double-byte code page, 3 where the
// ANSI code page is UTF-8); a function fails with ERROR_MORE_DATA, and never
// cuts a name, where one does not fit. A sub-key buffer holds every name whole.
// A value buffer holds a name of 16,383 units and grows for one of 32,767.
// RegEnumValueA takes its size as a SHORT, which overflows above 32,767 bytes:
// its buffer stays at that, and a longer ANSI name is read through
// RegEnumValueW (addLongValueName). Sizes count the NUL.
template <typename Char>
constexpr DWORD nameCapacity(Listing what) noexcept
{
    return what == Listing::SubKeys ? 255 * (sizeof(Char) == 1 ? 3 : 1) + 1 : sizeof(Char) == 1 ? 32767 : 16384;
}

constexpr DWORD longestValueName = 32767;

// The changes that move a listing's entries, as the change notification names them.
constexpr DWORD changeFilter(Listing what) noexcept
{
    return what == Listing::SubKeys ? REG_NOTIFY_CHANGE_NAME : REG_NOTIFY_CHANGE_LAST_SET;
}

// The name of entry index; length holds the buffer's size before, the name's
// length without its NUL after, both in characters.
LONG enumerateName(HKEY key, Listing what, DWORD index, char* name, DWORD& length) noexcept
{
    return what == Listing::SubKeys ? RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                                    : RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
}

LONG enumerateName(HKEY key, Listing what, DWORD index, WCHAR* name, DWORD& length) noexcept
{
    return what == Listing::SubKeys ? RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                                    : RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
}

inline size_t textLength(const char* text) noexcept
{
    return strlen(text);
}

inline size_t textLength(const WCHAR* text) noexcept
{
    return wcslen(text);
}

// Zero bytes the value reader places after the data: list text from the A
// functions ends at one NUL byte; UTF-16 list text at a zero unit after a
// whole number of units, two bytes past an odd byte count.
constexpr DWORD terminatorBytes = 2;

// ---- Lists of names.

// Names of the characters Char, each kept with its NUL in one growing buffer
// from malloc. A Java thread or another process may change what the names come
// from: each is copied in once, with its length, and nothing else is trusted.
template <typename Char>
class NameList {
public:
    NameList() noexcept = default;
    ~NameList()
    {
        std::free(text_);
        std::free(ends_);
    }
    NameList(const NameList&) = delete;
    NameList& operator=(const NameList&) = delete;

    size_t count() const noexcept { return count_; }
    const Char* name(size_t i) const noexcept { return text_ + (i ? ends_[i - 1] : 0); }
    // The names one after the other, each with its NUL, and their size in bytes.
    const Char* text() const noexcept { return text_; }
    DWORD textBytes() const noexcept { return static_cast<DWORD>(used_ * sizeof(Char)); }

    // Appends a name of length characters; false when memory ran out.
    bool add(const Char* name, size_t length) noexcept
    {
        if (!reserve(text_, textCapacity_, used_ + length + 1)) return false;
        if (!reserve(ends_, endsCapacity_, count_ + 1)) return false;
        if (length) memcpy(text_ + used_, name, length * sizeof(Char));
        used_ += length;
        text_[used_++] = 0;
        ends_[count_++] = used_;
        return true;
    }

private:
    // Makes items hold at least needed elements, at least doubling it, keeping its contents.
    template <typename Item>
    static bool reserve(Item*& items, size_t& capacity, size_t needed) noexcept
    {
        if (needed <= capacity) return true;
        size_t wanted = capacity * 2 > needed ? capacity * 2 : needed + 64;
        auto larger = static_cast<Item*>(std::malloc(wanted * sizeof(Item)));
        if (!larger) return false;
        if (capacity) memcpy(larger, items, capacity * sizeof(Item));
        std::free(items);
        items = larger;
        capacity = wanted;
        return true;
    }

    Char* text_ = nullptr;
    size_t textCapacity_ = 0;
    size_t used_ = 0;
    size_t* ends_ = nullptr;
    size_t endsCapacity_ = 0;
    size_t count_ = 0;
};

// Names are compared exactly: the passes give an entry's name as the same bytes
// or units each time. Folding the case of ASCII letters byte by byte would fold
// the trail byte of a double-byte character too, and list two names as one (in
// code page 932 the katakana A is 83 41 and DI 83 61).
template <typename Char>
int compareNames(const Char* a, const Char* b) noexcept
{
    using Unit = typename std::conditional<sizeof(Char) == 1, unsigned char, unsigned short>::type;
    for (;; ++a, ++b) {
        int x = static_cast<Unit>(*a), y = static_cast<Unit>(*b);
        if (x != y || x == 0) return x - y;
    }
}

template <typename Char>
struct Ranked {
    const Char* name;
    size_t index;
};

template <typename Char>
int compareRanked(const void* a, const void* b) noexcept
{
    auto x = static_cast<const Ranked<Char>*>(a), y = static_cast<const Ranked<Char>*>(b);
    int order = compareNames(x->name, y->name);
    if (order) return order;
    return x->index < y->index ? -1 : x->index > y->index ? 1 : 0;
}

// Marks in skip (one byte per name) the names before first, and every name
// from first on that an earlier one equals; false when memory ran out.
template <typename Char>
bool markSkipped(const NameList<Char>& names, size_t first, MallocBuffer& skip) noexcept
{
    size_t count = names.count();
    if (!skip.allocate(count)) return false;
    memset(skip.get(), 1, first);
    memset(skip.get() + first, 0, count - first);
    if (count - first < 2) return true;
    MallocBuffer rankedBuffer((count - first) * sizeof(Ranked<Char>));
    if (!rankedBuffer.get()) return false;
    auto ranked = reinterpret_cast<Ranked<Char>*>(rankedBuffer.get());
    for (size_t i = first; i < count; ++i) ranked[i - first] = {names.name(i), i};
    qsort(ranked, count - first, sizeof(Ranked<Char>), compareRanked<Char>);
    for (size_t i = 1; i < count - first; ++i)
        if (compareNames(ranked[i - 1].name, ranked[i].name) == 0) skip.get()[ranked[i].index] = 1;
    return true;
}

// A String[] of the names not marked in skip (null: all), in their order. Null
// with the JVM's error pending, or with failure raised when memory for a
// name's text ran out.
template <typename Char>
jobjectArray newStringArray(JNIEnv* env, const NameList<Char>& names, const char* skip, const char* failure) noexcept
{
    jsize kept = 0;
    for (size_t i = 0; i < names.count(); ++i) kept += skip && skip[i] ? 0 : 1;
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) return nullptr;
    jobjectArray array = env->NewObjectArray(kept, stringClass, nullptr);
    if (!array) return nullptr;
    jsize next = 0;
    for (size_t i = 0; i < names.count(); ++i) {
        if (skip && skip[i]) continue;
        jstring string = newStringFromWindows(env, names.name(i));
        if (!string) {
            if (!env->ExceptionCheck()) throwRegistryException(env, failure);
            return nullptr;
        }
        env->SetObjectArrayElement(array, next++, string);
        // JNI promises a native 16 local references: one per element would
        // run out with the 17th.
        env->DeleteLocalRef(string);
        if (env->ExceptionCheck()) return nullptr;
    }
    return array;
}

// ---- Listing.

// A buffer for one name, in characters of Char, that grows on demand.
template <typename Char>
class NameBuffer {
public:
    Char* get() const noexcept { return reinterpret_cast<Char*>(memory_.get()); }
    DWORD capacity() const noexcept { return capacity_; }

    // Makes room for at least characters characters, not keeping the contents;
    // false when memory ran out.
    bool reserve(DWORD characters) noexcept
    {
        if (characters <= capacity_) return true;
        capacity_ = memory_.allocate(characters * sizeof(Char)) ? characters : 0;
        return capacity_ != 0;
    }

private:
    MallocBuffer memory_;
    DWORD capacity_ = 0;
};

// The name of value index, with room for the longest; length as enumerateName's.
LONG enumerateLongValueName(HKEY key, DWORD index, NameBuffer<WCHAR>& name, DWORD& length) noexcept
{
    if (!name.reserve(longestValueName + 1)) return ERROR_OUTOFMEMORY;
    length = name.capacity();
    return RegEnumValueW(key, index, name.get(), &length, nullptr, nullptr, nullptr, nullptr);
}

// Appends the name of value index that did not fit the buffer; the Win32 status.
LONG addLongValueName(HKEY key, DWORD index, NameBuffer<WCHAR>& name, NameList<WCHAR>& names) noexcept
{
    DWORD length = 0;
    LONG status = enumerateLongValueName(key, index, name, length);
    if (status == ERROR_SUCCESS && !names.add(name.get(), length)) status = ERROR_OUTOFMEMORY;
    return status;
}

// An ANSI name longer than RegEnumValueA's buffer: its UTF-16 name converted by
// the ANSI code page, as the A function converts the names it gives.
LONG addLongValueName(HKEY key, DWORD index, NameBuffer<char>&, NameList<char>& names) noexcept
{
    NameBuffer<WCHAR> wide;
    DWORD units = 0;
    LONG status = enumerateLongValueName(key, index, wide, units);
    if (status != ERROR_SUCCESS) return status;
    int count = static_cast<int>(units);
    int bytes = count ? WideCharToMultiByte(CP_ACP, 0, wide.get(), count, nullptr, 0, nullptr, nullptr) : 0;
    MallocBuffer ansi(static_cast<size_t>(bytes));
    if ((count && bytes <= 0) || !ansi.get()) return ERROR_OUTOFMEMORY;
    if (count) WideCharToMultiByte(CP_ACP, 0, wide.get(), count, ansi.get(), bytes, nullptr, nullptr);
    return names.add(ansi.get(), static_cast<size_t>(bytes)) ? ERROR_SUCCESS : ERROR_OUTOFMEMORY;
}

// One pass over the entries, appended to names; the Win32 status that ended it.
template <typename Char>
LONG listOnce(HKEY key, Listing what, NameBuffer<Char>& name, NameList<Char>& names) noexcept
{
    for (DWORD index = 0;; ++index) {
        DWORD length = name.capacity();
        LONG status = enumerateName(key, what, index, name.get(), length);
        if (status == ERROR_MORE_DATA && what == Listing::Values) status = addLongValueName(key, index, name, names);
        else if (status == ERROR_SUCCESS && !names.add(name.get(), length)) status = ERROR_OUTOFMEMORY;
        if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
    }
}

// The two listing natives. The entries are numbered by Windows: an entry that
// another thread or process adds or removes during a pass moves the later ones
// by one, so that a pass may see one twice or miss one. A pass over which
// Windows' change notification on the key stays silent is kept; after
// sizeTries passes without one, the names of all of them are given, each once.
// A key that Windows cannot watch has no such pass.
template <typename Char>
jobjectArray list(JNIEnv* env, jint root, jstring subKey, Listing what) noexcept
{
    const char* failure =
        what == Listing::SubKeys ? "Error enumerating registry subkeys" : "Error enumerating registry values";
    KeyChangeNotice notice;
    UniqueKey key;
    if (openKey(env, root, subKey, KEY_READ, key) != KeyOpen::Opened) return nullptr;
    NameBuffer<Char> name;
    NameList<Char> names;
    size_t first = 0;  // the first name of the pass kept; 0 for all passes
    LONG status = name.reserve(nameCapacity<Char>(what)) ? ERROR_SUCCESS : ERROR_OUTOFMEMORY;
    for (int pass = 0; status == ERROR_SUCCESS && pass < sizeTries; ++pass) {
        size_t start = names.count();
        // Armed before the pass, read after it.
        bool watched = notice.arm(key.get(), changeFilter(what));
        status = listOnce(key.get(), what, name, names);
        if (status == ERROR_SUCCESS && watched && !notice.changed()) {
            first = start;
            break;
        }
    }
    key.reset();
    // The passes of a key that changed throughout repeat names, and in ansi
    // mode one pass may give two names as the same text (characters that the
    // code page lacks): repeats are dropped.
    MallocBuffer skip;
    if (status == ERROR_SUCCESS && !markSkipped(names, first, skip)) status = ERROR_OUTOFMEMORY;
    if (status != ERROR_SUCCESS) {
        throwRegistryException(env, failure);
        return nullptr;
    }
    return newStringArray(env, names, skip.get(), failure);
}

// ---- Values.

const char* const incompatibleError = "Incompatible data types";

// Reads the named value, which must be of type wanted, into data, followed by
// terminatorBytes zero bytes. Raises the read's message and returns false
// otherwise. A value that grows between the size query and the read is read
// again at its new size, up to sizeTries times.
bool readValue(JNIEnv* env, HKEY key, const WindowsText& name, DWORD wanted, MallocBuffer& data, DWORD& size) noexcept
{
    DWORD type = 0;
    size = 0;
    LONG status = regQueryValue(key, name, &type, nullptr, &size);
    for (int tries = 0; status == ERROR_SUCCESS && tries < sizeTries; ++tries) {
        if (type != wanted) {
            throwRegistryException(env, incompatibleError);
            return false;
        }
        if (size > MAXDWORD - terminatorBytes || !data.allocate(size + terminatorBytes)) break;
        status = regQueryValue(key, name, &type, reinterpret_cast<BYTE*>(data.get()), &size);
        if (status == ERROR_SUCCESS) {
            if (type != wanted) {
                throwRegistryException(env, incompatibleError);
                return false;
            }
            memset(data.get() + size, 0, terminatorBytes);
            return true;
        }
        // ERROR_MORE_DATA leaves the new size in size.
        if (status == ERROR_MORE_DATA) status = ERROR_SUCCESS;
    }
    throwRegistryException(env, retrieveError);
    return false;
}

// The strings of REG_MULTI_SZ data, size bytes that readValue ended with its
// zero bytes: each string ends at a NUL, and the list at the first empty
// string or the end of the data, whichever comes first; data that another
// program wrote without its final NULs loses nothing, and an odd last byte of
// UTF-16 data, half a unit, is no character and is dropped.
template <typename Char>
bool splitList(char* data, DWORD size, NameList<Char>& strings) noexcept
{
    auto text = reinterpret_cast<Char*>(data);
    size_t count = size / sizeof(Char);
    text[count] = 0;
    for (size_t at = 0; at < count;) {
        size_t length = textLength(text + at);
        if (length == 0) break;
        if (!strings.add(text + at, length)) return false;
        at += length + 1;
    }
    return true;
}

// Appends a list element's characters. Raises and returns false for a null or
// empty element, which would end the list early, for one that holds U+0000 in
// unicode mode, or when the JVM or memory fails.
template <typename Char>
bool appendElement(JNIEnv* env, jstring element, NameList<Char>& strings) noexcept
{
    WindowsText chars(env, element);
    if (element && !registryText(env, chars)) return false;  // the JVM's error, or ours, is pending
    if (!chars || chars.length() == 0) {
        chars.release();
        throwRegistryException(env, "Empty or null string in REG_MULTI_SZ value");
        return false;
    }
    if (!strings.add(chars.as<Char>(), chars.length())) {
        chars.release();
        throwRegistryException(env, "Error setting registry value (REG_MULTI_SZ)");
        return false;
    }
    return true;
}

// The REG_MULTI_SZ data of a String[]: every element's bytes with a NUL, and a
// NUL after the last. Each element is read once: another Java thread may
// change the array meanwhile.
template <typename Char>
bool joinList(JNIEnv* env, jobjectArray values, NameList<Char>& strings) noexcept
{
    jsize count = env->GetArrayLength(values);
    for (jsize i = 0; i < count; ++i) {
        auto element = static_cast<jstring>(env->GetObjectArrayElement(values, i));
        if (env->ExceptionCheck()) return false;
        bool appended = appendElement(env, element, strings);
        // One local reference per element would run out (see newStringArray).
        if (element) env->DeleteLocalRef(element);
        if (!appended) return false;
    }
    // The list ends with an empty string: one NUL more.
    if (strings.add(nullptr, 0)) return true;
    throwRegistryException(env, "Error setting registry value (REG_MULTI_SZ)");
    return false;
}

// The list of a REG_MULTI_SZ value, read into data, as a String[].
template <typename Char>
jobjectArray stringsOf(JNIEnv* env, MallocBuffer& data, DWORD size) noexcept
{
    NameList<Char> strings;
    if (!splitList(data.get(), size, strings)) {
        throwRegistryException(env, retrieveError);
        return nullptr;
    }
    return newStringArray(env, strings, nullptr, retrieveError);
}

// Writes the String[] as the named REG_MULTI_SZ value; nothing is written
// unless every element could be taken.
template <typename Char>
void writeStrings(JNIEnv* env, HKEY key, const WindowsText& name, jobjectArray values) noexcept
{
    NameList<Char> strings;
    if (!joinList(env, values, strings)) return;
    LONG status = regSetValue(key, name, REG_MULTI_SZ, strings.text(), strings.textBytes());
    if (status != ERROR_SUCCESS) throwRegistryException(env, "Error setting registry value (REG_MULTI_SZ)");
}

}  // namespace

// Registry.keyGetSubKeys(int root, String subKey) -> String[]
extern "C" JNIEXPORT jobjectArray JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyGetSubKeys(JNIEnv* env, jclass, jint root, jstring subKey) noexcept
{
    return byTextMode([&](auto unit) { return list<decltype(unit)>(env, root, subKey, Listing::SubKeys); });
}

// Registry.keyGetValueNames(int root, String subKey) -> String[]
extern "C" JNIEXPORT jobjectArray JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyGetValueNames(JNIEnv* env, jclass, jint root,
                                                                  jstring subKey) noexcept
{
    return byTextMode([&](auto unit) { return list<decltype(unit)>(env, root, subKey, Listing::Values); });
}

// Registry.keyGetLong(int root, String subKey, String valueName) -> long
extern "C" JNIEXPORT jlong JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyGetLong(JNIEnv* env, jclass, jint root, jstring subKey,
                                                            jstring valueName) noexcept
{
    // A null name would designate the key's default value.
    if (valueName == nullptr) return 0;
    UniqueKey key;
    if (openKey(env, root, subKey, KEY_READ, key) != KeyOpen::Opened) return 0;
    WindowsText name(env, valueName);
    if (!registryText(env, name)) return 0;
    MallocBuffer data;
    DWORD size = 0;
    bool read = readValue(env, key.get(), name, REG_QWORD, data, size);
    name.release();
    key.reset();
    if (!read) return 0;
    // The first eight bytes, little-endian; shorter data is zero-extended.
    uint64_t value = 0;
    for (DWORD i = 0; i < size && i < 8; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(data.get()[i])) << (8 * i);
    return static_cast<jlong>(value);
}

// Registry.keySetLong(int root, String subKey, String valueName, long value, boolean broadcast)
extern "C" JNIEXPORT void JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keySetLong(JNIEnv* env, jclass, jint root, jstring subKey,
                                                            jstring valueName, jlong value, jboolean broadcast) noexcept
{
    changeNamedValue(env, root, subKey, valueName, KEY_SET_VALUE, broadcast, [&](HKEY key, WindowsText& name) {
        BYTE data[8];
        for (int i = 0; i < 8; ++i) data[i] = static_cast<BYTE>(static_cast<uint64_t>(value) >> (8 * i));
        LONG status = regSetValue(key, name, REG_QWORD, data, sizeof data);
        name.release();
        if (status != ERROR_SUCCESS) throwRegistryException(env, "Error setting registry value (REG_QWORD)");
    });
}

// Registry.keyGetStrings(int root, String subKey, String valueName) -> String[]
extern "C" JNIEXPORT jobjectArray JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyGetStrings(JNIEnv* env, jclass, jint root, jstring subKey,
                                                               jstring valueName) noexcept
{
    if (valueName == nullptr) return nullptr;
    UniqueKey key;
    if (openKey(env, root, subKey, KEY_READ, key) != KeyOpen::Opened) return nullptr;
    WindowsText name(env, valueName);
    if (!registryText(env, name)) return nullptr;
    MallocBuffer data;
    DWORD size = 0;
    bool read = readValue(env, key.get(), name, REG_MULTI_SZ, data, size);
    name.release();
    key.reset();
    if (!read) return nullptr;
    return byTextMode([&](auto unit) { return stringsOf<decltype(unit)>(env, data, size); });
}

// Registry.keySetStrings(int root, String subKey, String valueName, String[] values, boolean broadcast)
extern "C" JNIEXPORT void JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keySetStrings(JNIEnv* env, jclass, jint root, jstring subKey,
                                                               jstring valueName, jobjectArray values,
                                                               jboolean broadcast) noexcept
{
    if (valueName == nullptr) return;
    UniqueKey key;
    if (openKey(env, root, subKey, KEY_SET_VALUE, key) != KeyOpen::Opened) return;
    if (values == nullptr) {
        throwRegistryException(env, incompatibleError);
    } else {
        WindowsText name(env, valueName);
        if (registryText(env, name))
            byTextMode([&](auto unit) { writeStrings<decltype(unit)>(env, key.get(), name, values); });
    }
    if (broadcast) broadcastEnvironmentChange();
}
