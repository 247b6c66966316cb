#include "test_jni.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace testjni {

const char* const registryExceptionClass = "com/zarn/kelda/dravik/common/win32/RegistryException";

namespace {

// Guards the bytes of every array: a test thread that plays another Java
// thread changes them while a native on another thread copies them.
SRWLOCK arrayLock = SRWLOCK_INIT;

struct ArrayGuard {
    ArrayGuard() { AcquireSRWLockExclusive(&arrayLock); }
    ~ArrayGuard() { ReleaseSRWLockExclusive(&arrayLock); }
    ArrayGuard(const ArrayGuard&) = delete;
    ArrayGuard& operator=(const ArrayGuard&) = delete;
};

std::string hexOf(const char* bytes)
{
    std::string out;
    char two[4];
    for (const char* b = bytes; *b && out.size() < 96; ++b) {
        snprintf(two, sizeof two, "%02X ", static_cast<unsigned char>(*b));
        out += two;
    }
    return out;
}

enum FnIndex {
#define X(name) index_##name,
#include "jni_functions.inc"
#undef X
    functionCount
};

const char* const functionNames[] = {
#define X(name) #name,
#include "jni_functions.inc"
#undef X
};

// The functions JNI allows while an exception is pending.
bool allowedWithPending(int index)
{
    switch (index) {
    case index_ExceptionOccurred: case index_ExceptionDescribe: case index_ExceptionClear:
    case index_ExceptionCheck: case index_ReleaseStringUTFChars: case index_ReleaseStringChars:
    case index_ReleaseStringCritical: case index_ReleaseByteArrayElements:
    case index_ReleaseBooleanArrayElements: case index_ReleaseCharArrayElements:
    case index_ReleaseShortArrayElements: case index_ReleaseIntArrayElements:
    case index_ReleaseLongArrayElements: case index_ReleaseFloatArrayElements:
    case index_ReleaseDoubleArrayElements: case index_ReleasePrimitiveArrayCritical:
    case index_DeleteLocalRef: case index_DeleteGlobalRef: case index_DeleteWeakGlobalRef:
    case index_MonitorExit: case index_PushLocalFrame: case index_PopLocalFrame:
        return true;
    default:
        return false;
    }
}

// Every function of the table starts as a trap: calling it is a violation,
// and it returns a zero value of its type.
template <typename Pointer, int Index>
struct Trap;

template <typename R, typename... Rest, int Index>
struct Trap<R(JNICALL*)(JNIEnv*, Rest...), Index> {
    static R JNICALL function(JNIEnv* env, Rest...)
    {
        TestJni* self = TestJni::from(env);
        self->enter(Index, allowedWithPending(Index));
        self->violation(std::string("called JNI function not used by the library: ") + functionNames[Index]);
        return R();
    }
};

template <typename R, typename... Rest, int Index>
struct Trap<R(JNICALL*)(JNIEnv*, Rest..., ...), Index> {
    // A variadic stdcall function is called as cdecl.
    static R JNICALL function(JNIEnv* env, Rest..., ...)
    {
        TestJni* self = TestJni::from(env);
        self->enter(Index, allowedWithPending(Index));
        self->violation(std::string("called JNI function not used by the library: ") + functionNames[Index]);
        return R();
    }
};

#define ENTER(name, result)                                                          \
    TestJni* self = TestJni::from(env);                                              \
    if (!self->enter(index_##name, allowedWithPending(index_##name))) return result;

// ---- Classes and exceptions.

jclass JNICALL findClass(JNIEnv* env, const char* name)
{
    ENTER(FindClass, nullptr);
    if (!name) {
        self->violation("FindClass with a null name");
        return nullptr;
    }
    if (!isModifiedUtf8(name)) self->violation("FindClass with a name that is not modified UTF-8: " + hexOf(name));
    if (self->injectFault(Fn::FindClass)) {
        self->throwNew("java/lang/NoClassDefFoundError", name);
        return nullptr;
    }
    Object* cls = self->findClassObject(name);
    if (!cls) {
        self->throwNew("java/lang/NoClassDefFoundError", name);
        return nullptr;
    }
    return reinterpret_cast<jclass>(self->local(cls));
}

jint JNICALL throwNew(JNIEnv* env, jclass cls, const char* message)
{
    ENTER(ThrowNew, -1);
    Object* classObject = self->object(cls, "ThrowNew");
    if (!classObject) return -1;
    if (classObject->kind != Object::Kind::Class) {
        self->violation("ThrowNew with an object that is not a class");
        return -1;
    }
    if (message && !isModifiedUtf8(message))
        self->violation("ThrowNew with a message that is not modified UTF-8: " + hexOf(message));
    self->throwNew(classObject->className, message);
    return 0;
}

jboolean JNICALL exceptionCheck(JNIEnv* env)
{
    ENTER(ExceptionCheck, JNI_FALSE);
    return self->exceptionPending() ? JNI_TRUE : JNI_FALSE;
}

void JNICALL exceptionClear(JNIEnv* env)
{
    ENTER(ExceptionClear, );
    self->clearException();
}

jclass JNICALL getObjectClass(JNIEnv* env, jobject object)
{
    ENTER(GetObjectClass, nullptr);
    Object* o = self->object(object, "GetObjectClass");
    return o ? reinterpret_cast<jclass>(self->local(o->cls)) : nullptr;
}

jboolean JNICALL isAssignableFrom(JNIEnv* env, jclass from, jclass to)
{
    ENTER(IsAssignableFrom, JNI_FALSE);
    Object* a = self->object(from, "IsAssignableFrom");
    Object* b = self->object(to, "IsAssignableFrom");
    if (!a || !b) return JNI_FALSE;
    return a == b || b->className == "java/lang/Object";
}

// The two methods the library may look up: Integer(int) and Integer.intValue().
struct Method {
    const char* className;
    const char* name;
    const char* signature;
};
const Method integerConstructor = {"java/lang/Integer", "<init>", "(I)V"};
const Method integerIntValue = {"java/lang/Integer", "intValue", "()I"};

jmethodID JNICALL getMethodID(JNIEnv* env, jclass cls, const char* name, const char* signature)
{
    ENTER(GetMethodID, nullptr);
    Object* classObject = self->object(cls, "GetMethodID");
    if (!classObject || !name || !signature) return nullptr;
    for (const Method* method : {&integerConstructor, &integerIntValue}) {
        if (classObject->className == method->className && !strcmp(name, method->name) &&
            !strcmp(signature, method->signature))
            return reinterpret_cast<jmethodID>(const_cast<Method*>(method));
    }
    self->throwNew("java/lang/NoSuchMethodError", name);
    return nullptr;
}

jobject newObjectA(TestJni* self, jclass cls, jmethodID method, jint value)
{
    Object* classObject = self->object(cls, "NewObject");
    if (!classObject) return nullptr;
    if (reinterpret_cast<const Method*>(method) != &integerConstructor || classObject->className != "java/lang/Integer") {
        self->violation("NewObject with a method that is not a constructor of the class");
        return nullptr;
    }
    Object* integer = self->newObject("java/lang/Integer");
    integer->kind = Object::Kind::Integer;
    integer->value = value;
    return self->local(integer);
}

jobject JNICALL newObjectV(JNIEnv* env, jclass cls, jmethodID method, va_list args)
{
    ENTER(NewObjectV, nullptr);
    return newObjectA(self, cls, method, va_arg(args, jint));
}

jobject JNICALL newObjectArray(JNIEnv* env, jclass cls, jmethodID method, const jvalue* args)
{
    ENTER(NewObjectA, nullptr);
    return newObjectA(self, cls, method, args[0].i);
}

jobject JNICALL newObjectVariadic(JNIEnv* env, jclass cls, jmethodID method, ...)
{
    ENTER(NewObject, nullptr);
    va_list args;
    va_start(args, method);
    jobject result = newObjectA(self, cls, method, va_arg(args, jint));
    va_end(args);
    return result;
}

jint callIntMethodOn(TestJni* self, jobject object, jmethodID method)
{
    Object* o = self->object(object, "CallIntMethod");
    if (!o) return 0;
    if (reinterpret_cast<const Method*>(method) != &integerIntValue || o->kind != Object::Kind::Integer) {
        self->violation("CallIntMethod with a method the object does not have");
        return 0;
    }
    return o->value;
}

jint JNICALL callIntMethodV(JNIEnv* env, jobject object, jmethodID method, va_list)
{
    ENTER(CallIntMethodV, 0);
    return callIntMethodOn(self, object, method);
}

jint JNICALL callIntMethodArray(JNIEnv* env, jobject object, jmethodID method, const jvalue*)
{
    ENTER(CallIntMethodA, 0);
    return callIntMethodOn(self, object, method);
}

jint JNICALL callIntMethodVariadic(JNIEnv* env, jobject object, jmethodID method, ...)
{
    ENTER(CallIntMethod, 0);
    return callIntMethodOn(self, object, method);
}

// ---- Strings.

jstring JNICALL newStringUTF(JNIEnv* env, const char* bytes)
{
    ENTER(NewStringUTF, nullptr);
    if (!bytes) {
        self->violation("NewStringUTF with null bytes");
        return nullptr;
    }
    // A checking JVM stops the process here; a plain one reads past the text.
    if (!isModifiedUtf8(bytes)) self->violation("NewStringUTF with bytes that are not modified UTF-8: " + hexOf(bytes));
    if (self->injectFault(Fn::NewStringUTF)) {
        self->throwNew("java/lang/OutOfMemoryError", "NewStringUTF");
        return nullptr;
    }
    Object* string = self->newObject("java/lang/String");
    string->kind = Object::Kind::String;
    string->rawBytes = bytes;
    string->hasRawBytes = true;
    string->text = fromModifiedUtf8(string->rawBytes);
    return reinterpret_cast<jstring>(self->local(string));
}

jsize JNICALL getStringUTFLength(JNIEnv* env, jstring string)
{
    ENTER(GetStringUTFLength, 0);
    Object* o = self->object(string, "GetStringUTFLength");
    if (!o) return 0;
    if (o->kind != Object::Kind::String) {
        self->violation("GetStringUTFLength on an object that is not a String");
        return 0;
    }
    return static_cast<jsize>(toModifiedUtf8(o->text).size());
}

const char* JNICALL getStringUTFChars(JNIEnv* env, jstring string, jboolean* isCopy)
{
    ENTER(GetStringUTFChars, nullptr);
    if (isCopy) self->violation("GetStringUTFChars with an isCopy pointer");
    Object* o = self->object(string, "GetStringUTFChars");
    if (!o) return nullptr;
    if (o->kind != Object::Kind::String) {
        self->violation("GetStringUTFChars on an object that is not a String");
        return nullptr;
    }
    if (self->injectFault(Fn::GetStringUTFChars)) {
        self->throwNew("java/lang/OutOfMemoryError", "GetStringUTFChars");
        return nullptr;
    }
    // A fresh copy each time, so that a stale or repeated release is seen.
    std::string bytes = toModifiedUtf8(o->text);
    std::unique_ptr<char[]> copy(new char[bytes.size() + 1]);
    memcpy(copy.get(), bytes.c_str(), bytes.size() + 1);
    const char* pointer = copy.get();
    self->chars_[pointer] = TestJni::Chars{string, std::move(copy)};
    return pointer;
}

void JNICALL releaseStringUTFChars(JNIEnv* env, jstring string, const char* chars)
{
    ENTER(ReleaseStringUTFChars, );
    auto found = self->chars_.find(chars);
    if (found == self->chars_.end()) {
        self->violation("ReleaseStringUTFChars of characters not handed out (or released twice)");
        return;
    }
    if (found->second.string != string) self->violation("ReleaseStringUTFChars with another string than its own");
    self->chars_.erase(found);
}

// ---- Strings as UTF-16 units.

Object* stringObject(TestJni* self, jstring string, const char* function)
{
    Object* o = self->object(string, function);
    if (o && o->kind != Object::Kind::String) {
        self->violation(std::string(function) + " on an object that is not a String");
        return nullptr;
    }
    return o;
}

jsize JNICALL getStringLength(JNIEnv* env, jstring string)
{
    ENTER(GetStringLength, 0);
    Object* o = stringObject(self, string, "GetStringLength");
    return o ? static_cast<jsize>(o->text.size()) : 0;
}

void JNICALL getStringRegion(JNIEnv* env, jstring string, jsize start, jsize length, jchar* buffer)
{
    ENTER(GetStringRegion, );
    Object* o = stringObject(self, string, "GetStringRegion");
    if (!o) return;
    if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > o->text.size()) {
        self->throwNew("java/lang/StringIndexOutOfBoundsException", nullptr);
        return;
    }
    if (length > 0 && !buffer) {
        self->violation("GetStringRegion with a null buffer");
        return;
    }
    if (length > 0) memcpy(buffer, o->text.data() + start, static_cast<size_t>(length) * sizeof(jchar));
}

jstring JNICALL newString(JNIEnv* env, const jchar* units, jsize length)
{
    ENTER(NewString, nullptr);
    if (length < 0 || (length > 0 && !units)) {
        self->violation("NewString with a negative length or null units");
        return nullptr;
    }
    if (self->injectFault(Fn::NewString)) {
        self->throwNew("java/lang/OutOfMemoryError", "NewString");
        return nullptr;
    }
    Object* string = self->newObject("java/lang/String");
    string->kind = Object::Kind::String;
    string->text.assign(reinterpret_cast<const char16_t*>(units), static_cast<size_t>(length));
    return reinterpret_cast<jstring>(self->local(string));
}

// ---- System.getProperty(String), the one static method the library calls (from JNI_OnLoad).

const Method systemGetProperty = {"java/lang/System", "getProperty", "(Ljava/lang/String;)Ljava/lang/String;"};

jmethodID JNICALL getStaticMethodID(JNIEnv* env, jclass cls, const char* name, const char* signature)
{
    ENTER(GetStaticMethodID, nullptr);
    Object* classObject = self->object(cls, "GetStaticMethodID");
    if (!classObject || !name || !signature) return nullptr;
    if (classObject->className == systemGetProperty.className && !strcmp(name, systemGetProperty.name) &&
        !strcmp(signature, systemGetProperty.signature))
        return reinterpret_cast<jmethodID>(const_cast<Method*>(&systemGetProperty));
    self->throwNew("java/lang/NoSuchMethodError", name);
    return nullptr;
}

jobject callStaticObjectMethodOn(TestJni* self, jclass cls, jmethodID method, jobject argument)
{
    Object* classObject = self->object(cls, "CallStaticObjectMethod");
    if (!classObject) return nullptr;
    if (reinterpret_cast<const Method*>(method) != &systemGetProperty || classObject->className != "java/lang/System") {
        self->violation("CallStaticObjectMethod with a method the class does not have");
        return nullptr;
    }
    Object* key = stringObject(self, static_cast<jstring>(argument), "System.getProperty");
    if (!key) return nullptr;
    auto found = self->properties_.find(toModifiedUtf8(key->text));
    if (found == self->properties_.end()) return nullptr;
    return self->local(reinterpret_cast<Object*>(self->string(found->second)));
}

// The C++ form of CallStaticObjectMethod in jni.h calls the V form, the only one
// the library reaches; the others trap.
jobject JNICALL callStaticObjectMethodV(JNIEnv* env, jclass cls, jmethodID method, va_list args)
{
    ENTER(CallStaticObjectMethodV, nullptr);
    return callStaticObjectMethodOn(self, cls, method, va_arg(args, jobject));
}

// ---- The JavaVM: GetEnv alone.

jint JNICALL vmGetEnv(JavaVM* vm, void** env, jint version)
{
    TestJni* self = TestJni::from(vm);
    if (version < JNI_VERSION_1_1 || version > JNI_VERSION_1_8) {
        *env = nullptr;
        return JNI_EVERSION;
    }
    *env = self->env();
    return JNI_OK;
}

jint JNICALL vmTrap(JavaVM* vm)
{
    TestJni::from(vm)->violation("called JavaVM function not used by the library");
    return JNI_ERR;
}

struct VmTable {
    JNIInvokeInterface_ functions;
    VmTable()
    {
        memset(&functions, 0, sizeof functions);
        functions.DestroyJavaVM = vmTrap;
        functions.DetachCurrentThread = vmTrap;
        functions.GetEnv = vmGetEnv;
    }
};

const VmTable vmTable;

// ---- Byte arrays.

jsize JNICALL getArrayLength(JNIEnv* env, jarray array)
{
    ENTER(GetArrayLength, 0);
    Object* o = self->object(array, "GetArrayLength");
    if (!o) return 0;
    if (o->kind == Object::Kind::ObjectArray) return static_cast<jsize>(o->elements.size());
    if (o->kind != Object::Kind::ByteArray) {
        self->violation("GetArrayLength on an object that is not an array");
        return 0;
    }
    return static_cast<jsize>(o->array.size());
}

jbyteArray JNICALL newByteArray(JNIEnv* env, jsize length)
{
    ENTER(NewByteArray, nullptr);
    if (length < 0) {
        self->throwNew("java/lang/NegativeArraySizeException", nullptr);
        return nullptr;
    }
    if (self->injectFault(Fn::NewByteArray)) {
        self->throwNew("java/lang/OutOfMemoryError", "NewByteArray");
        return nullptr;
    }
    Object* array = self->newObject("[B");
    array->kind = Object::Kind::ByteArray;
    array->array.assign(static_cast<size_t>(length), 0);
    return reinterpret_cast<jbyteArray>(self->local(array));
}

// The checks of both region calls; the array's object, or null with the
// call's error pending (or a violation recorded).
Object* regionArray(TestJni* self, jbyteArray array, jsize start, jsize length, const void* buffer, Fn fn,
                    const char* function)
{
    Object* o = self->object(array, function);
    if (!o) return nullptr;
    if (o->kind != Object::Kind::ByteArray) {
        self->violation(std::string(function) + " on an object that is not a byte[]");
        return nullptr;
    }
    if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > o->array.size()) {
        self->throwNew("java/lang/ArrayIndexOutOfBoundsException", nullptr);
        return nullptr;
    }
    if (length > 0 && !buffer) {
        self->violation(std::string(function) + " with a null buffer");
        return nullptr;
    }
    if (self->injectFault(fn)) {
        self->throwNew("java/lang/OutOfMemoryError", function);
        return nullptr;
    }
    return o;
}

void JNICALL setByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length, const jbyte* bytes)
{
    ENTER(SetByteArrayRegion, );
    Object* o = regionArray(self, array, start, length, bytes, Fn::SetByteArrayRegion, "SetByteArrayRegion");
    if (!o || length == 0) return;
    ArrayGuard guard;
    memcpy(o->array.data() + start, bytes, static_cast<size_t>(length));
}

void JNICALL getByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length, jbyte* bytes)
{
    ENTER(GetByteArrayRegion, );
    Object* o = regionArray(self, array, start, length, bytes, Fn::GetByteArrayRegion, "GetByteArrayRegion");
    if (!o || length == 0) return;
    ArrayGuard guard;
    memcpy(bytes, o->array.data() + start, static_cast<size_t>(length));
}

// The guard after each copy of a byte array's elements.
constexpr size_t guardBytes = 16;
constexpr jbyte guardFill = static_cast<jbyte>(0xCB);

jbyte* JNICALL getByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy)
{
    ENTER(GetByteArrayElements, nullptr);
    Object* o = self->object(array, "GetByteArrayElements");
    if (!o) return nullptr;
    if (o->kind != Object::Kind::ByteArray) {
        self->violation("GetByteArrayElements on an object that is not a byte[]");
        return nullptr;
    }
    if (self->injectFault(Fn::GetByteArrayElements)) {
        self->throwNew("java/lang/OutOfMemoryError", "GetByteArrayElements");
        return nullptr;
    }
    size_t size = o->array.size();
    jbyte* pointer;
    std::unique_ptr<jbyte[]> copy;
    if (self->arrayMode() == ArrayMode::Pinned && size > 0) {
        pointer = o->array.data();
    } else {
        // A copy followed by guard bytes, as a checking JVM hands it out: its
        // release reports a write past the array's end.
        copy.reset(new jbyte[size + guardBytes]);
        memset(copy.get() + size, guardFill, guardBytes);
        ArrayGuard guard;
        if (size) memcpy(copy.get(), o->array.data(), size);
        pointer = copy.get();
    }
    if (isCopy) *isCopy = copy ? JNI_TRUE : JNI_FALSE;
    if (self->elements_.count(pointer)) {
        self->violation("GetByteArrayElements of an array whose pinned elements are held already");
        return pointer;
    }
    self->elements_[pointer] = TestJni::Elements{array, std::move(copy), size};
    return pointer;
}

void JNICALL releaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode)
{
    ENTER(ReleaseByteArrayElements, );
    auto found = self->elements_.find(elements);
    if (found == self->elements_.end()) {
        self->violation("ReleaseByteArrayElements of elements not handed out (or released twice)");
        return;
    }
    const TestJni::Elements& held = found->second;
    if (held.array != array) self->violation("ReleaseByteArrayElements with another array than its own");
    if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT)
        self->violation("ReleaseByteArrayElements with an unknown mode " + std::to_string(mode));
    if (held.copy && std::any_of(held.copy.get() + held.copySize, held.copy.get() + held.copySize + guardBytes,
                                 [](jbyte b) { return b != guardFill; }))
        self->violation("ReleaseByteArrayElements of elements written past the array's end");
    Object* o = self->object(held.array, "ReleaseByteArrayElements");
    // Modes 0 and JNI_COMMIT copy the whole copy back, whatever changed in the
    // array since; JNI_ABORT drops it. Pinned elements are the array already.
    if (o && held.copy && mode != JNI_ABORT && !o->array.empty()) {
        ArrayGuard guard;
        memcpy(o->array.data(), held.copy.get(), o->array.size());
    }
    if (mode != JNI_COMMIT) self->elements_.erase(found);
}

// ---- Object arrays and local references (String[] of the Registry lists).
// NewObjectArray, GetObjectArrayElement and SetObjectArrayElement check their
// array, index and element as a JVM does and can be failed (Fn); each
// reference they return counts as a local reference of the native call, which
// DeleteLocalRef gives back (see TestJni::NativeCall).

// The array object, or null with a violation recorded.
Object* objectArrayOf(TestJni* self, jobjectArray array, const char* function)
{
    Object* o = self->object(array, function);
    if (o && o->kind != Object::Kind::ObjectArray) {
        self->violation(std::string(function) + " on an object that is not an array of objects");
        return nullptr;
    }
    return o;
}

// True when index lies in the array; otherwise ArrayIndexOutOfBoundsException is pending.
bool inBounds(TestJni* self, Object* array, jsize index)
{
    if (index >= 0 && static_cast<size_t>(index) < array->elements.size()) return true;
    self->classNamed("java/lang/ArrayIndexOutOfBoundsException");
    self->throwNew("java/lang/ArrayIndexOutOfBoundsException", nullptr);
    return false;
}

jobjectArray JNICALL newObjectArrayOf(JNIEnv* env, jsize length, jclass elementClass, jobject initial)
{
    ENTER(NewObjectArray, nullptr);
    Object* cls = self->object(elementClass, "NewObjectArray");
    if (!cls) return nullptr;
    if (cls->kind != Object::Kind::Class) {
        self->violation("NewObjectArray with an element class that is not a class");
        return nullptr;
    }
    Object* first = initial ? self->object(initial, "NewObjectArray") : nullptr;
    if (length < 0) {
        self->throwNew("java/lang/NegativeArraySizeException", nullptr);
        return nullptr;
    }
    if (self->injectFault(Fn::NewObjectArray)) {
        self->throwNew("java/lang/OutOfMemoryError", "NewObjectArray");
        return nullptr;
    }
    std::string arrayClass = cls->className[0] == '[' ? "[" + cls->className : "[L" + cls->className + ";";
    self->classNamed(arrayClass);
    Object* array = self->newObject(arrayClass);
    array->kind = Object::Kind::ObjectArray;
    array->elementClass = cls->className;
    array->elements.assign(static_cast<size_t>(length), first);
    return reinterpret_cast<jobjectArray>(self->local(array));
}

jobject JNICALL getObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index)
{
    ENTER(GetObjectArrayElement, nullptr);
    Object* o = objectArrayOf(self, array, "GetObjectArrayElement");
    if (!o || !inBounds(self, o, index)) return nullptr;
    if (self->injectFault(Fn::GetObjectArrayElement)) {
        self->throwNew("java/lang/OutOfMemoryError", "GetObjectArrayElement");
        return nullptr;
    }
    Object* element = o->elements[static_cast<size_t>(index)];
    return element ? self->local(element) : nullptr;
}

void JNICALL setObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value)
{
    ENTER(SetObjectArrayElement, );
    Object* o = objectArrayOf(self, array, "SetObjectArrayElement");
    Object* element = value ? self->object(value, "SetObjectArrayElement") : nullptr;
    if (!o || (value && !element) || !inBounds(self, o, index)) return;
    if (element && element->cls->className != o->elementClass && o->elementClass != "java/lang/Object") {
        self->classNamed("java/lang/ArrayStoreException");
        self->throwNew("java/lang/ArrayStoreException", element->cls->className.c_str());
        return;
    }
    if (self->injectFault(Fn::SetObjectArrayElement)) {
        self->throwNew("java/lang/OutOfMemoryError", "SetObjectArrayElement");
        return;
    }
    o->elements[static_cast<size_t>(index)] = element;
}

void JNICALL deleteLocalRef(JNIEnv* env, jobject reference)
{
    ENTER(DeleteLocalRef, );
    // Since Java 9, JNI defines DeleteLocalRef of a null reference as doing nothing.
    if (!reference) return;
    Object* o = self->object(reference, "DeleteLocalRef");
    if (o) self->deleteLocal(o);
}

// ---- End of object arrays and local references.

struct Table {
    JNINativeInterface_ functions;
    Table()
    {
        memset(&functions, 0, sizeof functions);
#define X(name) functions.name = Trap<decltype(functions.name), index_##name>::function;
#include "jni_functions.inc"
#undef X
        functions.FindClass = findClass;
        functions.ThrowNew = throwNew;
        functions.GetObjectClass = getObjectClass;
        functions.IsAssignableFrom = isAssignableFrom;
        functions.GetMethodID = getMethodID;
        functions.NewObject = newObjectVariadic;
        functions.NewObjectV = newObjectV;
        functions.NewObjectA = newObjectArray;
        functions.CallIntMethod = callIntMethodVariadic;
        functions.CallIntMethodV = callIntMethodV;
        functions.CallIntMethodA = callIntMethodArray;
        functions.NewStringUTF = newStringUTF;
        functions.GetStringUTFLength = getStringUTFLength;
        functions.GetStringUTFChars = getStringUTFChars;
        functions.ReleaseStringUTFChars = releaseStringUTFChars;
        functions.GetArrayLength = getArrayLength;
        functions.NewByteArray = newByteArray;
        functions.SetByteArrayRegion = setByteArrayRegion;
        functions.GetByteArrayRegion = getByteArrayRegion;
        functions.ExceptionCheck = exceptionCheck;
        functions.ExceptionClear = exceptionClear;
        functions.GetByteArrayElements = getByteArrayElements;
        functions.ReleaseByteArrayElements = releaseByteArrayElements;
        functions.GetStringLength = getStringLength;
        functions.GetStringRegion = getStringRegion;
        functions.NewString = newString;
        functions.GetStaticMethodID = getStaticMethodID;
        functions.CallStaticObjectMethodV = callStaticObjectMethodV;
        functions.NewObjectArray = newObjectArrayOf;
        functions.GetObjectArrayElement = getObjectArrayElement;
        functions.SetObjectArrayElement = setObjectArrayElement;
        functions.DeleteLocalRef = deleteLocalRef;
    }
};

const Table table;

// The JNI functions that count as one another (the C++ wrappers of jni.h call the V forms).
int canonicalIndex(int index)
{
    switch (index) {
    case index_NewObjectV: case index_NewObjectA: return index_NewObject;
    case index_CallIntMethodV: case index_CallIntMethodA: return index_CallIntMethod;
    default: return index;
    }
}

}  // namespace

const char* fnName(Fn fn)
{
    static const char* const names[] = {"GetStringUTFChars", "GetByteArrayElements", "NewStringUTF", "NewByteArray",
                                        "FindClass",         "GetByteArrayRegion",   "SetByteArrayRegion",
                                        "NewString",
                                        "NewObjectArray",    "GetObjectArrayElement", "SetObjectArrayElement"};
    return names[static_cast<int>(fn)];
}

TestJni::TestJni()
{
    layout_.functions = &table.functions;
    layout_.self = this;
    vmLayout_.functions = &vmTable.functions;
    vmLayout_.self = this;
    for (const char* name : {"java/lang/Object", "java/lang/Class", "java/lang/String", "[B", "java/lang/Integer",
                             registryExceptionClass, "java/lang/OutOfMemoryError", "java/lang/NoClassDefFoundError",
                             "java/lang/NoSuchMethodError", "java/lang/ArrayIndexOutOfBoundsException",
                             "java/lang/NegativeArraySizeException", "java/lang/StringIndexOutOfBoundsException",
                             "java/lang/System", "java/lang/UnsatisfiedLinkError"}) {
        Object* cls = allocate();
        cls->kind = Object::Kind::Class;
        cls->className = name;
        classes_[name] = cls;
    }
    receiver_ = reinterpret_cast<jclass>(classes_["java/lang/Class"]);
}

TestJni::~TestJni() = default;

TestJni* TestJni::from(JNIEnv* env)
{
    return reinterpret_cast<Layout*>(env)->self;
}

TestJni* TestJni::from(JavaVM* vm)
{
    return reinterpret_cast<VmLayout*>(vm)->self;
}

void TestJni::violation(const std::string& what)
{
    violations_.push_back(what);
}

bool TestJni::enter(int index, bool allowed)
{
    ++totalCalls_;
    ++callsByIndex_[canonicalIndex(index)];
    if (pending_ && !allowed)
        violation(std::string(functionNames[index]) + " called with an exception pending (" + pending_->cls->className +
                  ")");
    return true;
}

bool TestJni::injectFault(Fn fn)
{
    int i = static_cast<int>(fn);
    ++calls_[i];
    return faultAt_[i] != 0 && calls_[i] == faultAt_[i];
}

int TestJni::calls(const std::string& jniFunction) const
{
    for (int i = 0; i < functionCount; ++i) {
        if (jniFunction == functionNames[i]) {
            auto found = callsByIndex_.find(i);
            return found == callsByIndex_.end() ? 0 : found->second;
        }
    }
    ADD_FAILURE() << "no JNI function " << jniFunction;
    return 0;
}

void TestJni::resetCounts()
{
    peakLocals_ = 0;
    callsByIndex_.clear();
    totalCalls_ = 0;
    for (int& count : calls_) count = 0;
}

void TestJni::failNth(Fn fn, int n)
{
    int i = static_cast<int>(fn);
    calls_[i] = 0;
    faultAt_[i] = n;
}

void TestJni::clearFaults()
{
    for (int& at : faultAt_) at = 0;
}

Object* TestJni::object(jobject reference, const char* function)
{
    if (!reference) {
        violation(std::string(function) + " with a null reference");
        return nullptr;
    }
    Object* o = reinterpret_cast<Object*>(reference);
    if (owned_.count(o)) return o;
    violation(std::string(function) + " with a reference the JVM did not make");
    return nullptr;
}

Object* TestJni::allocate()
{
    heap_.push_back(std::make_unique<Object>());
    owned_.insert(heap_.back().get());
    return heap_.back().get();
}

Object* TestJni::newObject(const std::string& className)
{
    Object* o = allocate();
    o->kind = Object::Kind::Plain;
    o->cls = findClassObject(className);
    return o;
}

Object* TestJni::findClassObject(const std::string& name)
{
    auto found = classes_.find(name);
    return found == classes_.end() ? nullptr : found->second;
}

void TestJni::throwNew(const std::string& className, const char* message)
{
    Object* throwable = newObject(className);
    throwable->kind = Object::Kind::Throwable;
    throwable->messageIsNull = message == nullptr;
    if (message) throwable->message = message;  // ThrowNew copies the message
    pending_ = throwable;
}

jstring TestJni::string(const std::u16string& text)
{
    Object* o = newObject("java/lang/String");
    o->kind = Object::Kind::String;
    o->text = text;
    return reinterpret_cast<jstring>(o);
}

jstring TestJni::string(const std::string& utf8)
{
    // Standard UTF-8 to UTF-16.
    std::u16string text;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = utf8[i];
        char32_t code;
        int extra;
        if (c < 0x80) { code = c; extra = 0; }
        else if ((c & 0xE0) == 0xC0) { code = c & 0x1F; extra = 1; }
        else if ((c & 0xF0) == 0xE0) { code = c & 0x0F; extra = 2; }
        else { code = c & 0x07; extra = 3; }
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k) code = (code << 6) | (utf8[i + k] & 0x3F);
        i += 1 + extra;
        if (code >= 0x10000) {
            code -= 0x10000;
            text += static_cast<char16_t>(0xD800 + (code >> 10));
            text += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            text += static_cast<char16_t>(code);
        }
    }
    return string(text);
}

jbyteArray TestJni::bytes(const std::vector<uint8_t>& data)
{
    Object* o = newObject("[B");
    o->kind = Object::Kind::ByteArray;
    o->array.assign(data.begin(), data.end());
    return reinterpret_cast<jbyteArray>(o);
}

jbyteArray TestJni::bytes(size_t size, uint8_t fill)
{
    return bytes(std::vector<uint8_t>(size, fill));
}

jobject TestJni::integer(jint value)
{
    Object* o = newObject("java/lang/Integer");
    o->kind = Object::Kind::Integer;
    o->value = value;
    return reinterpret_cast<jobject>(o);
}

void TestJni::setElement(jbyteArray array, size_t index, jbyte value)
{
    ArrayGuard guard;
    reinterpret_cast<Object*>(array)->array.at(index) = value;
}

jbyte TestJni::element(jbyteArray array, size_t index)
{
    ArrayGuard guard;
    return reinterpret_cast<Object*>(array)->array.at(index);
}

jobject TestJni::plainObject()
{
    return reinterpret_cast<jobject>(newObject("java/lang/Object"));
}

bool TestJni::isString(jobject o) const { return o && reinterpret_cast<Object*>(o)->kind == Object::Kind::String; }
bool TestJni::isByteArray(jobject o) const { return o && reinterpret_cast<Object*>(o)->kind == Object::Kind::ByteArray; }
bool TestJni::isInteger(jobject o) const { return o && reinterpret_cast<Object*>(o)->kind == Object::Kind::Integer; }

std::u16string TestJni::utf16(jobject string) const
{
    return isString(string) ? reinterpret_cast<Object*>(string)->text : std::u16string();
}

std::string TestJni::utf8Bytes(jobject string) const
{
    if (!isString(string)) return std::string();
    Object* o = reinterpret_cast<Object*>(string);
    return o->hasRawBytes ? o->rawBytes : toModifiedUtf8(o->text);
}

std::vector<uint8_t> TestJni::arrayBytes(jobject array) const
{
    if (!isByteArray(array)) return {};
    const auto& a = reinterpret_cast<Object*>(array)->array;
    return std::vector<uint8_t>(a.begin(), a.end());
}

jint TestJni::integerValue(jobject integer) const
{
    return isInteger(integer) ? reinterpret_cast<Object*>(integer)->value : 0;
}

std::string TestJni::pendingClass() const
{
    return pending_ ? pending_->cls->className : std::string();
}

std::string TestJni::pendingMessage() const
{
    return pending_ ? pending_->message : std::string();
}

bool TestJni::pendingMessageIsNull() const
{
    return pending_ && pending_->messageIsNull;
}

void TestJni::clearException()
{
    pending_ = nullptr;
}

::testing::AssertionResult TestJni::clean() const
{
    if (violations_.empty() && outstanding() == 0) return ::testing::AssertionSuccess();
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    for (const std::string& v : violations_) result << "JNI violation: " << v << "\n";
    if (!chars_.empty()) result << chars_.size() << " string character buffer(s) not released\n";
    if (!elements_.empty()) result << elements_.size() << " array element buffer(s) not released\n";
    return result;
}

// ---- Object arrays and local references.

TestJni::NativeCall::NativeCall(TestJni& jni) : jni_(jni)
{
    if (jni_.nativeDepth_++ == 0) {
        jni_.locals_.clear();
        jni_.liveLocals_ = 0;
        jni_.capacityReported_ = false;
    }
}

TestJni::NativeCall::~NativeCall()
{
    if (--jni_.nativeDepth_ == 0) {
        jni_.locals_.clear();
        jni_.liveLocals_ = 0;
    }
}

jobject TestJni::local(Object* object)
{
    if (object && nativeDepth_ > 0) {
        ++locals_[object];
        peakLocals_ = std::max(peakLocals_, ++liveLocals_);
        if (liveLocals_ > localCapacity && !capacityReported_) {
            capacityReported_ = true;
            violation("more than " + std::to_string(localCapacity) +
                      " local references live at once, without EnsureLocalCapacity");
        }
    }
    return reinterpret_cast<jobject>(object);
}

void TestJni::deleteLocal(Object* object)
{
    // A reference not counted here is an argument or one from before the call: JNI lets a native delete those too.
    auto found = locals_.find(object);
    if (found == locals_.end()) return;
    if (--found->second == 0) locals_.erase(found);
    --liveLocals_;
}

Object* TestJni::classNamed(const std::string& name)
{
    if (Object* cls = findClassObject(name)) return cls;
    Object* cls = allocate();
    cls->kind = Object::Kind::Class;
    cls->className = name;
    classes_[name] = cls;
    return cls;
}

jobjectArray TestJni::objectArray(const std::vector<jobject>& elements, const std::string& elementClass)
{
    std::string arrayClass = "[L" + elementClass + ";";
    classNamed(elementClass);
    classNamed(arrayClass);
    Object* array = newObject(arrayClass);
    array->kind = Object::Kind::ObjectArray;
    array->elementClass = elementClass;
    for (jobject element : elements) array->elements.push_back(reinterpret_cast<Object*>(element));
    return reinterpret_cast<jobjectArray>(array);
}

bool TestJni::isObjectArray(jobject o) const
{
    return o && reinterpret_cast<Object*>(o)->kind == Object::Kind::ObjectArray;
}

std::vector<jobject> TestJni::arrayElements(jobject array) const
{
    std::vector<jobject> out;
    if (!isObjectArray(array)) return out;
    for (Object* element : reinterpret_cast<Object*>(array)->elements) out.push_back(reinterpret_cast<jobject>(element));
    return out;
}

// ---- End of object arrays and local references.

bool isModifiedUtf8(const char* bytes)
{
    auto b = reinterpret_cast<const unsigned char*>(bytes);
    auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    for (size_t i = 0; b[i];) {
        unsigned char c = b[i];
        if (c < 0x80) {
            i += 1;
        } else if ((c & 0xE0) == 0xC0) {
            if (!continuation(b[i + 1])) return false;
            unsigned code = ((c & 0x1Fu) << 6) | (b[i + 1] & 0x3Fu);
            if (code != 0 && code < 0x80) return false;
            i += 2;
        } else if ((c & 0xF0) == 0xE0) {
            if (!continuation(b[i + 1]) || !continuation(b[i + 2])) return false;
            unsigned code = ((c & 0x0Fu) << 12) | ((b[i + 1] & 0x3Fu) << 6) | (b[i + 2] & 0x3Fu);
            if (code < 0x800) return false;
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

std::string toModifiedUtf8(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) {
        if (c != 0 && c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string fromModifiedUtf8(const std::string& bytes)
{
    // Malformed sequences (ANSI text above 0x7F) decode byte by byte as Latin-1.
    std::u16string text;
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = bytes[i];
        auto continuation = [&](size_t k) { return i + k < bytes.size() && (bytes[i + k] & 0xC0) == 0x80; };
        if (c < 0x80) {
            text += c;
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && continuation(1)) {
            text += static_cast<char16_t>(((c & 0x1F) << 6) | (bytes[i + 1] & 0x3F));
            i += 2;
        } else if ((c & 0xF0) == 0xE0 && continuation(1) && continuation(2)) {
            text += static_cast<char16_t>(((c & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) | (bytes[i + 2] & 0x3F));
            i += 3;
        } else {
            text += c;
            i += 1;
        }
    }
    return text;
}

}  // namespace testjni
