// The session subsystem: getEnvironmentVariable.
#include "direct.h"
#include "sections.h"

using namespace testjni;

namespace bench {

std::vector<Case> sessionCases(Natives& N)
{
    std::vector<Case> cases;

    // ---- getEnvironmentVariable
    {
        auto prepare = [](TestJni& jni) { return jni.string(environmentName); };
        auto ok = [](TestJni&, jstring value) { return value != nullptr; };
        cases.push_back({"getEnvironmentVariable (31-character value)", 0, N.getEnvironmentVariable.resolved(),
                         [&N] {
                             TestJni jni;
                             jstring value = N.getEnvironmentVariable(jni, jni.string(environmentName));
                             if (!value || jni.utf8Bytes(value) != text31) return std::string("wrong value");
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         [=, &N](int n) {
                             return jniBatch(n, prepare,
                                             [&N](TestJni& jni, jstring name) { return N.getEnvironmentVariable(jni, name); },
                                             ok);
                         },
                         [=](int n) {
                             return jniBatch(n, prepare,
                                             [](TestJni& jni, jstring name) {
                                                 return direct::getEnvironmentVariable(jni.env(), jni.receiver(), name);
                                             },
                                             ok);
                         },
                         [](int n) {
                             return plainBatch(n, [] {
                                 char value[4096];
                                 return GetEnvironmentVariableA(environmentName, value, sizeof value) == 31;
                             });
                         }});
    }
    return cases;
}

void sessionAllocations(const AllocationRow& row, Natives& N)
{
    const int calls = 1000;
    row("getEnvironmentVariable", N.getEnvironmentVariable.resolved(), calls, [&] {
        TestJni jni;
        jstring name = jni.string(environmentName);
        bool ok = true;
        for (int i = 0; i < calls; ++i) ok = N.getEnvironmentVariable(jni, name) != nullptr && ok;
        return ok;
    }, true);
}

}  // namespace bench
