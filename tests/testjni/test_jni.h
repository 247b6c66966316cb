// A strict JNI environment for calling the library's natives as a JVM does.
//
// Strings are held as UTF-16 and cross as modified UTF-8 or as UTF-16 units
// (GetStringLength, GetStringRegion, NewString); byte arrays, the
// classes the library looks up, Integer objects and one pending exception are
// modelled. Like -Xcheck:jni, it records a violation for: any JNI function the
// library is not meant to use, a JNI call while an exception is pending (other
// than the releases and checks JNI allows), a release of a pointer it did not
// hand out or a second release, an unknown release mode, text given to the JVM
// that is not modified UTF-8, and a null where JNI requires a reference. A JavaVM hands this environment to JNI_OnLoad,
// whose System.getProperty reads the properties set here. Fault
// injection makes the Nth call of an acquiring function fail with an error
// pending.
//
// Array elements are what HotSpot hands out: a fresh copy of the whole array,
// which a mode-0 release copies back whole, so that a native which holds them
// while another Java thread changes the array undoes that change. A JVM that
// pins arrays instead hands out the array itself (ArrayMode::Pinned).
//
// One TestJni serves one thread, as a JNIEnv does.
#ifndef ZARN_TEST_JNI_H
#define ZARN_TEST_JNI_H

#include <windows.h>
#include <jni.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

namespace testjni {

// The functions whose Nth call can be made to fail.
enum class Fn {
    GetStringUTFChars, GetByteArrayElements, NewStringUTF, NewByteArray, FindClass, GetByteArrayRegion,
    SetByteArrayRegion, NewString, NewObjectArray, GetObjectArrayElement,
    SetObjectArrayElement, Count
};
const char* fnName(Fn fn);

extern const char* const registryExceptionClass;  // "com/zarn/kelda/dravik/common/win32/RegistryException"

struct Object;

// How Get<Type>ArrayElements hands out elements.
enum class ArrayMode {
    Copy,    // a copy of the whole array, isCopy true (HotSpot)
    Pinned,  // the array's own storage, isCopy false
};

// True when bytes (up to their NUL) are modified UTF-8 as a checking JVM
// accepts it: no byte 0xF0 and above, no stray continuation byte, no overlong
// form but C0 80, no sequence cut short.
bool isModifiedUtf8(const char* bytes);

class TestJni {
public:
    TestJni();
    ~TestJni();
    TestJni(const TestJni&) = delete;
    TestJni& operator=(const TestJni&) = delete;

    JNIEnv* env() { return reinterpret_cast<JNIEnv*>(&layout_); }
    // A JavaVM whose GetEnv gives env(), as a JVM hands one to JNI_OnLoad.
    JavaVM* vm() { return reinterpret_cast<JavaVM*>(&vmLayout_); }
    // The system properties that System.getProperty answers; unset ones are null.
    void setProperty(const std::string& name, const std::string& value) { properties_[name] = value; }
    // The receiver handed to a native: a class object the library never reads.
    jclass receiver() { return receiver_; }

    // ---- Java-side values.
    jstring string(const std::u16string& text);
    jstring string(const std::string& utf8);          // from standard UTF-8
    jstring string(const char* utf8) { return string(std::string(utf8)); }
    jbyteArray bytes(const std::vector<uint8_t>& data);
    jbyteArray bytes(size_t size, uint8_t fill);
    jobject integer(jint value);
    jobject plainObject();                              // a java.lang.Object
    void setArrayMode(ArrayMode mode) { arrayMode_ = mode; }
    ArrayMode arrayMode() const { return arrayMode_; }

    // ---- Another Java thread. Reads and writes one element of an array as a
    // Java thread does, safely while a native of this environment runs.
    static void setElement(jbyteArray array, size_t index, jbyte value);
    static jbyte element(jbyteArray array, size_t index);

    // ---- Reading results.
    bool isString(jobject object) const;
    bool isByteArray(jobject object) const;
    bool isInteger(jobject object) const;
    std::u16string utf16(jobject string) const;
    // The modified UTF-8 bytes of a string; for one made by NewStringUTF, the
    // exact bytes the library passed.
    std::string utf8Bytes(jobject string) const;
    std::vector<uint8_t> arrayBytes(jobject array) const;
    jint integerValue(jobject integer) const;

    // ---- The pending exception.
    bool exceptionPending() const { return pending_ != nullptr; }
    std::string pendingClass() const;                  // slash form, "" when none
    std::string pendingMessage() const;
    bool pendingMessageIsNull() const;
    void clearException();

    // ---- Strictness.
    const std::vector<std::string>& violations() const { return violations_; }
    size_t outstanding() const { return chars_.size() + elements_.size(); }
    // No violation and nothing outstanding; the reason otherwise.
    ::testing::AssertionResult clean() const;
    void resetViolations() { violations_.clear(); }

    // ---- Counting and fault injection.
    int calls(Fn fn) const { return calls_[static_cast<int>(fn)]; }
    int calls(const std::string& jniFunction) const;
    int totalCalls() const { return totalCalls_; }
    void resetCounts();
    // The nth call (1-based, counted from now) of fn yields null with
    // OutOfMemoryError (FindClass: NoClassDefFoundError) pending.
    void failNth(Fn fn, int n);
    void clearFaults();

    // ---- Object arrays and local references (String[] of the Registry lists).
    // One native call is one local frame: the references that JNI functions
    // return during it (FindClass, GetObjectClass, NewObject, NewStringUTF,
    // NewByteArray, NewObjectArray, GetObjectArrayElement) count until
    // DeleteLocalRef or the call's end. JNI promises a native 16 local
    // references, more only after EnsureLocalCapacity: a 17th is a violation.
    // Native<...> opens the frame (NativeCall) around each call.
    class NativeCall {
    public:
        explicit NativeCall(TestJni& jni);
        ~NativeCall();
        NativeCall(const NativeCall&) = delete;
        NativeCall& operator=(const NativeCall&) = delete;

    private:
        TestJni& jni_;
    };
    static constexpr int localCapacity = 16;
    // The most local references live at once in a native call since the last resetCounts().
    int peakLocalRefs() const { return peakLocals_; }
    // An array of the elements given (null elements allowed) of the element class.
    jobjectArray objectArray(const std::vector<jobject>& elements, const std::string& elementClass = "java/lang/String");
    bool isObjectArray(jobject object) const;
    std::vector<jobject> arrayElements(jobject array) const;
    // Internal: a reference a JNI function returns, and DeleteLocalRef.
    jobject local(Object* object);
    void deleteLocal(Object* object);
    // The class of that name, made on first use.
    Object* classNamed(const std::string& name);

    // ---- Internal: used by the function table.
    static TestJni* from(JNIEnv* env);
    static TestJni* from(JavaVM* vm);
    void violation(const std::string& what);
    bool enter(int index, bool allowedWithPending);   // counts; false if the call must fail
    bool injectFault(Fn fn);
    Object* object(jobject reference, const char* function);
    Object* newObject(const std::string& className);
    Object* findClassObject(const std::string& name);
    void throwNew(const std::string& className, const char* message);

    struct Chars {
        jstring string;
        std::unique_ptr<char[]> bytes;
    };
    struct Elements {
        jbyteArray array;
        std::unique_ptr<jbyte[]> copy;  // null when the elements are the array's own storage
        size_t copySize = 0;            // the copy's elements, before its guard bytes
    };
    std::map<const char*, Chars> chars_;
    std::map<std::string, std::string> properties_;
    std::map<const jbyte*, Elements> elements_;

private:
    struct Layout {
        const JNINativeInterface_* functions;
        TestJni* self;
    } layout_;
    struct VmLayout {
        const JNIInvokeInterface_* functions;
        TestJni* self;
    } vmLayout_;

    // Every object the JVM made, and the same for looking a reference up:
    // a listing makes a thousand strings a call.
    Object* allocate();
    std::deque<std::unique_ptr<Object>> heap_;
    std::unordered_set<const Object*> owned_;
    std::map<std::string, Object*> classes_;
    jclass receiver_;
    Object* pending_ = nullptr;
    ArrayMode arrayMode_ = ArrayMode::Copy;

    std::vector<std::string> violations_;
    std::map<int, int> callsByIndex_;
    int calls_[static_cast<int>(Fn::Count)] = {};
    int faultAt_[static_cast<int>(Fn::Count)] = {};
    int totalCalls_ = 0;

    int nativeDepth_ = 0;
    std::map<Object*, int> locals_;
    int liveLocals_ = 0;
    int peakLocals_ = 0;
    bool capacityReported_ = false;
};

// Object model of the fake JVM.
struct Object {
    enum class Kind { Class, Plain, String, ByteArray, Integer, Throwable, ObjectArray } kind;
    Object* cls = nullptr;          // the object's class (null for classes)
    std::string className;          // for classes: slash form
    std::u16string text;            // String
    bool hasRawBytes = false;       // String made by NewStringUTF
    std::string rawBytes;
    std::vector<jbyte> array;       // byte[]
    jint value = 0;                 // Integer
    std::vector<Object*> elements;  // ObjectArray
    std::string elementClass;       // ObjectArray: its elements' class, slash form
    bool messageIsNull = false;     // Throwable
    std::string message;
};

// Modified UTF-8 of UTF-16 text, as GetStringUTFChars gives it.
std::string toModifiedUtf8(const std::u16string& text);
std::u16string fromModifiedUtf8(const std::string& bytes);

}  // namespace testjni

#endif
