// The registry subsystem: keyGetValue, keySetValue, keyExists and
// keyGetSubKeys against their direct sequences, keyGetValue through a view
// against the plain read, a watch's await after a change against Windows' own
// wait and re-arm, and keyGetValue's time by the size of the value.
#include "direct.h"
#include "sections.h"

#include <cstdio>
#include <cstdlib>

using namespace testjni;

namespace bench {

std::vector<Case> registryCases(Natives& N)
{
    std::vector<Case> cases;

    // ---- keyGetValue and keySetValue of a 32-byte REG_SZ and a 64 KiB REG_BINARY
    struct ValueCase {
        const char* label;
        std::string name;
        DWORD type;
        DWORD size;
    };
    const ValueCase values[] = {{"REG_SZ of 32 bytes", "sz32", REG_SZ, 32},
                                {"REG_BINARY of 64 KiB", binaryValueName(binarySize), REG_BINARY, binarySize}};
    for (const ValueCase& value : values) {
        std::string name = value.name;
        DWORD size = value.size;
        bool isString = value.type == REG_SZ;
        struct GetArgs {
            jstring path, name;
        };
        auto prepare = [name](TestJni& jni) { return GetArgs{jni.string(sandboxKey), jni.string(name)}; };
        auto ok = [isString, size](TestJni& jni, jobject result) {
            return result && (isString ? jni.isString(result) : jni.arrayBytes(result).size() == size);
        };
        cases.push_back({std::string("keyGetValue, ") + value.label, 1.10, N.keyGetValue.resolved(),
                         [&N, name, isString, size] {
                             TestJni jni;
                             jobject result = N.keyGetValue(jni, currentUser, jni.string(sandboxKey), jni.string(name));
                             bool right = result && (isString ? jni.isString(result) && jni.utf8Bytes(result) == text31
                                                              : jni.arrayBytes(result) == pattern(size, 1));
                             if (!right) return std::string("wrong value");
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         [=, &N](int n) {
                             return jniBatch(n, prepare,
                                             [&N](TestJni& jni, GetArgs a) { return N.keyGetValue(jni, currentUser, a.path, a.name); },
                                             ok);
                         },
                         [=](int n) {
                             return jniBatch(n, prepare,
                                             [](TestJni& jni, GetArgs a) {
                                                 return direct::keyGetValue(jni.env(), jni.receiver(), currentUser, a.path, a.name);
                                             },
                                             ok);
                         },
                         [name, size](int n) {
                             return plainBatch(n, [&] {
                                 HKEY key;
                                 if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_READ, &key)) return false;
                                 DWORD type, length = 0;
                                 LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &length);
                                 char* data = static_cast<char*>(malloc(length + 1));
                                 status = status ? status
                                                 : RegQueryValueExA(key, name.c_str(), nullptr, &type,
                                                                    reinterpret_cast<BYTE*>(data), &length);
                                 RegCloseKey(key);
                                 free(data);
                                 return status == ERROR_SUCCESS && length == size;
                             });
                         }});
    }
    for (const ValueCase& value : values) {
        std::string label = value.label;
        DWORD type = value.type;
        DWORD size = value.size;
        std::string name = "set" + value.name;
        struct SetArgs {
            jstring path, name;
            jobject value;
        };
        auto prepare = [name, type, size](TestJni& jni) {
            jobject object = type == REG_SZ ? static_cast<jobject>(jni.string(text31))
                                            : static_cast<jobject>(jni.bytes(pattern(size, 2)));
            return SetArgs{jni.string(sandboxKey), jni.string(name), object};
        };
        auto ok = [](TestJni& jni, bool) { return !jni.exceptionPending(); };
        auto stored = [name, type, size] {
            HKEY key;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_READ, &key)) return false;
            std::vector<uint8_t> data(size + 16);
            DWORD actualType = 0, length = static_cast<DWORD>(data.size());
            LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &actualType, data.data(), &length);
            RegCloseKey(key);
            data.resize(length);
            std::vector<uint8_t> expected =
                type == REG_SZ ? std::vector<uint8_t>(text31, text31 + 32) : pattern(size, 2);
            return status == ERROR_SUCCESS && actualType == type && data == expected;
        };
        cases.push_back({"keySetValue, " + label, 1.10, N.keySetValue.resolved(),
                         [&N, prepare, type, stored, name] {
                             RegDeleteKeyValueA(HKEY_CURRENT_USER, sandboxKey, name.c_str());
                             TestJni jni;
                             SetArgs a = prepare(jni);
                             N.keySetValue(jni, currentUser, a.path, a.name, static_cast<jint>(type), a.value, JNI_FALSE);
                             if (jni.exceptionPending()) return "exception " + jni.pendingMessage();
                             if (!stored()) return std::string("value not stored as given");
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         [=, &N](int n) {
                             return jniBatch(n, prepare,
                                             [&N, type](TestJni& jni, SetArgs a) {
                                                 N.keySetValue(jni, currentUser, a.path, a.name, static_cast<jint>(type),
                                                               a.value, JNI_FALSE);
                                                 return true;
                                             },
                                             ok);
                         },
                         [=](int n) {
                             return jniBatch(n, prepare,
                                             [type](TestJni& jni, SetArgs a) {
                                                 direct::keySetValue(jni.env(), jni.receiver(), currentUser, a.path, a.name,
                                                                     static_cast<jint>(type), a.value, JNI_FALSE);
                                                 return true;
                                             },
                                             ok);
                         },
                         [name, type, size](int n) {
                             std::vector<uint8_t> data =
                                 type == REG_SZ ? std::vector<uint8_t>(text31, text31 + 32) : pattern(size, 2);
                             return plainBatch(n, [&] {
                                 HKEY key;
                                 if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_ALL_ACCESS, &key)) return false;
                                 LONG status = RegSetValueExA(key, name.c_str(), 0, type, data.data(), size);
                                 RegCloseKey(key);
                                 return status == ERROR_SUCCESS;
                             });
                         }});
    }

    // ---- keyExists
    {
        auto prepare = [](TestJni& jni) { return jni.string(sandboxKey); };
        auto ok = [](TestJni&, jboolean exists) { return exists != JNI_FALSE; };
        cases.push_back({"keyExists", 1.10, N.keyExists.resolved(),
                         [&N] {
                             TestJni jni;
                             if (!N.keyExists(jni, currentUser, jni.string(sandboxKey))) return std::string("false for the sandbox key");
                             if (N.keyExists(jni, currentUser, jni.string("Software\\ZarnwinBench\\missing")))
                                 return std::string("true for a missing key");
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         [=, &N](int n) {
                             return jniBatch(n, prepare, [&N](TestJni& jni, jstring path) { return N.keyExists(jni, currentUser, path); }, ok);
                         },
                         [=](int n) {
                             return jniBatch(n, prepare,
                                             [](TestJni& jni, jstring path) {
                                                 return direct::keyExists(jni.env(), jni.receiver(), currentUser, path);
                                             },
                                             ok);
                         },
                         [](int n) {
                             return plainBatch(n, [] {
                                 HKEY key;
                                 if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_READ, &key)) return false;
                                 RegCloseKey(key);
                                 return true;
                             });
                         }});
    }

    // ---- keyGetSubKeys of a key with 1,000 sub-keys
    {
        auto prepare = [](TestJni& jni) { return jni.string(listKey); };
        auto ok = [](TestJni& jni, jobjectArray names) {
            return jni.arrayElements(names).size() == static_cast<size_t>(listSize);
        };
        cases.push_back({"keyGetSubKeys, 1,000 sub-keys", 1.10, N.keyGetSubKeys.resolved(),
                         [&N] {
                             TestJni jni;
                             std::vector<jobject> names = jni.arrayElements(N.keyGetSubKeys(jni, currentUser, jni.string(listKey)));
                             if (names.size() != static_cast<size_t>(listSize)) return "listed " + std::to_string(names.size());
                             for (int i = 0; i < listSize; ++i)
                                 if (jni.utf8Bytes(names[i]) != subKeyName(i)) return "wrong name at " + std::to_string(i);
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         [=, &N](int n) {
                             return jniBatch(n, prepare, [&N](TestJni& jni, jstring path) { return N.keyGetSubKeys(jni, currentUser, path); }, ok);
                         },
                         [=](int n) {
                             return jniBatch(n, prepare,
                                             [](TestJni& jni, jstring path) {
                                                 return direct::keyGetSubKeys(jni.env(), jni.receiver(), currentUser, path);
                                             },
                                             ok);
                         },
                         [](int n) {
                             return plainBatch(n, [] {
                                 HKEY key;
                                 if (RegOpenKeyExA(HKEY_CURRENT_USER, listKey, 0, KEY_READ, &key)) return false;
                                 HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                                 RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME, event, TRUE);
                                 DWORD i = 0;
                                 for (;; ++i) {
                                     char name[256 * 3];
                                     DWORD length = sizeof name;
                                     if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)) break;
                                 }
                                 bool unchanged = WaitForSingleObject(event, 0) == WAIT_TIMEOUT;
                                 RegCloseKey(key);
                                 CloseHandle(event);
                                 return unchanged && i == static_cast<DWORD>(listSize);
                             });
                         }});
    }
    // ---- keyGetValue through KEY_WOW64_64KEY, against the same native with the plain root
    {
        struct ReadArgs {
            jstring path, name;
        };
        auto prepare = [](TestJni& jni) { return ReadArgs{jni.string(sandboxKey), jni.string("sz32")}; };
        auto ok = [](TestJni& jni, jobject result) { return result && jni.isString(result); };
        auto read = [&N, prepare, ok](jint root) {
            return [&N, prepare, ok, root](int n) {
                return jniBatch(n, prepare, [&N, root](TestJni& jni, ReadArgs a) { return N.keyGetValue(jni, root, a.path, a.name); }, ok);
            };
        };
        cases.push_back({"keyGetValue through KEY_WOW64_64KEY, REG_SZ of 32 bytes (direct: the plain root)", 1.10,
                         N.keyGetValue.resolved(),
                         [&N] {
                             TestJni jni;
                             jobject result = N.keyGetValue(jni, currentUser | 0x0100, jni.string(sandboxKey), jni.string("sz32"));
                             if (!result || jni.utf8Bytes(result) != text31) return std::string("wrong value");
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         read(currentUser | 0x0100), read(currentUser), read(currentUser)});
    }

    // ---- A watch's await that returns true after a change, against WaitForSingleObject and
    // RegNotifyChangeKeyValue written directly; each operation makes the change too.
    {
        // A new number each time: Wine reports no change for a write of the data a value holds already.
        static DWORD counter = 0;
        auto change = [](HKEY writer) {
            ++counter;
            return RegSetValueExA(writer, "watched", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&counter), sizeof counter) ==
                   ERROR_SUCCESS;
        };
        auto native = [&N, change](int n) {
            TestJni jni;
            HKEY writer = nullptr;
            RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_SET_VALUE, &writer);
            jint event = N.watchEvent(jni);
            jint key = N.watchOpen(jni, currentUser, jni.string(sandboxKey), JNI_FALSE, event);
            bool good = writer && key;
            double start = now();
            for (int i = 0; i < n && good; ++i) good = change(writer) && N.watchAwait(jni, key, event, JNI_FALSE, 5000) == 1;
            double elapsed = now() - start;
            N.watchClose(jni, key, event);
            if (writer) RegCloseKey(writer);
            return good && jni.clean() ? elapsed : -1;
        };
        auto direct = [change](int n) {
            const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC;
            HKEY writer = nullptr, key = nullptr;
            RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_SET_VALUE, &writer);
            RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_NOTIFY, &key);
            HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            bool good = writer && key && RegNotifyChangeKeyValue(key, FALSE, filter, event, TRUE) == ERROR_SUCCESS;
            double start = now();
            for (int i = 0; i < n && good; ++i)
                good = change(writer) && WaitForSingleObject(event, 5000) == WAIT_OBJECT_0 &&
                       RegNotifyChangeKeyValue(key, FALSE, filter, event, TRUE) == ERROR_SUCCESS;
            double elapsed = now() - start;
            if (key) RegCloseKey(key);
            if (writer) RegCloseKey(writer);
            CloseHandle(event);
            return good ? elapsed : -1;
        };
        cases.push_back({"watch await after a change", 1.10, N.watchAwait.resolved(),
                         [&N, change] {
                             TestJni jni;
                             HKEY writer = nullptr;
                             RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_SET_VALUE, &writer);
                             jint event = N.watchEvent(jni);
                             jint key = N.watchOpen(jni, currentUser, jni.string(sandboxKey), JNI_FALSE, event);
                             std::string wrong;
                             if (N.watchAwait(jni, key, event, JNI_FALSE, 0) != 0) wrong = "a change before any";
                             else if (!change(writer) || N.watchAwait(jni, key, event, JNI_FALSE, 5000) != 1) wrong = "no change seen";
                             N.watchClose(jni, key, event);
                             if (writer) RegCloseKey(writer);
                             return wrong.empty() && !jni.clean() ? std::string("JNI misuse") : wrong;
                         },
                         native, direct, direct});
    }
    return cases;
}

namespace {

struct GetArgs {
    jstring path, name;
};

// A side that reads the REG_BINARY value of size bytes by keyGetValue's
// sequence with the buffer given, or by the native (native set), with the
// test JNI environment handing out arrays as mode says.
Side getValueSide(const std::string& name, int size, bool native, direct::Buffer buffer,
                  ArrayMode mode = ArrayMode::Copy)
{
    std::string value = binaryValueName(size);
    auto prepare = [value, mode](TestJni& jni) {
        jni.setArrayMode(mode);
        return GetArgs{jni.string(sandboxKey), jni.string(value)};
    };
    auto ok = [size](TestJni& jni, jobject result) {
        return result && jni.arrayBytes(result).size() == static_cast<size_t>(size);
    };
    Side side{name, Batch(), {}, false};
    if (native) {
        Natives& N = natives();
        if (N.keyGetValue.resolved())
            side.batch = [=, &N](int n) {
                return jniBatch(n, prepare,
                                [&N](TestJni& jni, GetArgs a) { return N.keyGetValue(jni, currentUser, a.path, a.name); }, ok);
            };
    } else {
        side.batch = [=](int n) {
            return jniBatch(n, prepare,
                            [buffer](TestJni& jni, GetArgs a) {
                                return direct::keyGetValueWith(buffer, jni.env(), currentUser, a.path, a.name);
                            },
                            ok);
        };
    }
    return side;
}

// The sizes at which keyGetValue's data buffer is weighed.
bool bufferSize(int size)
{
    return size == 4 * 1024 || size == 64 * 1024 || size == 256 * 1024 || size == 1024 * 1024;
}

}  // namespace

void runGrowth()
{
    Natives& N = natives();
    const double limit = 1.05;
    std::printf("### keyGetValue time by REG_BINARY size\n\n");
    std::printf("Microseconds per call, median (min-max). The direct sequence as above, its data buffer taken with "
                "HeapAlloc from the process heap (the library's sequence before it took the buffer from the C "
                "runtime) and with malloc; the target holds the native to the malloc sequence.\n\n");
    std::printf("| Size | Native us | HeapAlloc sequence us | malloc sequence us | Native / HeapAlloc sequence "
                "| Native / malloc sequence | Target | Met |\n|---|---|---|---|---|---|---|---|\n");
    for (int size : growthSizes()) {
        std::fprintf(stderr, "  keyGetValue of %s\n", sizeText(size).c_str());
        std::vector<Side> sides = {getValueSide("native", size, true, direct::Buffer::Malloc),
                                   getValueSide("HeapAlloc", size, false, direct::Buffer::ProcessHeap),
                                   getValueSide("malloc", size, false, direct::Buffer::Malloc)};
        int n = calibrate(sides[0].batch ? sides[0].batch : sides[1].batch);
        if (n > 0) measure(sides, n);
        std::string nativeText = !N.keyGetValue.resolved() ? "not available" : sides[0].failed ? "FAILED"
                                                                                                : formatStats(statsOf(sides[0].perCall), 1e6);
        Stats toMalloc = pairedRatio(sides[0], sides[2]);
        std::string target = "-", met = "-";
        if (bufferSize(size)) {
            bool ok = N.keyGetValue.resolved() && !sides[0].failed && toMalloc.valid && toMalloc.median <= limit;
            target = "<= " + formatNumber(limit, 2);
            met = yesNo(ok);
            targetResults.push_back({"keyGetValue REG_BINARY " + sizeText(size) + ": native / malloc sequence " + target,
                                     toMalloc.valid ? formatStats(toMalloc, 1, 3) : nativeText, ok});
        }
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", sizeText(size).c_str(), nativeText.c_str(),
                    sides[1].failed ? "FAILED" : formatStats(statsOf(sides[1].perCall), 1e6).c_str(),
                    sides[2].failed ? "FAILED" : formatStats(statsOf(sides[2].perCall), 1e6).c_str(),
                    formatStats(pairedRatio(sides[0], sides[1]), 1, 3).c_str(), formatStats(toMalloc, 1, 3).c_str(),
                    target.c_str(), met.c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
}

void runBuffers()
{
    using direct::Buffer;
    std::printf("### keyGetValue's data buffer by where it comes from\n\n");
    std::printf("keyGetValue's direct sequence of a REG_BINARY value with its data buffer from each source, against "
                "the same sequence with malloc, side by side in one rotation with the native. The byte[]'s "
                "elements: the data read straight into the new array (NewByteArray, GetByteArrayElements, "
                "RegQueryValueExA, ReleaseByteArrayElements in mode 0), handed out as a copy (HotSpot) or pinned. "
                "Microseconds per call and ratio to the malloc sequence, median (min-max).\n\n");
    std::printf("| Size | Data buffer | us per call | / malloc sequence |\n|---|---|---|---|\n");
    for (int size : growthSizes()) {
        if (!bufferSize(size)) continue;
        std::fprintf(stderr, "  keyGetValue's buffer, %s\n", sizeText(size).c_str());
        std::vector<Side> sides = {
            getValueSide("malloc", size, false, Buffer::Malloc),
            getValueSide("native (the library)", size, true, Buffer::Malloc),
            getValueSide(direct::bufferName(Buffer::ProcessHeap), size, false, Buffer::ProcessHeap),
            getValueSide(direct::bufferName(Buffer::PrivateHeap), size, false, Buffer::PrivateHeap),
            getValueSide(direct::bufferName(Buffer::Pages), size, false, Buffer::Pages),
            getValueSide(std::string(direct::bufferName(Buffer::JavaArray)) + ", copied", size, false, Buffer::JavaArray),
            getValueSide(std::string(direct::bufferName(Buffer::JavaArray)) + ", pinned", size, false, Buffer::JavaArray,
                         ArrayMode::Pinned)};
        int n = calibrate(sides[0].batch);
        if (n > 0) measure(sides, n);
        for (const Side& side : sides)
            std::printf("| %s | %s | %s | %s |\n", sizeText(size).c_str(), side.name.c_str(),
                        !side.batch ? "not available" : side.failed ? "FAILED" : formatStats(statsOf(side.perCall), 1e6).c_str(),
                        formatStats(pairedRatio(side, sides[0]), 1, 3).c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
}

void registryAllocations(const AllocationRow& row, Natives& N)
{
    const int few = 100;
    row("keyGetValue, REG_BINARY of 64 KiB (allocates its data buffer by design)", N.keyGetValue.resolved(), few, [&] {
        TestJni jni;
        jstring path = jni.string(sandboxKey), name = jni.string(binaryValueName(binarySize));
        bool ok = true;
        for (int i = 0; i < few; ++i) ok = N.keyGetValue(jni, currentUser, path, name) != nullptr && ok;
        return ok;
    }, false);
    row("keySetValue, REG_BINARY of 64 KiB", N.keySetValue.resolved(), few, [&] {
        TestJni jni;
        jstring path = jni.string(sandboxKey), name = jni.string("setbin");
        jbyteArray value = jni.bytes(pattern(binarySize, 2));
        for (int i = 0; i < few; ++i) N.keySetValue(jni, currentUser, path, name, REG_BINARY, value, JNI_FALSE);
        return !jni.exceptionPending();
    }, false);
    row("keyGetSubKeys, 1,000 sub-keys (allocates its list of names by design)", N.keyGetSubKeys.resolved(), few, [&] {
        TestJni jni;
        jstring path = jni.string(listKey);
        bool ok = true;
        for (int i = 0; i < few; ++i) ok = N.keyGetSubKeys(jni, currentUser, path) != nullptr && ok;
        return ok;
    }, false);
    row("keyExists", N.keyExists.resolved(), few, [&] {
        TestJni jni;
        jstring path = jni.string(sandboxKey);
        bool ok = true;
        for (int i = 0; i < few; ++i) ok = N.keyExists(jni, currentUser, path) && ok;
        return ok;
    }, false);
}

}  // namespace bench
