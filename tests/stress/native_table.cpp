#include "native_table.h"

#include <algorithm>
#include <type_traits>

namespace stress {

using testjni::Native;

Expect equals(long long value)
{
    return {[value](const Outcome& o) { return o.kind != Ret::Ref && o.kind != Ret::Void && o.value == value; },
            std::to_string(value)};
}

Expect isNullRef()
{
    return {[](const Outcome& o) { return o.kind == Ret::Ref && o.ref == nullptr; }, "null"};
}

Expect isNonZero()
{
    return {[](const Outcome& o) { return o.kind != Ret::Void && o.kind != Ret::Ref && o.value != 0; }, "non-zero"};
}

Expect isVoid()
{
    return {[](const Outcome& o) { return o.kind == Ret::Void; }, "nothing"};
}

Expect oneOf(std::vector<long long> values)
{
    std::string what;
    for (long long v : values) what += (what.empty() ? "" : " or ") + std::to_string(v);
    return {[values](const Outcome& o) {
                return o.kind != Ret::Ref && std::find(values.begin(), values.end(), o.value) != values.end();
            },
            what};
}

std::string describe(const Outcome& outcome)
{
    switch (outcome.kind) {
    case Ret::Void: return "nothing";
    case Ret::Ref: return outcome.ref ? "an object" : "null";
    default: return std::to_string(outcome.value);
    }
}

namespace {

template <typename T>
T as(const Arg& arg)
{
    if constexpr (std::is_same_v<T, jint>) return arg.i;
    else if constexpr (std::is_same_v<T, jlong>) return static_cast<jlong>(arg.i);
    else if constexpr (std::is_same_v<T, jboolean>) return static_cast<jboolean>(arg.i);
    else return static_cast<T>(arg.ref);
}

template <typename R>
Outcome outcomeOf(R result)
{
    if constexpr (std::is_same_v<R, jboolean>) return {Ret::Boolean, result, nullptr};
    else if constexpr (std::is_same_v<R, jint>) return {Ret::Int, result, nullptr};
    else if constexpr (std::is_same_v<R, jlong>) return {Ret::Long, result, nullptr};
    else return {Ret::Ref, 0, result};
}

template <typename R, typename... A, size_t... I>
Outcome invoke(const Native<R(A...)>& native, TestJni& jni, const std::vector<Arg>& args, std::index_sequence<I...>)
{
    if constexpr (std::is_void_v<R>) {
        native(jni, as<A>(args[I])...);
        return {};
    } else {
        return outcomeOf(native(jni, as<A>(args[I])...));
    }
}

template <typename R>
constexpr Ret retOf()
{
    if constexpr (std::is_void_v<R>) return Ret::Void;
    else if constexpr (std::is_same_v<R, jboolean>) return Ret::Boolean;
    else if constexpr (std::is_same_v<R, jint>) return Ret::Int;
    else if constexpr (std::is_same_v<R, jlong>) return Ret::Long;
    else return Ret::Ref;
}

template <typename R, typename... A>
Entry make(const std::string& name, std::vector<Role> roles, std::vector<Expect> nullResult = {},
           Expect faultResult = {})
{
    const char* package = name.rfind("WinPipe_", 0) == 0 ? testjni::pipePackage : testjni::win32Package;
    auto native = std::make_shared<Native<R(A...)>>(package + name);
    Entry e;
    e.name = name;
    e.roles = std::move(roles);
    e.ret = retOf<R>();
    e.resolved = native->resolved();
    e.call = [native](TestJni& jni, const std::vector<Arg>& args) {
        return invoke(*native, jni, args, std::index_sequence_for<A...>{});
    };
    e.throwsRegistryException = name.rfind("Registry_", 0) == 0;
    e.nullResult = std::move(nullResult);
    e.nullResult.resize(e.roles.size());
    e.faultResult = std::move(faultResult);
    return e;
}

std::vector<Entry> buildTable()
{
    using R = Role;
    const Expect none;
    std::vector<Entry> t;
    // Registry: a null path or value name gives the neutral result at once.
    t.push_back(make<jboolean, jint, jstring>("Registry_keyExists", {R::Root, R::SubKey}, {none, equals(0)}, equals(0)));
    t.push_back(make<jint, jint, jstring>("Registry_keyCreate", {R::Root, R::SubKey}, {none, equals(-1)}, equals(-1)));
    t.push_back(make<jint, jint, jstring, jboolean>("Registry_keyDelete", {R::Root, R::SubKey, R::Flag},
                                                    {none, equals(-1)}, equals(-1)));
    t.push_back(make<jboolean, jint, jstring>("Registry_keyHasSubKeys", {R::Root, R::SubKey}, {none, equals(0)},
                                              equals(0)));
    t.push_back(make<jboolean, jint, jstring>("Registry_keyHasValues", {R::Root, R::SubKey}, {none, equals(0)},
                                              equals(0)));
    t.push_back(make<jboolean, jint, jstring, jstring>("Registry_keyHasValue", {R::Root, R::SubKey, R::ValueName},
                                                       {none, equals(0), equals(0)}, equals(0)));
    t.push_back(make<void, jint, jstring, jstring, jboolean>("Registry_keyDeleteValue",
                                                             {R::Root, R::SubKey, R::ValueName, R::Flag},
                                                             {none, isVoid(), isVoid()}, isVoid()));
    t.push_back(make<jint>("Registry_broadcastUpdate", {}));
    t.push_back(make<jint, jint, jstring, jstring>("Registry_keyGetValueType", {R::Root, R::SubKey, R::ValueName},
                                                   {none, equals(-1), equals(-1)}, oneOf({-1, 0})));
    t.push_back(make<jobject, jint, jstring, jstring>("Registry_keyGetValue", {R::Root, R::SubKey, R::ValueName},
                                                      {none, isNullRef(), isNullRef()}, isNullRef()));
    t.push_back(make<void, jint, jstring, jstring, jint, jobject, jboolean>(
        "Registry_keySetValue", {R::Root, R::SubKey, R::ValueName, R::Type, R::Value, R::Flag},
        {none, isVoid(), isVoid()}, isVoid()));
    t.push_back(make<jobjectArray, jint, jstring>("Registry_keyGetSubKeys", {R::Root, R::SubKey}, {none, isNullRef()},
                                                  isNullRef()));
    t.push_back(make<jobjectArray, jint, jstring>("Registry_keyGetValueNames", {R::Root, R::SubKey},
                                                  {none, isNullRef()}, isNullRef()));
    t.push_back(make<jlong, jint, jstring, jstring>("Registry_keyGetLong", {R::Root, R::SubKey, R::ValueName},
                                                    {none, equals(0), equals(0)}, equals(0)));
    t.push_back(make<void, jint, jstring, jstring, jlong, jboolean>(
        "Registry_keySetLong", {R::Root, R::SubKey, R::ValueName, R::Int, R::Flag}, {none, isVoid(), isVoid()}, isVoid()));
    t.push_back(make<jobjectArray, jint, jstring, jstring>("Registry_keyGetStrings", {R::Root, R::SubKey, R::ValueName},
                                                           {none, isNullRef(), isNullRef()}, isNullRef()));
    // A null array is refused with "Incompatible data types", as keySetValue refuses a null value.
    t.push_back(make<void, jint, jstring, jstring, jobjectArray, jboolean>(
        "Registry_keySetStrings", {R::Root, R::SubKey, R::ValueName, R::Strings, R::Flag}, {none, isVoid(), isVoid()},
        isVoid()));
    // The watch: a null path gives 0 at once, as does a key that is not opened.
    t.push_back(make<jint>("Registry_watchEvent", {}));
    t.push_back(make<jint, jint, jstring, jboolean, jint>("Registry_watchOpen", {R::Root, R::SubKey, R::Flag, R::Handle},
                                                          {none, equals(0)}, equals(0)));
    t.push_back(make<jint, jint, jint, jboolean, jint>("Registry_watchAwait", {R::Handle, R::Handle, R::Flag, R::Millis}));
    t.push_back(make<void, jint>("Registry_watchWake", {R::Handle}));
    t.push_back(make<void, jint, jint>("Registry_watchClose", {R::Handle, R::Handle}));
    // WinPipe: a null name fails like a name without characters; a null array touches nothing.
    t.push_back(make<jint, jstring, jint, jint, jint, jint, jint>(
        "WinPipe_createNamedPipe", {R::PipeName, R::Int, R::Int, R::Int, R::Int, R::Int}, {equals(-1)}, equals(-1)));
    t.push_back(make<jint, jint>("WinPipe_connectNamedPipe", {R::Handle}));
    t.push_back(make<jint, jstring, jint>("WinPipe_createFile", {R::PipeName, R::Int}, {equals(-1)}, equals(-1)));
    t.push_back(make<jint, jint, jbyteArray, jint>("WinPipe_read", {R::Handle, R::Bytes, R::Length},
                                                   {none, equals(-1)}, equals(-1)));
    t.push_back(make<jint, jint, jbyteArray, jint>("WinPipe_write", {R::Handle, R::Bytes, R::Length},
                                                   {none, equals(0)}, equals(0)));
    t.push_back(make<jint, jint>("WinPipe_flushFileBuffers", {R::Handle}));
    t.push_back(make<jint, jint>("WinPipe_disconnect", {R::Handle}));
    t.push_back(make<jint, jint>("WinPipe_closeHandle", {R::Handle}));
    t.push_back(make<jboolean, jstring, jint>("WinPipe_waitForPipe", {R::PipeName, R::Int}, {equals(0)}, equals(0)));
    t.push_back(make<jint, jint, jbyteArray, jint, jint>("WinPipe_readTimed", {R::Handle, R::Bytes, R::Length, R::Int},
                                                         {none, equals(-1)}, equals(-1)));
    t.push_back(make<jint, jint, jint>("WinPipe_connectNamedPipeTimed", {R::Handle, R::Int}));
    t.push_back(make<jint, jint>("WinPipe_available", {R::Handle}));
    t.push_back(make<jboolean, jint>("WinPipe_cancel", {R::Handle}));
    t.push_back(make<jint, jstring, jint, jint, jint, jint, jint, jint>(
        "WinPipe_createNamedPipeWithAccess", {R::PipeName, R::Int, R::Int, R::Int, R::Int, R::Int, R::Int},
        {equals(-1)}, equals(-1)));
    t.push_back(make<jint, jint>("WinPipe_clientProcessId", {R::Handle}));
    t.push_back(make<jint, jint>("WinPipe_serverProcessId", {R::Handle}));
    // Session facts and the environment.
    t.push_back(make<jboolean>("TerminalServer_isTerminalServer", {}));
    t.push_back(make<jstring>("TerminalServer_getClientName", {}, {}, isNullRef()));
    t.push_back(make<jlong>("TerminalServer_getSessionId", {}));
    t.push_back(make<jstring, jstring>("Environment_getEnvironmentVariable", {R::Text}, {isNullRef()}, isNullRef()));
    // Windows: a null window name gives -1, a null class name 0.
    t.push_back(make<jint, jstring, jstring, jint, jint, jint, jint, jint, jint>(
        "Window_createWindow", {R::Text, R::Text, R::Int, R::Int, R::Int, R::Int, R::Int, R::Int},
        {equals(-1), equals(0)}, oneOf({-1, 0})));
    t.push_back(make<jboolean, jint, jint>("Window_showWindow", {R::Window, R::Int}));
    t.push_back(make<void, jint>("Window_destroyWindow", {R::Window}));
    // Shortcuts: a null target or shortcut path is ERROR_INVALID_PARAMETER.
    t.push_back(make<jint, jstring, jstring, jstring, jstring, jstring, jint>(
        "Win32File_winCreateShortcut", {R::Path, R::Text, R::Path, R::Text, R::Text, R::Int},
        {equals(87), none, equals(87)}, isNonZero()));
    return t;
}

}  // namespace

const std::vector<Entry>& nativeTable()
{
    static const std::vector<Entry> table = buildTable();
    return table;
}

const Entry& entry(const std::string& name)
{
    for (const Entry& e : nativeTable())
        if (e.name == name) return e;
    static Entry missing;
    return missing;
}

}  // namespace stress
