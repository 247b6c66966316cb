// The library frame: load and unload with the default window class, the
// shared routines, the strictness of the test JNI environment itself, and
// Environment.getEnvironmentVariable.
#include "binding.h"
#include "iat_hook.h"
#include "natives.h"

#include <string>

using namespace testjni;

namespace {

const char* const defaultClass = "VORURAZUR32";

// ---- Load and unload. These run first and load the library themselves.

TEST(LibraryLoad, RegistersDefaultClassWithItsFieldsAndUnregistersItOnUnload)
{
    ASSERT_EQ(GetModuleHandleA(libraryName), nullptr) << "must run before anything loads the library";
    HMODULE module = LoadLibraryA(libraryName);
    ASSERT_NE(module, nullptr) << GetLastError();

    WNDCLASSA info = {};
    ASSERT_TRUE(GetClassInfoA(module, defaultClass, &info));
    expectLibraryClassFields(info, module);

    // Threads that start and end while the library is loaded change nothing.
    for (int i = 0; i < 4; ++i) {
        TestThread thread([] {});
        ASSERT_TRUE(thread.join(10000));
    }
    WNDCLASSA after = {};
    ASSERT_TRUE(GetClassInfoA(module, defaultClass, &after));
    EXPECT_EQ(after.hInstance, module);
    EXPECT_EQ(after.style, info.style);

    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleA(libraryName), nullptr);
    WNDCLASSA gone = {};
    EXPECT_FALSE(GetClassInfoA(module, defaultClass, &gone)) << "the class outlived the library";
}

TEST(LibraryLoad, ExistingGlobalClassLeavesLoadSuccessfulAndIsNotUnregistered)
{
    ASSERT_EQ(GetModuleHandleA(libraryName), nullptr);
    HINSTANCE self = GetModuleHandleA(nullptr);
    WNDCLASSA own = {};
    own.style = CS_GLOBALCLASS;
    own.lpfnWndProc = DefWindowProcA;
    own.hInstance = self;
    own.lpszClassName = defaultClass;
    ASSERT_NE(RegisterClassA(&own), 0);

    HMODULE module = LoadLibraryA(libraryName);
    ASSERT_NE(module, nullptr) << "the load must not fail on account of the window class";
    ASSERT_TRUE(FreeLibrary(module));

    WNDCLASSA info = {};
    EXPECT_TRUE(GetClassInfoA(self, defaultClass, &info)) << "the library unregistered a class it did not register";
    EXPECT_EQ(info.hInstance, self);
    EXPECT_TRUE(UnregisterClassA(defaultClass, self));
}

// The JVM calls JNI_OnLoad once per load, before any native: it reads the text
// mode from zarnwin32.text, and refuses any value but ansi and unicode.
TEST(LibraryLoad, OnLoadReadsTheTextModeAndRefusesAnyOtherValue)
{
    using Query = jboolean(JNICALL*)(JNIEnv*, jclass);
    const struct {
        const char* property;  // null: unset
        jint result;
        bool unicode;
    } cases[] = {{nullptr, JNI_VERSION_1_6, false}, {"ansi", JNI_VERSION_1_6, false}, {"unicode", JNI_VERSION_1_6, true},
                 {"Unicode", JNI_ERR, false}, {"", JNI_ERR, false}, {"utf16", JNI_ERR, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.property ? c.property : "unset");
        ASSERT_EQ(GetModuleHandleA(libraryName), nullptr);
        HMODULE module = LoadLibraryA(libraryName);
        ASSERT_NE(module, nullptr);
        TestJni jni;
        EXPECT_EQ(callOnLoad(module, jni, c.property), c.result);
        if (c.result == JNI_ERR) {
            EXPECT_EQ(jni.pendingClass(), "java/lang/UnsatisfiedLinkError");
            EXPECT_EQ(jni.pendingMessage(), "The system property zarnwin32.text must be ansi or unicode");
            jni.clearException();
        } else {
            auto unicodeText = reinterpret_cast<Query>(reinterpret_cast<void*>(
                GetProcAddress(module, exportedName(std::string(win32Package) + "ZarnWin32_unicodeText", 8).c_str())));
            ASSERT_NE(unicodeText, nullptr);
            EXPECT_EQ(unicodeText(jni.env(), jni.receiver()), c.unicode ? JNI_TRUE : JNI_FALSE);
            // The default class, registered again with DefWindowProcW in unicode
            // mode, is the library's in either mode.
            WNDCLASSEXW info = {};
            info.cbSize = sizeof info;
            EXPECT_NE(GetClassInfoExW(module, L"VORURAZUR32", &info), 0);
            EXPECT_EQ(info.hInstance, module);
        }
        EXPECT_TRUE(jni.clean());
        ASSERT_TRUE(FreeLibrary(module));
    }
}

// ---- The test JNI environment catches misuse (proof of its strictness).

TEST(TestJniStrictness, CatchesLeakDoubleReleaseAndCallsWithExceptionPending)
{
    {
        TestJni jni;
        jstring s = jni.string("leaked");
        const char* chars = jni.env()->GetStringUTFChars(s, nullptr);
        ASSERT_NE(chars, nullptr);
        EXPECT_FALSE(jni.clean()) << "characters never released went unnoticed";
        jni.env()->ReleaseStringUTFChars(s, chars);
        EXPECT_TRUE(jni.clean());
        jni.env()->ReleaseStringUTFChars(s, chars);
        EXPECT_FALSE(jni.clean()) << "a second release went unnoticed";
    }
    {
        TestJni jni;
        jni.env()->ThrowNew(jni.env()->FindClass(registryExceptionClass), "pending");
        jni.env()->NewStringUTF("made with an exception pending");
        EXPECT_FALSE(jni.clean());
        ASSERT_EQ(jni.violations().size(), 1u);
        EXPECT_NE(jni.violations()[0].find("NewStringUTF"), std::string::npos);
    }
    {
        TestJni jni;  // releases are allowed with an exception pending
        jstring s = jni.string("x");
        const char* chars = jni.env()->GetStringUTFChars(s, nullptr);
        jni.env()->ThrowNew(jni.env()->FindClass(registryExceptionClass), "pending");
        jni.env()->ReleaseStringUTFChars(s, chars);
        EXPECT_TRUE(jni.clean());
    }
}

TEST(TestJniStrictness, CatchesFunctionsTheLibraryMustNotUseWrongReleaseModesWritesPastElementsAndText)
{
    TestJni jni;
    jni.env()->ExceptionOccurred();
    jni.env()->NewGlobalRef(jni.string("x"));
    jbyteArray array = jni.bytes(4, 0);
    jbyte* elements = jni.env()->GetByteArrayElements(array, nullptr);
    elements[4] = 1;  // one past the end
    jni.env()->ReleaseByteArrayElements(array, elements, 7);
    // ANSI "é" (E9) before the NUL, and a four-byte UTF-8 sequence: a checking JVM aborts on both.
    jni.env()->NewStringUTF("caf\xE9");
    jni.env()->ThrowNew(jni.env()->FindClass(registryExceptionClass), "\xF0\x9F\x98\x80");
    ASSERT_EQ(jni.violations().size(), 6u);
    EXPECT_NE(jni.violations()[0].find("ExceptionOccurred"), std::string::npos);
    EXPECT_NE(jni.violations()[1].find("NewGlobalRef"), std::string::npos);
    EXPECT_NE(jni.violations()[2].find("mode"), std::string::npos);
    EXPECT_NE(jni.violations()[3].find("past the array's end"), std::string::npos);
    EXPECT_NE(jni.violations()[4].find("NewStringUTF"), std::string::npos);
    EXPECT_NE(jni.violations()[5].find("ThrowNew"), std::string::npos);
    for (const char* valid : {"", "ascii", "caf\xC3\xA9", "\xC0\x80", "\xE2\x82\xAC", "\xED\xA0\xBD\xED\xB8\x80"})
        EXPECT_TRUE(isModifiedUtf8(valid)) << valid;
    for (const char* invalid : {"\x80", "\xC1\xBF", "\xC3", "\xE0\x80\x80", "\xE2\x82", "\xF0\x9F\x98\x80"})
        EXPECT_FALSE(isModifiedUtf8(invalid)) << invalid;
}

TEST(TestJniStrictness, ANativeCallHasSixteenLocalReferences)
{
    // Sixteen live at once are allowed; the seventeenth is a violation unless one was deleted.
    for (bool deleting : {true, false}) {
        TestJni jni;
        TestJni::NativeCall call(jni);
        for (int i = 0; i < 17; ++i) {
            jstring made = jni.env()->NewStringUTF("x");
            if (deleting) jni.env()->DeleteLocalRef(made);
        }
        EXPECT_EQ(jni.clean(), deleting);
        EXPECT_EQ(jni.peakLocalRefs(), deleting ? 1 : 17);
    }
}

TEST(TestJniStrictness, ElementsAreAWholeCopyThatModeZeroCopiesBackWhole)
{
    // As HotSpot does: what another thread writes while a native holds the
    // elements is lost at a mode-0 release, kept at a JNI_ABORT one.
    for (jint mode : {0, JNI_ABORT}) {
        TestJni jni;
        jbyteArray array = jni.bytes(4, 0);
        jboolean isCopy = JNI_FALSE;
        jbyte* elements = jni.env()->GetByteArrayElements(array, &isCopy);
        EXPECT_TRUE(isCopy);
        TestJni::setElement(array, 3, 42);
        jni.env()->ReleaseByteArrayElements(array, elements, mode);
        EXPECT_EQ(TestJni::element(array, 3), mode == 0 ? 0 : 42);
        EXPECT_TRUE(jni.clean());
    }
    TestJni pinning;
    pinning.setArrayMode(ArrayMode::Pinned);
    jbyteArray array = pinning.bytes(4, 0);
    jboolean isCopy = JNI_TRUE;
    jbyte* elements = pinning.env()->GetByteArrayElements(array, &isCopy);
    EXPECT_FALSE(isCopy);
    elements[1] = 7;
    EXPECT_EQ(TestJni::element(array, 1), 7);
    pinning.env()->ReleaseByteArrayElements(array, elements, JNI_ABORT);
    EXPECT_TRUE(pinning.clean());
}

TEST(TestJniStrictness, FaultInjectionFailsExactlyTheNthCallWithAnErrorPending)
{
    struct Case {
        Fn fn;
        const char* pendingClass;
    };
    for (const Case& c : {Case{Fn::GetStringUTFChars, "java/lang/OutOfMemoryError"},
                          Case{Fn::GetByteArrayElements, "java/lang/OutOfMemoryError"},
                          Case{Fn::NewStringUTF, "java/lang/OutOfMemoryError"},
                          Case{Fn::NewByteArray, "java/lang/OutOfMemoryError"},
                          Case{Fn::FindClass, "java/lang/NoClassDefFoundError"},
                          Case{Fn::NewString, "java/lang/OutOfMemoryError"}}) {
        TestJni jni;
        jni.failNth(c.fn, 2);
        jstring s = jni.string("abc");
        jbyteArray a = jni.bytes(3, 1);
        void* results[2] = {};
        for (void*& result : results) {
            switch (c.fn) {
            case Fn::GetStringUTFChars: result = const_cast<char*>(jni.env()->GetStringUTFChars(s, nullptr)); break;
            case Fn::GetByteArrayElements: result = jni.env()->GetByteArrayElements(a, nullptr); break;
            case Fn::NewStringUTF: result = jni.env()->NewStringUTF("x"); break;
            case Fn::NewByteArray: result = jni.env()->NewByteArray(1); break;
            case Fn::NewString: result = jni.env()->NewString(reinterpret_cast<const jchar*>(u"x"), 1); break;
            default: result = jni.env()->FindClass("java/lang/Integer"); break;
            }
            if (result != nullptr) {
                EXPECT_FALSE(jni.exceptionPending()) << fnName(c.fn);
            }
        }
        EXPECT_NE(results[0], nullptr) << fnName(c.fn);
        EXPECT_EQ(results[1], nullptr) << fnName(c.fn);
        EXPECT_EQ(jni.pendingClass(), c.pendingClass) << fnName(c.fn);
    }
}

// ---- The shared routines, compiled into this test from the library's sources.

TEST(SharedRoutines, ThrowRegistryExceptionRaisesExactlyThatClassAndMessage)
{
    TestJni jni;
    throwRegistryException(jni.env(), "Error retreiving registry value");
    EXPECT_EQ(jni.pendingClass(), registryExceptionClass);
    EXPECT_EQ(jni.pendingMessage(), "Error retreiving registry value");
    EXPECT_TRUE(jni.clean());

    // When the class cannot be found, the lookup's own error is what stays pending.
    TestJni failing;
    failing.failNth(Fn::FindClass, 1);
    throwRegistryException(failing.env(), "lost");
    EXPECT_EQ(failing.pendingClass(), "java/lang/NoClassDefFoundError");
    EXPECT_EQ(failing.calls("ThrowNew"), 0);
    EXPECT_TRUE(failing.clean());
}

TEST(SharedRoutines, FormatSystemMessageGivesTheSystemTextUntrimmed)
{
    char* text = formatSystemMessage(ERROR_FILE_NOT_FOUND);
    ASSERT_NE(text, nullptr);
    std::string message(text);
    LocalFree(text);
    EXPECT_NE(message.find("ile not found"), std::string::npos) << message;
    char* none = formatSystemMessage(0x2FFFFFFF);
    EXPECT_EQ(none, nullptr);
}

// ---- Environment.getEnvironmentVariable.

class EnvironmentTest : public ::testing::Test {
protected:
    Native<jstring(jstring)> getEnvironmentVariable{std::string(win32Package) + "Environment_getEnvironmentVariable"};
    TestJni jni;

    // The native's result for name: its exact bytes, or "<null>".
    std::string get(const std::string& utf8Name)
    {
        jstring value = getEnvironmentVariable(jni, jni.string(utf8Name));
        EXPECT_TRUE(jni.clean());
        return value ? jni.utf8Bytes(value) : "<null>";
    }
};

TEST_F(EnvironmentTest, ReturnsValuesAsStoredWhateverTheirLength)
{
    struct Case {
        const char* name;
        std::string value;  // "" unsets
        std::string expected;
    };
    const Case cases[] = {
        {"ZARN_PLAIN", "value", "value"},
        {"ZARN_UNSET", "", "<null>"},
        {"ZARN_REFERENCE", "%TEMP%\\x", "%TEMP%\\x"},
        {"ZARN_4095", std::string(4095, 'a'), std::string(4095, 'a')},
        {"ZARN_4096", std::string(4096, 'b'), std::string(4096, 'b')},
        // The longest value Windows keeps: 32767 characters with the NUL.
        {"ZARN_32766", std::string(32766, 'c'), std::string(32766, 'c')},
        // ANSI text reaches Java as its characters (code page 1252 here), in
        // a value that fits the first buffer and in one that does not.
        {"ZARN_ANSI", "caf\xE9", "caf\xC3\xA9"},
        {"ZARN_ANSI_LONG", std::string(5000, '\xE9'), [] {
             std::string s;
             for (int i = 0; i < 5000; ++i) s += "\xC3\xA9";
             return s;
         }()},
    };
    for (const Case& c : cases) {
        SetEnvironmentVariableA(c.name, c.value.empty() ? nullptr : c.value.c_str());
        std::string got = get(c.name);
        EXPECT_TRUE(got == c.expected) << c.name << ": got " << got.size() << " bytes, starting "
                                       << got.substr(0, 16);
        SetEnvironmentVariableA(c.name, nullptr);
    }
}

TEST_F(EnvironmentTest, EmptyValueGivesNullLikeAnUnsetOne)
{
    ASSERT_TRUE(SetEnvironmentVariableA("ZARN_EMPTY", ""));
    char probe[4];
    SetLastError(0xdeadbeef);
    ASSERT_EQ(GetEnvironmentVariableA("ZARN_EMPTY", probe, sizeof probe), 0u);
    EXPECT_EQ(get("ZARN_EMPTY"), "<null>");
    SetEnvironmentVariableA("ZARN_EMPTY", nullptr);
}

TEST_F(EnvironmentTest, NamesAreCaseInsensitiveAndPassAsTheirBytes)
{
    char path[32768];
    DWORD n = GetEnvironmentVariableA("PATH", path, sizeof path);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(get("path"), std::string(path, n));
    EXPECT_EQ(get("PATH"), std::string(path, n));

    // The name's modified UTF-8 bytes are the name Windows sees.
    ASSERT_TRUE(SetEnvironmentVariableA("ZARN_\xC3\xA9", "utf8-named"));
    EXPECT_EQ(get("ZARN_\xC3\xA9"), "utf8-named");
    SetEnvironmentVariableA("ZARN_\xC3\xA9", nullptr);
}

TEST_F(EnvironmentTest, NullNameAndJniFailuresGiveNullWithNothingOutstanding)
{
    EXPECT_EQ(getEnvironmentVariable(jni, nullptr), nullptr);
    EXPECT_EQ(jni.totalCalls(), 0) << "a null name must not reach the JVM or Windows";
    EXPECT_TRUE(jni.clean());

    SetEnvironmentVariableA("ZARN_FAULT", std::string(5000, 'f').c_str());
    const std::vector<Fn> acquisitions =
        unicodeMode() ? std::vector<Fn>{Fn::NewString} : std::vector<Fn>{Fn::GetStringUTFChars, Fn::NewStringUTF};
    for (const char* name : {"ZARN_FAULT", "PATH"}) {
        for (Fn fn : acquisitions) {
            TestJni faulty;
            faulty.failNth(fn, 1);
            EXPECT_EQ(getEnvironmentVariable(faulty, faulty.string(name)), nullptr) << name << " " << fnName(fn);
            EXPECT_EQ(faulty.pendingClass(), "java/lang/OutOfMemoryError");
            EXPECT_TRUE(faulty.clean());
            if (fn == Fn::GetStringUTFChars) {
                EXPECT_EQ(faulty.calls("NewStringUTF"), 0);
            }
        }
    }
    SetEnvironmentVariableA("ZARN_FAULT", nullptr);
}

TEST_F(EnvironmentTest, FittingValueMakesNoHeapAllocationOfTheLibrarysOwn)
{
    SetEnvironmentVariableA("ZARN_SMALL", "small");
    SetEnvironmentVariableA("ZARN_LARGE", std::string(10000, 'L').c_str());
    jstring small = jni.string("ZARN_SMALL");
    jstring large = jni.string("ZARN_LARGE");
    AllocationCounter counter(library());
    ASSERT_FALSE(counter.hooked().empty()) << "no allocator found in the import table";

    counter.reset();
    ASSERT_NE(getEnvironmentVariable(jni, small), nullptr);
    EXPECT_EQ(counter.count(), 0);
    // The counter sees the allocation that a longer value needs.
    counter.reset();
    ASSERT_NE(getEnvironmentVariable(jni, large), nullptr);
    EXPECT_GT(counter.count(), 0);
    EXPECT_TRUE(jni.clean());
    SetEnvironmentVariableA("ZARN_SMALL", nullptr);
    SetEnvironmentVariableA("ZARN_LARGE", nullptr);
}

// Run in both text modes (binding_unicode runs the environment's cases in
// unicode mode, values beyond the first buffer among them): a variable that a
// W program set is found by its name, and its value read, exactly in unicode
// mode and as far as the code page carries them in ansi mode.
TEST_F(EnvironmentTest, VariablesOfWideProgramsInEitherTextMode)
{
    for (const TextSample& sample : textSamples()) {
        SCOPED_TRACE(sample.label);
        std::u16string name = u"ZARN_" + sample.text.substr(0, 40);
        ASSERT_TRUE(SetEnvironmentVariableW(wide(name).c_str(), wide(sample.text).c_str()));
        jstring got = getEnvironmentVariable(jni, jni.string(name));
        if (seenByWideProgram(name) == name) {
            EXPECT_TRUE(jni.utf16(got) == readFromWideProgram(sample.text));
        } else {
            EXPECT_EQ(got, nullptr);
        }
        EXPECT_TRUE(jni.clean());
        SetEnvironmentVariableW(wide(name).c_str(), nullptr);
    }
    // Cut at U+0000 the name would be that of a variable that is set.
    SetEnvironmentVariableW(L"ZARN_CUT", L"cut");
    EXPECT_EQ(getEnvironmentVariable(jni, jni.string(std::u16string(u"ZARN_CUT\0X", 10))), nullptr);
    EXPECT_TRUE(jni.clean());
    SetEnvironmentVariableW(L"ZARN_CUT", nullptr);
}

}  // namespace
