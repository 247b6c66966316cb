// WinPipe: server and client ends of message-mode named pipes, called through
// the exported natives on threads of the test, each thread with its own JNI
// environment. Effects are checked with direct Windows calls where they can be.
#include "binding.h"
#include "iat_hook.h"
#include "natives.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace testjni;

namespace {

struct WinPipeNatives {
    static std::string name(const char* method) { return std::string(pipePackage) + "WinPipe_" + method; }
    Native<jint(jstring, jint, jint, jint, jint, jint)> createNamedPipe{name("createNamedPipe")};
    Native<jint(jint)> connectNamedPipe{name("connectNamedPipe")};
    Native<jint(jstring, jint)> createFile{name("createFile")};
    Native<jint(jint, jbyteArray, jint)> read{name("read")};
    Native<jint(jint, jbyteArray, jint)> write{name("write")};
    Native<jint(jint)> flushFileBuffers{name("flushFileBuffers")};
    Native<jint(jint)> disconnect{name("disconnect")};
    Native<jint(jint)> closeHandle{name("closeHandle")};
    Native<jboolean(jstring, jint)> waitForPipe{name("waitForPipe")};
    Native<jint(jint, jbyteArray, jint, jint)> readTimed{name("readTimed")};
    Native<jint(jint, jint)> connectNamedPipeTimed{name("connectNamedPipeTimed")};
    Native<jint(jint)> available{name("available")};
    Native<jboolean(jint)> cancel{name("cancel")};
    Native<jint(jstring, jint, jint, jint, jint, jint, jint)> createNamedPipeWithAccess{name("createNamedPipeWithAccess")};
    Native<jint(jint)> clientProcessId{name("clientProcessId")};
    Native<jint(jint)> serverProcessId{name("serverProcessId")};
};

const WinPipeNatives& winPipe()
{
    static const WinPipeNatives natives;
    return natives;
}

constexpr jint readWrite = static_cast<jint>(GENERIC_READ | GENERIC_WRITE);
constexpr jint readOnly = static_cast<jint>(GENERIC_READ);
constexpr jint maxMessage = 65536;
constexpr jbyte sentinel = static_cast<jbyte>(0xA5);

// A pipe name no other test (or test process) uses.
std::string uniqueName()
{
    static LONG counter = 0;
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : test) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '-';
    }
    return "\\\\.\\pipe\\zarn-" + std::to_string(GetCurrentProcessId()) + "-" + test + "-" +
           std::to_string(InterlockedIncrement(&counter));
}

jint createServer(TestJni& jni, const std::string& name, jint maxInstances = 1, jint timeOut = 0)
{
    return winPipe().createNamedPipe(jni, jni.string(name), PIPE_ACCESS_DUPLEX, maxInstances, maxMessage, maxMessage,
                                     timeOut);
}

jint openClient(TestJni& jni, const std::string& name, jint access = readWrite)
{
    return winPipe().createFile(jni, jni.string(name), access);
}

HANDLE asHandle(jint handle) { return handleFromJint<HANDLE>(handle); }

// The fake JVM's storage of an array: what a Java program sees in its byte[].
std::vector<jbyte>& storage(jbyteArray array) { return reinterpret_cast<Object*>(array)->array; }

// Deterministic content for message number seed: xorshift words.
void fillPattern(jbyte* out, size_t size, uint32_t seed)
{
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    if (x == 0) x = 1;
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        memcpy(out + i, &x, 4);
    }
    x = ~x;
    for (unsigned shift = 0; i < size; ++i, shift += 8) out[i] = static_cast<jbyte>(x >> shift);
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    fillPattern(reinterpret_cast<jbyte*>(bytes.data()), size, seed);
    return bytes;
}

DWORD bytesWaiting(HANDLE pipe)
{
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return 0xFFFFFFFF;
    return available;
}

bool writeDirect(HANDLE pipe, const std::string& message)
{
    DWORD written = 0;
    return WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
           written == message.size();
}

std::string readDirect(HANDLE pipe)
{
    char buffer[256];
    DWORD count = 0;
    if (!ReadFile(pipe, buffer, sizeof buffer, &count, nullptr)) return "<ReadFile failed " + std::to_string(GetLastError()) + ">";
    return std::string(buffer, count);
}

DWORD readMode(HANDLE pipe)
{
    DWORD state = 0xFFFFFFFF;
    GetNamedPipeHandleState(pipe, &state, nullptr, nullptr, nullptr, nullptr, 0);
    return state;
}

bool runningOnWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

struct OwnedHandle {
    HANDLE handle;
    explicit OwnedHandle(HANDLE h = INVALID_HANDLE_VALUE) : handle(h) {}
    ~OwnedHandle()
    {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
};

// A connected pair made with direct Windows calls, both ends in message read
// mode, and a spare free instance of the same name.
struct DirectPair {
    std::string name;
    OwnedHandle server;
    OwnedHandle spare;
    OwnedHandle client;
    explicit DirectPair(std::string pipeName)
        : name(std::move(pipeName)),
          server(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 2,
                                  maxMessage, maxMessage, 0, nullptr)),
          spare(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 2,
                                 maxMessage, maxMessage, 0, nullptr)),
          client(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr))
    {
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (client.handle != INVALID_HANDLE_VALUE) SetNamedPipeHandleState(client.handle, &mode, nullptr, nullptr);
    }
    bool ready() const
    {
        return server.handle != INVALID_HANDLE_VALUE && spare.handle != INVALID_HANDLE_VALUE &&
               client.handle != INVALID_HANDLE_VALUE;
    }
    jint serverEnd() const { return handleToJint(server.handle); }
    jint clientEnd() const { return handleToJint(client.handle); }
};

// Run as "pipe_test.exe --squat <name>", the test program is another process that makes
// the pipe first, with a null DACL that lets every account join it, and holds it until ended.
struct Squatter {
    Squatter()
    {
        const wchar_t* flag = wcsstr(GetCommandLineW(), L" --squat ");
        if (!flag) return;
        SECURITY_ATTRIBUTES open = {sizeof open, nullptr, FALSE};
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:NO_ACCESS_CONTROL", SDDL_REVISION_1,
                                                             &open.lpSecurityDescriptor, nullptr);
        CreateNamedPipeW(flag + 9, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 512, 512, 0, &open);
        Sleep(60000);
        ExitProcess(0);
    }
} squatter;

// The pipe's owner and DACL as SDDL, and what an owner-only pipe of the token's user holds.
std::pair<std::string, std::string> ownerAndDacl(HANDLE pipe)
{
    alignas(8) BYTE token[256];
    DWORD size = 0;
    HANDLE process = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &process);
    GetTokenInformation(process, TokenUser, token, sizeof token, &size);
    CloseHandle(process);
    char *user = nullptr, *text = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(token)->User.Sid, &user);
    if (!GetSecurityInfo(pipe, SE_KERNEL_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &descriptor))
        ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, parts, &text, nullptr);
    std::pair<std::string, std::string> both(text ? text : "none", "O:" + std::string(user) + "D:P(A;;FA;;;" + user + ")");
    LocalFree(user), LocalFree(text), LocalFree(descriptor);
    return both;
}

// The open and pipe modes of the library's last CreateNamedPipeA or CreateNamedPipeW. Wine 8 ignores
// FILE_FLAG_FIRST_PIPE_INSTANCE; the watch fails the call as Windows does, with ERROR_ACCESS_DENIED, when the name exists.
DWORD seenOpenMode = 0, seenPipeMode = 0;
template <typename Char>
HANDLE WINAPI watchCreateNamedPipe(const Char* name, DWORD openMode, DWORD pipeMode, DWORD instances, DWORD out,
                                   DWORD in, DWORD timeOut, SECURITY_ATTRIBUTES* security)
{
    seenOpenMode = openMode, seenPipeMode = pipeMode;
    bool exists = sizeof(Char) == 1 ? WaitNamedPipeA(reinterpret_cast<const char*>(name), 1)
                                    : WaitNamedPipeW(reinterpret_cast<const WCHAR*>(name), 1);
    if ((openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) && (exists || GetLastError() != ERROR_FILE_NOT_FOUND)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if constexpr (sizeof(Char) == 1)
        return CreateNamedPipeA(name, openMode, pipeMode, instances, out, in, timeOut, security);
    else
        return CreateNamedPipeW(name, openMode, pipeMode, instances, out, in, timeOut, security);
}

class WinPipeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(library(), nullptr);
        ASSERT_TRUE(winPipe().closeHandle.resolved());
        name = uniqueName();
        handlesBefore_ = processHandleCount();
    }

    void TearDown() override
    {
        EXPECT_EQ(processHandleCount(), handlesBefore_) << "the test left handles open";
        EXPECT_TRUE(jni.clean());
    }

    TestJni jni;
    std::string name;

private:
    DWORD handlesBefore_ = 0;
};

// ---- Creation and opening.

TEST_F(WinPipeTest, ServerIsAMessagePipeAndClientReadsInMessageMode)
{
    jint server = createServer(jni, name, 3);
    ASSERT_NE(server, -1);
    DWORD flags = 0, outSize = 0, inSize = 0, instances = 0;
    ASSERT_TRUE(GetNamedPipeInfo(asHandle(server), &flags, &outSize, &inSize, &instances)) << GetLastError();
    EXPECT_EQ(flags, static_cast<DWORD>(PIPE_SERVER_END | PIPE_TYPE_MESSAGE));
    EXPECT_EQ(instances, 3u);
    EXPECT_EQ(readMode(asHandle(server)), static_cast<DWORD>(PIPE_READMODE_MESSAGE | PIPE_WAIT));

    jint client = openClient(jni, name);
    ASSERT_GE(client, 0);
    EXPECT_EQ(readMode(asHandle(client)), static_cast<DWORD>(PIPE_READMODE_MESSAGE | PIPE_WAIT));
    // The returned jint is the handle itself: Windows accepts it directly.
    ASSERT_TRUE(writeDirect(asHandle(client), "direct"));
    EXPECT_EQ(readDirect(asHandle(server)), "direct");

    EXPECT_EQ(jni.calls("GetStringUTFChars"), 2);
    EXPECT_EQ(jni.calls("ReleaseStringUTFChars"), 2);
    EXPECT_EQ(winPipe().closeHandle(jni, client), 1);
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
}

TEST_F(WinPipeTest, NamesReachWindowsAsTheirModifiedUtf8Bytes)
{
    // "é" and "€" cross as the bytes C3 A9 and E2 82 AC, with no code-page conversion.
    std::string bytesName = name + "-\xC3\xA9\xE2\x82\xAC";
    jint server = winPipe().createNamedPipe(jni, jni.string(bytesName), PIPE_ACCESS_DUPLEX, 1, 512, 512, 0);
    ASSERT_NE(server, -1);
    OwnedHandle direct(CreateFileA(bytesName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_NE(direct.handle, INVALID_HANDLE_VALUE) << "no pipe under the UTF-8 bytes of the name";
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
}

// Run in both text modes (pipe_unicode runs it in unicode mode): a pipe that
// Java made is reached by a program that opens it with the W functions under
// the name Java gave, and one that such a program made is reached from Java,
// exactly in unicode mode and for ASCII names in ansi mode.
TEST_F(WinPipeTest, NamesMeetWideProgramsInEitherTextMode)
{
    const WinPipeNatives& p = winPipe();
    const std::u16string base(name.begin(), name.end());
    auto openWide = [](const std::u16string& pipeName) {
        return OwnedHandle(CreateFileW(wide(pipeName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       0, nullptr));
    };
    for (const TextSample& sample : textSamples()) {
        SCOPED_TRACE(sample.label);
        const std::u16string javaName = base + u"-j-" + sample.text.substr(0, 60);
        jint server = p.createNamedPipe(jni, jni.string(javaName), PIPE_ACCESS_DUPLEX, 1, 512, 512, 0);
        ASSERT_NE(server, -1);
        EXPECT_NE(openWide(seenByWideProgram(javaName)).handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(p.closeHandle(jni, server), 1);

        const std::u16string wideName = base + u"-w-" + sample.text.substr(0, 60);
        OwnedHandle wideServer(CreateNamedPipeW(wide(wideName).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 512,
                                                512, 0, nullptr));
        ASSERT_NE(wideServer.handle, INVALID_HANDLE_VALUE);
        const bool reached = seenByWideProgram(wideName) == wideName;
        EXPECT_EQ(p.waitForPipe(jni, jni.string(wideName), 100), reached ? JNI_TRUE : JNI_FALSE);
        jint client = p.createFile(jni, jni.string(wideName), readWrite);
        EXPECT_EQ(client != -1, reached);
        if (client != -1) {
            EXPECT_EQ(p.closeHandle(jni, client), 1);
        }
    }

    // Cut at U+0000 each name would be that of an existing pipe, or make one.
    const std::u16string cut = base + u"-cut";
    OwnedHandle existing(CreateNamedPipeW(wide(cut).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 2, 512, 512, 0, nullptr));
    ASSERT_NE(existing.handle, INVALID_HANDLE_VALUE);
    const std::u16string cutName = cut + std::u16string(u"\0x", 2);
    EXPECT_EQ(p.createFile(jni, jni.string(cutName), readWrite), -1);
    EXPECT_EQ(p.waitForPipe(jni, jni.string(cutName), 100), JNI_FALSE);
    const std::u16string fresh = base + u"-fresh";
    jint made = p.createNamedPipe(jni, jni.string(fresh + std::u16string(u"\0x", 2)), PIPE_ACCESS_DUPLEX, 1, 512, 512, 0);
    EXPECT_EQ(made == -1, unicodeMode());
    if (made != -1) {
        EXPECT_EQ(p.closeHandle(jni, made), 1);
    }
    EXPECT_EQ(openWide(fresh).handle, INVALID_HANDLE_VALUE) << "a pipe under the shortened name";
}

TEST_F(WinPipeTest, CreateNamedPipeBeyondMaxInstancesFails)
{
    for (jint maxInstances : {1, 2, 4}) {
        SCOPED_TRACE(maxInstances);
        std::string pipeName = uniqueName();
        std::vector<jint> instances;
        for (jint i = 0; i < maxInstances; ++i) instances.push_back(createServer(jni, pipeName, maxInstances));
        for (jint instance : instances) EXPECT_NE(instance, -1);
        EXPECT_EQ(createServer(jni, pipeName, maxInstances), -1);
        // Closing one instance makes room for one more.
        EXPECT_EQ(winPipe().closeHandle(jni, instances.back()), 1);
        instances.back() = createServer(jni, pipeName, maxInstances);
        EXPECT_NE(instances.back(), -1);
        for (jint instance : instances) EXPECT_EQ(winPipe().closeHandle(jni, instance), 1);
    }
}

TEST_F(WinPipeTest, CreateFileOnMissingOrBusyPipeFails)
{
    EXPECT_EQ(openClient(jni, name), -1) << "no pipe of that name";

    jint server = createServer(jni, name, 1);
    ASSERT_NE(server, -1);
    EXPECT_EQ(winPipe().waitForPipe(jni, jni.string(name), 1000), JNI_TRUE) << "the one instance is free";
    jint first = openClient(jni, name);
    ASSERT_GE(first, 0);
    EXPECT_EQ(openClient(jni, name), -1) << "the one instance is busy";
    DWORD start = GetTickCount();
    EXPECT_EQ(winPipe().waitForPipe(jni, jni.string(name), 300), JNI_FALSE) << "no instance becomes free";
    EXPECT_GE(GetTickCount() - start, 250u) << "waitForPipe returned before its time-out";
    EXPECT_EQ(winPipe().closeHandle(jni, first), 1);
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
}

TEST_F(WinPipeTest, WaitForPipeOnMissingNameFailsAtOnceWhateverTheTimeOut)
{
    for (jint timeOut : {0, 1, 5000, 20000, -1}) {
        SCOPED_TRACE(timeOut);
        DWORD start = GetTickCount();
        EXPECT_EQ(winPipe().waitForPipe(jni, jni.string(name), timeOut), JNI_FALSE);
        EXPECT_LT(GetTickCount() - start, 2000u);
    }
}

TEST_F(WinPipeTest, ReadOnlyClientGetsItsHandleAndReads)
{
    jint server = createServer(jni, name);
    ASSERT_NE(server, -1);
    jint client = openClient(jni, name, readOnly);
    ASSERT_GE(client, 0) << "the handle is returned even though its read mode could not be switched";
    // Windows refuses the switch to message read mode for a handle without
    // write access to the pipe's attributes: the handle stays in byte mode.
    // Wine 8 grants the switch, so there the mode is not asserted.
    if (!runningOnWine()) {
        EXPECT_EQ(readMode(asHandle(client)), static_cast<DWORD>(PIPE_READMODE_BYTE | PIPE_WAIT));
    }
    ASSERT_TRUE(writeDirect(asHandle(server), "abc"));
    jbyteArray data = jni.bytes(16, 0);
    EXPECT_EQ(winPipe().read(jni, client, data, 16), 3);
    EXPECT_EQ(winPipe().closeHandle(jni, client), 1);
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
}

// ---- Message framing.

TEST_F(WinPipeTest, ReadsTakeBytesOfOneMessageOnlyAndChangeOnlyWhatTheyReturn)
{
    struct Case {
        const char* what;
        std::vector<size_t> messages;  // sizes written, in order
        jint arraySize;
        jint readLength;
        std::vector<jint> reads;  // the results of the reads, in order
        ArrayMode mode = ArrayMode::Copy;
        bool refuseElements = false;  // the first GetByteArrayElements fails, as with no memory for a copy
    };
    const Case cases[] = {
        {"10 bytes read with length 4", {10, 3}, 16, 4, {4, 4, 2, 3}},
        {"messages of exactly the length", {8, 8, 7}, 8, 8, {8, 8, 7}},
        {"empty messages", {0, 5, 0}, 16, 16, {0, 5, 0}},
        {"longest message, read in halves", {size_t(maxMessage), 1}, maxMessage, maxMessage / 2,
         {maxMessage / 2, maxMessage / 2, 1}},
        // Around 4096 bytes, where a read goes on past its first buffer.
        {"messages just past 4096 bytes", {4097, 4096, 5000}, 8192, 8192, {4097, 4096, 5000}},
        {"a long message through reads of 4100", {10000, 2}, 4100, 4100, {4100, 4100, 1800, 2}},
        {"long messages through an array beyond 64 KiB", {70000, 5000, 3}, 131072, 65537, {65537, 4463, 5000, 3}},
        // Refused elements lose nothing: a read that took nothing yet fails,
        // one that took the first 4096 bytes goes on through the stack.
        {"elements refused, copying JVM", {10000, 3}, 65536, 65536, {-1, 10000, 3}, ArrayMode::Copy, true},
        {"elements refused, pinning JVM", {10000, 3}, 65536, 65536, {-1, 10000, 3}, ArrayMode::Pinned, true},
        {"elements refused after 4096 bytes, copying JVM", {10000, 3}, 1 << 20, 1 << 20, {10000, 3}, ArrayMode::Copy,
         true},
        {"elements refused after 4096 bytes, pinning JVM", {10000, 3}, 1 << 20, 1 << 20, {10000, 3},
         ArrayMode::Pinned, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string pipeName = uniqueName();
        jint server = createServer(jni, pipeName);
        ASSERT_NE(server, -1);
        OwnedHandle closeClient(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::vector<jint> written;
        bool clientClean = false;
        TestThread client([&] {
            TestJni own;
            jint h = openClient(own, pipeName);
            if (h < 0) return;
            for (size_t k = 0; k < c.messages.size(); ++k) {
                jbyteArray data = own.bytes(pattern(c.messages[k], static_cast<uint32_t>(k + 1)));
                written.push_back(winPipe().write(own, h, data, static_cast<jint>(c.messages[k])));
            }
            WaitForSingleObject(closeClient.handle, INFINITE);
            winPipe().closeHandle(own, h);
            clientClean = own.clean();
        });
        // A failed assertion ends the case early: the client is let go first.
        ScopeExit letClientGo([&] { SetEvent(closeClient.handle); });
        ASSERT_EQ(winPipe().connectNamedPipe(jni, server), 1);

        jni.setArrayMode(c.mode);
        if (c.refuseElements) jni.failNth(Fn::GetByteArrayElements, 1);
        size_t message = 0, offset = 0;
        for (jint expected : c.reads) {
            jbyteArray data = jni.bytes(static_cast<size_t>(c.arraySize), 0xA5);
            jint n = winPipe().read(jni, server, data, c.readLength);
            ASSERT_EQ(n, expected) << "message " << message << " offset " << offset;
            if (n < 0) {
                EXPECT_EQ(jni.pendingClass(), "java/lang/OutOfMemoryError");
                jni.clearException();
                EXPECT_EQ(std::count(storage(data).begin(), storage(data).end(), sentinel), c.arraySize);
                continue;
            }
            ASSERT_LT(message, c.messages.size());
            std::vector<uint8_t> whole = pattern(c.messages[message], static_cast<uint32_t>(message + 1));
            const std::vector<jbyte>& got = storage(data);
            EXPECT_EQ(memcmp(got.data(), whole.data() + offset, static_cast<size_t>(n)), 0)
                << "wrong bytes at message " << message << " offset " << offset;
            size_t changed = 0;
            for (size_t i = static_cast<size_t>(n); i < got.size(); ++i) changed += got[i] != sentinel;
            EXPECT_EQ(changed, 0u) << "read changed bytes past its result";
            offset += static_cast<size_t>(n);
            if (n < c.readLength || offset == c.messages[message]) ++message, offset = 0;
        }
        EXPECT_EQ(message, c.messages.size());
        EXPECT_EQ(bytesWaiting(asHandle(server)), 0u) << "bytes left in the pipe";
        SetEvent(closeClient.handle);
        ASSERT_TRUE(client.join(30000));
        std::vector<jint> sizes(c.messages.begin(), c.messages.end());
        EXPECT_EQ(written, sizes) << "write returns the message's length";
        EXPECT_TRUE(clientClean);
        EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
        jni.setArrayMode(ArrayMode::Copy);
    }
}

// What another Java thread writes to the array while a transfer waits stays:
// a read changes only the bytes it returns, a write changes nothing. HotSpot
// hands out elements as a copy of the whole array, whose mode-0 release would
// undo such a change; a pinning JVM hands out the array itself.
TEST_F(WinPipeTest, ChangesOtherThreadsMakeWhileATransferWaitsSurvive)
{
    struct Case {
        const char* what;
        bool read;
        size_t arraySize;
        size_t message;
        size_t changed;  // the element another thread sets to 42 while the call waits
    };
    const Case cases[] = {
        {"read of a short message", true, 4096, 4, 500},
        {"read of a long message into a 64 KiB array", true, 65536, 10000, 60000},
        {"read of a long message into a large array", true, 1 << 20, 10000, 500000},
        {"write of a message larger than the pipe's buffer", false, 100000, 100000, 99999},
    };
    for (ArrayMode mode : {ArrayMode::Copy, ArrayMode::Pinned}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (mode == ArrayMode::Copy ? ", copying JVM" : ", pinning JVM"));
            DirectPair pair(uniqueName());
            ASSERT_TRUE(pair.ready());
            TestJni caller;
            caller.setArrayMode(mode);
            std::vector<uint8_t> message = pattern(c.message, 7);
            jbyteArray array = c.read ? caller.bytes(c.arraySize, static_cast<uint8_t>(sentinel)) : caller.bytes(message);
            jint result = -2;
            TestThread call([&] {
                result = c.read ? winPipe().read(caller, pair.serverEnd(), array, static_cast<jint>(c.arraySize))
                                : winPipe().write(caller, pair.clientEnd(), array, static_cast<jint>(c.message));
            });
            Sleep(200);  // the call waits in ReadFile or WriteFile by now
            TestJni::setElement(array, c.changed, 42);
            std::vector<char> received(c.message + 1);
            DWORD count = 0;
            if (c.read) {
                ASSERT_TRUE(writeDirect(pair.client.handle, std::string(message.begin(), message.end())));
            } else {
                ASSERT_TRUE(ReadFile(pair.server.handle, received.data(), static_cast<DWORD>(received.size()), &count,
                                     nullptr));
            }
            ASSERT_TRUE(call.join(30000));
            EXPECT_EQ(result, static_cast<jint>(c.message));
            EXPECT_EQ(TestJni::element(array, c.changed), 42) << "the other thread's change was undone";
            const std::vector<jbyte>& now = storage(array);
            if (c.read) {
                EXPECT_EQ(memcmp(now.data(), message.data(), c.message), 0);
                size_t changed = 0;
                for (size_t i = c.message; i < now.size(); ++i) changed += i != c.changed && now[i] != sentinel;
                EXPECT_EQ(changed, 0u) << "read changed bytes past its result";
            } else {
                EXPECT_EQ(count, c.message);
                EXPECT_EQ(memcmp(received.data(), message.data(), c.changed), 0) << "the message was not sent whole";
            }
            EXPECT_TRUE(caller.clean());
        }
    }
}

// The natives do blocking I/O only. A server made with FILE_FLAG_OVERLAPPED
// would let a read return -1 while Windows keeps it pending, once another
// transfer on the handle completes; the flag is dropped, so the read waits for
// its message and receives it.
TEST_F(WinPipeTest, OverlappedFlagIsDroppedSoABlockedReadWaitsForItsMessage)
{
    jint server = winPipe().createNamedPipe(jni, jni.string(name), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 1,
                                            maxMessage, maxMessage, 0);
    ASSERT_NE(server, -1);
    OwnedHandle client(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(client.handle, INVALID_HANDLE_VALUE);
    DWORD messageMode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(client.handle, &messageMode, nullptr, nullptr));
    ASSERT_EQ(winPipe().connectNamedPipe(jni, server), 1);

    TestJni readerJni, writerJni;
    jbyteArray received = readerJni.bytes(64, static_cast<uint8_t>(sentinel));
    jint got = -2, sent = -2;
    TestThread reader([&] { got = winPipe().read(readerJni, server, received, 64); });
    Sleep(200);
    // The reply on the same handle, from another thread, while the read waits.
    TestThread writer([&] { sent = winPipe().write(writerJni, server, writerJni.bytes(pattern(5, 1)), 5); });
    Sleep(200);
    ASSERT_TRUE(writeDirect(client.handle, "message"));
    EXPECT_TRUE(reader.join(30000));
    EXPECT_TRUE(writer.join(30000));
    EXPECT_EQ(got, 7) << "the read ended before its message came";
    EXPECT_EQ(std::string(storage(received).begin(), storage(received).begin() + 7), "message");
    EXPECT_EQ(sent, 5);
    std::vector<uint8_t> reply = pattern(5, 1);
    EXPECT_EQ(readDirect(client.handle), std::string(reply.begin(), reply.end()));
    EXPECT_TRUE(readerJni.clean());
    EXPECT_TRUE(writerJni.clean());
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
}

// ---- Connection.

TEST_F(WinPipeTest, ConnectReturnsOneAtOnceWhenTheClientCameFirst)
{
    jint server = createServer(jni, name);
    ASSERT_NE(server, -1);
    jint client = openClient(jni, name);
    ASSERT_GE(client, 0);
    EXPECT_EQ(winPipe().connectNamedPipe(jni, server), 1);
    ASSERT_TRUE(writeDirect(asHandle(client), "first"));
    EXPECT_EQ(readDirect(asHandle(server)), "first");
    EXPECT_EQ(winPipe().closeHandle(jni, client), 1);
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
}

TEST_F(WinPipeTest, DisconnectThenConnectServesTheNextClient)
{
    jint server = createServer(jni, name);
    ASSERT_NE(server, -1);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::string request = "request " + std::to_string(round);
        std::string reply;
        jint afterDisconnect = 0;
        bool clientClean = false;
        TestThread client([&] {
            TestJni own;
            jint h = -1;
            // The instance is free again once the server has disconnected the previous client.
            for (int attempt = 0; attempt < 100 && h < 0; ++attempt) {
                if (winPipe().waitForPipe(own, own.string(name), 5000)) h = openClient(own, name);
            }
            if (h < 0) return;
            jbyteArray out = own.bytes(std::vector<uint8_t>(request.begin(), request.end()));
            winPipe().write(own, h, out, static_cast<jint>(request.size()));
            jbyteArray in = own.bytes(64, 0);
            jint n = winPipe().read(own, h, in, 64);
            if (n > 0) reply.assign(storage(in).begin(), storage(in).begin() + n);
            // The server's disconnect ends this connection: the next read fails.
            afterDisconnect = winPipe().read(own, h, in, 64);
            winPipe().closeHandle(own, h);
            clientClean = own.clean();
        });
        ASSERT_EQ(winPipe().connectNamedPipe(jni, server), 1);
        jbyteArray in = jni.bytes(64, 0);
        jint n = winPipe().read(jni, server, in, 64);
        ASSERT_EQ(n, static_cast<jint>(request.size()));
        EXPECT_EQ(std::string(storage(in).begin(), storage(in).begin() + n), request);
        EXPECT_EQ(winPipe().write(jni, server, in, n), n);
        EXPECT_NE(winPipe().flushFileBuffers(jni, server), 0);
        EXPECT_NE(winPipe().disconnect(jni, server), 0);
        ASSERT_TRUE(client.join(30000));
        EXPECT_EQ(reply, request);
        EXPECT_EQ(afterDisconnect, -1);
        EXPECT_TRUE(clientClean);
    }
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
}

TEST_F(WinPipeTest, FlushReturnsAfterTheClientHasReadEverything)
{
    jint server = createServer(jni, name);
    ASSERT_NE(server, -1);
    std::atomic<bool> lastReadStarted{false};
    std::vector<jint> reads;
    TestThread client([&] {
        TestJni own;
        jint h = openClient(own, name);
        if (h < 0) return;
        Sleep(500);
        jbyteArray in = own.bytes(64, 0);
        for (int k = 0; k < 3; ++k) {
            if (k == 2) lastReadStarted = true;
            reads.push_back(winPipe().read(own, h, in, 64));
        }
        winPipe().closeHandle(own, h);
    });
    ASSERT_EQ(winPipe().connectNamedPipe(jni, server), 1);
    jbyteArray out = jni.bytes(10, 7);
    for (int k = 0; k < 3; ++k) ASSERT_EQ(winPipe().write(jni, server, out, 10), 10);
    DWORD start = GetTickCount();
    EXPECT_NE(winPipe().flushFileBuffers(jni, server), 0);
    EXPECT_TRUE(lastReadStarted) << "flushFileBuffers returned before the client read the last message";
    EXPECT_GE(GetTickCount() - start, 300u);
    ASSERT_TRUE(client.join(30000));
    EXPECT_EQ(reads, (std::vector<jint>{10, 10, 10}));
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
}

// ---- Stopping a server.

// The stoppable echo server of the guide (docs/WinPipe.md, "Stopping a server"),
// step for step. After DisconnectNamedPipe an instance takes no client until
// the next ConnectNamedPipe: a wake-up that falls between the two finds the
// name busy (CreateFileA fails with ERROR_PIPE_BUSY, WaitNamedPipeA waits out
// its time-out), and the server then blocks in ConnectNamedPipe. The server is
// held in that window, past its check of the flag, until stop() has made one
// wake-up attempt. A single wake-up leaves the server blocked; the guide's
// stop(), which tries again until the server's thread has ended, ends it.
TEST_F(WinPipeTest, StopEndsAServerCaughtBetweenDisconnectAndConnect)
{
    for (bool retry : {false, true}) {
        SCOPED_TRACE(retry ? "stop() that retries" : "a single wake-up");
        const std::string pipeName = uniqueName();
        const jint instance =
            winPipe().createNamedPipe(jni, jni.string(pipeName), PIPE_ACCESS_DUPLEX, 1, 4096, 4096, 1000);
        ASSERT_NE(instance, -1);
        std::atomic<bool> stopping{false};
        std::atomic<int> attempts{0};  // wake-up attempts stop() has finished
        OwnedHandle inWindow(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::atomic<int> rounds{0};  // passes through the server's loop
        bool serverClean = false;
        TestThread server([&] {
            TestJni own;
            jbyteArray buffer = own.bytes(4096, 0);
            while (!stopping) {
                if (rounds++ == 1) {
                    SetEvent(inWindow.handle);
                    for (int wait = 0; attempts == 0 && wait < 1000; ++wait) Sleep(10);
                }
                winPipe().connectNamedPipe(own, instance);
                if (!stopping) {
                    jint n;
                    while ((n = winPipe().read(own, instance, buffer, 4096)) >= 0) {
                        winPipe().write(own, instance, buffer, n);
                    }
                }
                winPipe().disconnect(own, instance);
            }
            winPipe().closeHandle(own, instance);
            serverClean = own.clean();
        });

        // A server still waiting in ConnectNamedPipe with the flag set ends at
        // the next client; on an early way out the server is released that way.
        auto wakeServer = [&] {
            for (int k = 0; k < 100 && !server.join(0); ++k) {
                OwnedHandle wakeUp(CreateFileA(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
                server.join(100);
            }
            return server.join(0);
        };
        ScopeExit release([&] {
            stopping = true;
            ++attempts;
            wakeServer();
        });

        // One client is served; its close sends the server round the loop.
        ASSERT_TRUE(WaitNamedPipeA(pipeName.c_str(), 10000)) << GetLastError();
        {
            OwnedHandle client(CreateFileA(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           0, nullptr));
            ASSERT_NE(client.handle, INVALID_HANDLE_VALUE) << GetLastError();
            ASSERT_TRUE(writeDirect(client.handle, "echo"));
            EXPECT_EQ(readDirect(client.handle), "echo");
        }
        ASSERT_EQ(WaitForSingleObject(inWindow.handle, 30000), WAIT_OBJECT_0);

        jint singleWakeUp = 0;
        TestThread stopper([&] {
            TestJni own;
            stopping = true;
            if (!retry) {
                singleWakeUp = openClient(own, pipeName);
                if (singleWakeUp != -1) winPipe().closeHandle(own, singleWakeUp);
                ++attempts;
                return;
            }
            while (!server.join(0)) {
                if (winPipe().waitForPipe(own, own.string(pipeName), 100)) {
                    jint wakeUp = openClient(own, pipeName);
                    if (wakeUp != -1) winPipe().closeHandle(own, wakeUp);
                }
                ++attempts;
                server.join(100);
            }
        });
        const bool ended = server.join(retry ? 30000 : 2000);
        EXPECT_EQ(ended, retry) << "rounds " << rounds.load() << ", attempts " << attempts.load();
        EXPECT_TRUE(wakeServer()) << "the server thread could not be ended";
        EXPECT_TRUE(stopper.join(30000));
        EXPECT_EQ(rounds, 2);
        EXPECT_TRUE(serverClean);
        if (retry) {
            EXPECT_GE(attempts, 2) << "the first wake-up did not fall between disconnect and connect";
        } else {
            EXPECT_EQ(singleWakeUp, -1) << "the wake-up opened an instance that was not listening";
        }
    }
}

// ---- Failures.

TEST_F(WinPipeTest, WholeValueResultsAreExactlyZeroOnFailureAndOneOnSuccess)
{
    // Handle 0 is no handle: each call fails and its BOOL comes back as 0.
    for (auto native : {&WinPipeNatives::connectNamedPipe, &WinPipeNatives::flushFileBuffers,
                        &WinPipeNatives::disconnect, &WinPipeNatives::closeHandle}) {
        SCOPED_TRACE((winPipe().*native).name());
        EXPECT_EQ((winPipe().*native)(jni, 0), 0);
    }
    // An instance whose client came and went: ConnectNamedPipe fails with ERROR_NO_DATA.
    jint server = createServer(jni, name);
    ASSERT_NE(server, -1);
    jint client = openClient(jni, name);
    ASSERT_GE(client, 0);
    EXPECT_EQ(winPipe().closeHandle(jni, client), 1);
    EXPECT_EQ(winPipe().connectNamedPipe(jni, server), 0);
    EXPECT_EQ(winPipe().disconnect(jni, server), 1);
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
    EXPECT_EQ(winPipe().closeHandle(jni, server), 0) << "a handle closed twice";
}

TEST_F(WinPipeTest, FailingReadReturnsMinusOneAndFailingWriteZeroLeavingTheArray)
{
    struct Case {
        const char* what;
        bool closeServer;  // the peer that goes away: the server, or the client
        bool useHandleZero;
    };
    for (const Case& c : {Case{"server closed", true, false}, Case{"client closed", false, false},
                          Case{"no handle", false, true}}) {
        SCOPED_TRACE(c.what);
        DirectPair pair(uniqueName());
        ASSERT_TRUE(pair.ready());
        // The survivor reads what the peer wrote before it closed, then the pipe is broken.
        HANDLE peer = c.closeServer ? pair.server.handle : pair.client.handle;
        jint survivor = c.useHandleZero ? 0 : (c.closeServer ? pair.clientEnd() : pair.serverEnd());
        jbyteArray data = jni.bytes(8, 0xA5);
        if (!c.useHandleZero) {
            ASSERT_TRUE(writeDirect(peer, "last"));
            EXPECT_EQ(winPipe().read(jni, survivor, data, 8), 4);
            EXPECT_EQ(std::string(storage(data).begin(), storage(data).begin() + 4), "last");
            (c.closeServer ? pair.server : pair.client).handle = INVALID_HANDLE_VALUE;
            CloseHandle(peer);
        }
        std::vector<jbyte> before = storage(data);
        EXPECT_EQ(winPipe().read(jni, survivor, data, 8), -1);
        EXPECT_EQ(storage(data), before) << "a failed read changed the array";
        EXPECT_EQ(winPipe().write(jni, survivor, data, 8), 0);
        EXPECT_EQ(storage(data), before);
        EXPECT_TRUE(jni.clean());
    }
    // A handle without write access: WriteFile is refused.
    DirectPair pair(name);
    ASSERT_TRUE(pair.ready());
    jint readOnlyClient = openClient(jni, name, readOnly);  // takes the spare instance
    ASSERT_GE(readOnlyClient, 0);
    EXPECT_EQ(winPipe().write(jni, readOnlyClient, jni.bytes(4, 1), 4), 0);
    EXPECT_EQ(bytesWaiting(pair.spare.handle), 0u);
    EXPECT_EQ(winPipe().closeHandle(jni, readOnlyClient), 1);
}

TEST_F(WinPipeTest, LengthsOutsideTheArrayTouchNeitherWindowsNorTheArray)
{
    DirectPair pair(name);
    ASSERT_TRUE(pair.ready());
    ASSERT_TRUE(writeDirect(pair.server.handle, "waits"));  // a read that reached ReadFile would take it
    struct Case {
        jint arraySize;  // -1: a null array
        jint length;
    };
    const Case cases[] = {{8, -1}, {8, INT_MIN}, {8, 9}, {8, INT_MAX}, {0, 1}, {-1, 0}, {-1, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "array " << c.arraySize << " length " << c.length);
        jbyteArray data = c.arraySize < 0 ? nullptr : jni.bytes(static_cast<size_t>(c.arraySize), 0x5A);
        jni.resetCounts();
        EXPECT_EQ(winPipe().read(jni, pair.clientEnd(), data, c.length), -1);
        EXPECT_EQ(winPipe().write(jni, pair.clientEnd(), data, c.length), 0);
        EXPECT_EQ(jni.calls("GetByteArrayElements"), 0);
        if (data) {
            EXPECT_EQ(storage(data), std::vector<jbyte>(static_cast<size_t>(c.arraySize), 0x5A));
        }
        EXPECT_EQ(bytesWaiting(pair.client.handle), 5u) << "a read reached the pipe";
    }
    // Had any write reached the pipe, its message would come before this one.
    ASSERT_TRUE(writeDirect(pair.client.handle, "marker"));
    EXPECT_EQ(readDirect(pair.server.handle), "marker");
}

// ---- JNI acquisitions that fail, and null names.

TEST_F(WinPipeTest, FailedAcquisitionsAndNullNamesGiveTheFailureValueAndChangeNothing)
{
    struct Case {
        const char* what;
        bool inject;  // make the one acquisition of the call fail; otherwise pass a null name
        Fn fn;
        jint failure;
        // The pair's ends; the name of the pair, and a name with no pipe.
        std::function<jint(TestJni&, DirectPair&, jstring, jstring)> call;
        DWORD waiting = 5;  // bytes of the server's message still in the pipe afterwards
    };
    const WinPipeNatives& p = winPipe();
    const Case cases[] = {
        {"createNamedPipe", true, Fn::GetStringUTFChars, -1,
         [&](TestJni& j, DirectPair&, jstring, jstring fresh) {
             return p.createNamedPipe(j, fresh, PIPE_ACCESS_DUPLEX, 4, 512, 512, 0);
         }},
        {"createFile", true, Fn::GetStringUTFChars, -1,
         [&](TestJni& j, DirectPair&, jstring n, jstring) { return p.createFile(j, n, readWrite); }},
        {"waitForPipe", true, Fn::GetStringUTFChars, 0,
         [&](TestJni& j, DirectPair&, jstring n, jstring) { return static_cast<jint>(p.waitForPipe(j, n, 1000)); }},
        // The message is read before the array is written: it is gone with the JVM's error.
        {"read", true, Fn::SetByteArrayRegion, -1,
         [&](TestJni& j, DirectPair& pair, jstring, jstring) { return p.read(j, pair.clientEnd(), j.bytes(16, 0), 16); },
         0},
        {"write", true, Fn::GetByteArrayRegion, 0,
         [&](TestJni& j, DirectPair& pair, jstring, jstring) { return p.write(j, pair.clientEnd(), j.bytes(16, 1), 16); }},
        {"write, long", true, Fn::GetByteArrayElements, 0,
         [&](TestJni& j, DirectPair& pair, jstring, jstring) {
             return p.write(j, pair.clientEnd(), j.bytes(5000, 1), 5000);
         }},
        {"createNamedPipe, null name", false, Fn::Count, -1,
         [&](TestJni& j, DirectPair&, jstring, jstring) { return p.createNamedPipe(j, nullptr, PIPE_ACCESS_DUPLEX, 4, 512, 512, 0); }},
        {"createFile, null name", false, Fn::Count, -1,
         [&](TestJni& j, DirectPair&, jstring, jstring) { return p.createFile(j, nullptr, readWrite); }},
        {"waitForPipe, null name", false, Fn::Count, 0,
         [&](TestJni& j, DirectPair&, jstring, jstring) { return static_cast<jint>(p.waitForPipe(j, nullptr, 1000)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DirectPair pair(uniqueName());
        ASSERT_TRUE(pair.ready());
        ASSERT_TRUE(writeDirect(pair.server.handle, "waits"));
        DWORD handles = processHandleCount();
        TestJni own;
        std::string freshName = pair.name + "-fresh";
        jstring pipeName = own.string(pair.name);
        jstring fresh = own.string(freshName);
        own.resetCounts();
        if (c.inject) own.failNth(c.fn, 1);
        EXPECT_EQ(c.call(own, pair, pipeName, fresh), c.failure);
        EXPECT_EQ(processHandleCount(), handles) << "a handle was made";
        EXPECT_TRUE(own.clean());
        if (c.inject) {
            EXPECT_EQ(own.pendingClass(), "java/lang/OutOfMemoryError");
            EXPECT_EQ(own.calls(c.fn), 1);
        } else {
            EXPECT_FALSE(own.exceptionPending());
            EXPECT_EQ(own.totalCalls(), 0) << "a null name reached the JVM";
        }
        // Nothing happened to the pipe: the message still waits, the spare
        // instance is still free, and nothing reached the server.
        EXPECT_EQ(bytesWaiting(pair.client.handle), c.waiting);
        OwnedHandle another(CreateFileA(pair.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_NE(another.handle, INVALID_HANDLE_VALUE) << "the spare instance was taken";
        EXPECT_FALSE(WaitNamedPipeA(freshName.c_str(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "a pipe was created";
        ASSERT_TRUE(writeDirect(pair.client.handle, "marker"));
        EXPECT_EQ(readDirect(pair.server.handle), "marker");
    }
}

TEST_F(WinPipeTest, TransfersAllocateNothingOfTheirOwn)
{
    DirectPair pair(name);
    ASSERT_TRUE(pair.ready());
    jbyteArray out = jni.bytes(pattern(40000, 9));
    jbyteArray in = jni.bytes(40000, 0);
    AllocationCounter counter(library());
    counter.reset();
    ASSERT_EQ(winPipe().write(jni, pair.serverEnd(), out, 40000), 40000);
    ASSERT_EQ(winPipe().read(jni, pair.clientEnd(), in, 40000), 40000);
    EXPECT_EQ(counter.count(), 0);
    EXPECT_EQ(storage(in), storage(out));
}

// ---- Time-outs, cancel, a look ahead and the peer.

constexpr jint timedOut = -2;

// Each row: a call that waits on a pair's end, what another thread does
// meanwhile, and what the call returns. A cancel ends the call within 100 ms
// (failure value, not TIMED_OUT); a time-out ends its own thread's call only.
// The end then loses nothing and still works.
TEST_F(WinPipeTest, TimeOutsAndCancelEndWaitsAndLoseNothing)
{
    enum Act { Nothing, Write, TimeOutThenWrite, Cancel };
    using Call = std::function<jint(TestJni&, jint end)>;
    struct Case {
        const char* what;
        Call call;
        Act act;
        jint result;
        DWORD minMs = 150, maxMs = 4000;  // the call's duration
        bool spare = false;               // the call waits on the spare instance
    };
    const WinPipeNatives& p = winPipe();
    auto timedRead = [&](jint timeout) -> Call {
        return [&, timeout](TestJni& j, jint end) { return p.readTimed(j, end, j.bytes(64, 0xA5), 64, timeout); };
    };
    const Call read = [&](TestJni& j, jint end) { return p.read(j, end, j.bytes(64, 0), 64); };
    auto connect = [&](jint timeout) -> Call {
        return [&, timeout](TestJni& j, jint end) { return p.connectNamedPipeTimed(j, end, timeout); };
    };
    const Case cases[] = {
        {"timed read, nothing comes", timedRead(300), Nothing, timedOut, 250, 5000},
        {"timed read of 0, nothing there", timedRead(0), Nothing, timedOut, 0, 1000},
        {"timed read, answered", timedRead(5000), Write, 7},
        {"timed read, cancelled", timedRead(20000), Cancel, -1},
        {"read, another thread's timed read expires", read, TimeOutThenWrite, 7, 250},
        {"read, cancelled", read, Cancel, -1},
        {"write beyond the buffer, cancelled",
         [&](TestJni& j, jint end) { return p.write(j, end, j.bytes(300000, 1), 300000); }, Cancel, 0},
        {"flush, cancelled",
         [&](TestJni& j, jint end) { return writeDirect(asHandle(end), "unread") ? p.flushFileBuffers(j, end) : -9; },
         Cancel, 0},
        {"timed connect, nobody comes", connect(300), Nothing, timedOut, 250, 5000, true},
        {"timed connect of 0, nobody there", connect(0), Nothing, timedOut, 0, 1000, true},
        {"connect, cancelled", connect(-1), Cancel, 0, 150, 4000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DirectPair pair(uniqueName());
        ASSERT_TRUE(pair.ready());
        HANDLE end = c.spare ? pair.spare.handle : pair.server.handle;
        jint result = -9;
        DWORD took = 0, cancelledAt = 0;
        std::atomic<bool> started{false};
        TestThread call([&] {
            TestJni own;
            DWORD start = GetTickCount();
            started = true;
            result = c.call(own, handleToJint(end));
            took = GetTickCount() - start;
        });
        while (!started) Sleep(1);
        Sleep(200);
        EXPECT_EQ(c.act == TimeOutThenWrite ? p.readTimed(jni, handleToJint(end), jni.bytes(64, 0), 64, 100) : timedOut,
                  timedOut);
        ASSERT_TRUE(c.act == Nothing || c.act == Cancel || writeDirect(pair.client.handle, "message"));
        if (c.act == Cancel) {
            EXPECT_EQ(p.cancel(jni, handleToJint(end)), JNI_TRUE);
            cancelledAt = GetTickCount();
        }
        // A cancel finds nothing to cancel when the call has not begun to wait yet (a slow
        // machine): cancelled again, the row fails on its time instead of waiting for ever.
        for (int k = 0; c.act == Cancel && k < 10 && !call.join(2000); ++k) p.cancel(jni, handleToJint(end));
        ASSERT_TRUE(call.join(30000));
        EXPECT_EQ(result, c.result);
        EXPECT_GE(took, c.minMs);
        EXPECT_LE(took, c.maxMs);
        EXPECT_LE(cancelledAt ? GetTickCount() - cancelledAt : 0, 100u) << "the cancel took long to wake the call";
        // Nothing taken that the call did not return. The end still works: it reads the next message, and a client
        // that comes after a connect ended is connected at the next call.
        EXPECT_EQ(std::string(c.what) == "flush, cancelled" ? readDirect(pair.client.handle) : "unread", "unread");
        OwnedHandle late(c.spare ? CreateFileA(pair.name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                               0, nullptr) : nullptr);
        EXPECT_EQ(c.spare ? p.connectNamedPipeTimed(jni, handleToJint(end), 0) : 1, 1);
        ASSERT_TRUE(writeDirect(c.spare ? late.handle : pair.client.handle, "next"));
        EXPECT_EQ(readDirect(end), "next");
    }
    EXPECT_EQ(p.cancel(jni, 0), JNI_FALSE);
    EXPECT_TRUE(jni.clean());
}

// A message that arrives as a read's time-out passes is read by it or left
// whole for the next read.
TEST_F(WinPipeTest, ATimedReadNeverTakesHalfAMessage)
{
    DirectPair pair(name);
    ASSERT_TRUE(pair.ready());
    for (size_t size : {100u, 10000u}) {
        const int messages = 30;
        TestThread writer([&] {
            for (int k = 0; k < messages; ++k) {
                Sleep(k % 7 + 8);
                std::vector<uint8_t> m = pattern(size, static_cast<uint32_t>(k));
                writeDirect(pair.client.handle, std::string(m.begin(), m.end()));
            }
        });
        // Into an array of 64 KiB the read takes its elements first, into a larger one 4096 bytes first.
        const jint array = size < 1000 ? 65536 : 1 << 20;
        jbyteArray data = jni.bytes(static_cast<size_t>(array), 0);
        int received = 0, expired = 0;
        for (DWORD start = GetTickCount(); received < messages && GetTickCount() - start < 20000;) {
            jint n = winPipe().readTimed(jni, pair.serverEnd(), data, array, received % 3 * 5);
            if (n == timedOut && ++expired) continue;
            std::vector<uint8_t> m = pattern(size, static_cast<uint32_t>(received));
            EXPECT_EQ(n, static_cast<jint>(size));
            EXPECT_EQ(memcmp(storage(data).data(), m.data(), size), 0) << "message " << received;
            ++received;
        }
        ASSERT_TRUE(writer.join(20000));
        EXPECT_EQ(received, messages);
        EXPECT_GT(expired, 0) << "no read timed out: the case tests nothing";
        EXPECT_EQ(bytesWaiting(pair.server.handle), 0u);
    }
}

TEST_F(WinPipeTest, AvailableIsWhatAReadWouldReturnNowAndProcessIdsNameThePeer)
{
    const WinPipeNatives& p = winPipe();
    jint server = createServer(jni, name);
    ASSERT_NE(server, -1);
    EXPECT_EQ(p.available(jni, server), -1) << "no client yet";
    EXPECT_EQ(p.clientProcessId(jni, 0), -1);
    EXPECT_EQ(p.serverProcessId(jni, 0), -1);
    jint client = openClient(jni, name);
    ASSERT_GE(client, 0);
    EXPECT_EQ(p.clientProcessId(jni, server), static_cast<jint>(GetCurrentProcessId()));
    EXPECT_EQ(p.serverProcessId(jni, client), static_cast<jint>(GetCurrentProcessId()));
    EXPECT_EQ(p.available(jni, server), 0);
    for (const char* m : {"0123456789", "", "abc", "last"}) ASSERT_TRUE(writeDirect(asHandle(client), m));
    jbyteArray data = jni.bytes(16, 0);
    // The rest of the next message: 10, 6 after a read of 4, the empty message, 3; once the client has closed,
    // what it wrote is still to read; then -1.
    for (jint expected : {10, 6, 0, 3, 4, -1}) {
        if (expected == 4) p.closeHandle(jni, client);
        EXPECT_EQ(p.available(jni, server), expected);
        EXPECT_EQ(expected < 0 ? -1 : p.read(jni, server, data, expected == 10 ? 4 : 16), expected == 10 ? 4 : expected);
    }
    EXPECT_EQ(p.closeHandle(jni, server), 1);
}

// In both text modes (pipe_unicode), as the names are: the pipe that a W-only program opens reads back as the
// user's alone; the user joins it, no one joins a name that another process took first or made with other security.
TEST_F(WinPipeTest, OwnerOnlyPipesInEitherTextModeAdmitTheUserAloneAndRefuseATakenName)
{
    const WinPipeNatives& p = winPipe();
    ImportPatch watchA(library(), "CreateNamedPipeA", reinterpret_cast<void*>(&watchCreateNamedPipe<char>));
    ImportPatch watchW(library(), "CreateNamedPipeW", reinterpret_cast<void*>(&watchCreateNamedPipe<WCHAR>));
    auto create = [&](const std::u16string& pipeName, jint access) {
        return p.createNamedPipeWithAccess(jni, jni.string(pipeName), PIPE_ACCESS_DUPLEX, 4, 512, 512, 0, access);
    };
    const std::u16string base(name.begin(), name.end());
    for (const TextSample& sample : textSamples()) {
        SCOPED_TRACE(sample.label);
        const std::u16string javaName = base + u"-" + sample.text.substr(0, 60);
        jint first = create(javaName, 1);
        ASSERT_NE(first, -1);
        EXPECT_TRUE(seenPipeMode & PIPE_REJECT_REMOTE_CLIENTS);
        EXPECT_TRUE(seenOpenMode & FILE_FLAG_FIRST_PIPE_INSTANCE);
        OwnedHandle client(CreateFileW(wide(seenByWideProgram(javaName)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
        auto [read, expected] = ownerAndDacl(client.handle);
        EXPECT_EQ(read, expected);
        jint second = create(javaName, 1);
        EXPECT_NE(second, -1) << "the user's own owner-only pipe refused a further instance";
        EXPECT_EQ(p.closeHandle(jni, second), 1);
        EXPECT_EQ(p.closeHandle(jni, first), 1);
    }
    jint plain = create(base + u"-plain", 0);
    EXPECT_FALSE(seenPipeMode & PIPE_REJECT_REMOTE_CLIENTS);
    EXPECT_EQ(create(base + u"-plain", 1), -1) << "joined a pipe of another security";
    EXPECT_EQ(create(base + u"-other", 2), -1);
    EXPECT_EQ(p.closeHandle(jni, plain), 1);
    // The server is another process: its id is the one that the client sees.
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(path) + L"\" --squat " + wide(base + u"-taken");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION squat = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &squat));
    for (int k = 0; k < 200 && !WaitNamedPipeW(wide(base + u"-taken").c_str(), 0); ++k) Sleep(50);
    EXPECT_EQ(create(base + u"-taken", 1), -1) << "joined the pipe another process made first";
    jint client = openClient(jni, std::string(name) + "-taken");
    EXPECT_EQ(p.serverProcessId(jni, client), static_cast<jint>(squat.dwProcessId));
    TerminateProcess(squat.hProcess, 0);
    WaitForSingleObject(squat.hProcess, 10000);
    CloseHandle(squat.hProcess), CloseHandle(squat.hThread);
    EXPECT_EQ(p.closeHandle(jni, client), 1);
}

// ---- Soak.

using WinPipeSoak = WinPipeTest;

int soakMessages()
{
    const char* value = getenv("ZARN_PIPE_SOAK_MESSAGES");
    return value ? atoi(value) : 10000;
}

// Counts what a thread saw; read on the main thread after the join.
struct Tally {
    int transferred = 0;
    int wrong = 0;
    int firstWrong = -1;
    bool clean = false;
    void record(int index, bool right)
    {
        ++transferred;
        if (!right && wrong++ == 0) firstWrong = index;
    }
};

// Writes count messages of the given sizes, message k filled from seed base + k.
void sendAll(TestJni& jni, jint handle, const std::vector<jint>& sizes, uint32_t base, Tally& tally)
{
    jbyteArray data = jni.bytes(static_cast<size_t>(maxMessage), 0);
    for (size_t k = 0; k < sizes.size(); ++k) {
        std::vector<jbyte>& bytes = storage(data);
        bytes.resize(static_cast<size_t>(sizes[k]));  // as a new byte[size]
        fillPattern(bytes.data(), bytes.size(), base + static_cast<uint32_t>(k));
        tally.record(static_cast<int>(k), winPipe().write(jni, handle, data, sizes[k]) == sizes[k]);
    }
}

void receiveAll(TestJni& jni, jint handle, const std::vector<jint>& sizes, uint32_t base, Tally& tally)
{
    jbyteArray data = jni.bytes(static_cast<size_t>(maxMessage), 0);
    std::vector<jbyte> expected(static_cast<size_t>(maxMessage));
    for (size_t k = 0; k < sizes.size(); ++k) {
        jint n = winPipe().read(jni, handle, data, maxMessage);
        fillPattern(expected.data(), static_cast<size_t>(sizes[k]), base + static_cast<uint32_t>(k));
        tally.record(static_cast<int>(k),
                     n == sizes[k] && memcmp(storage(data).data(), expected.data(), static_cast<size_t>(n)) == 0);
    }
}

TEST_F(WinPipeSoak, ManyMessagesEachWayThenEightClientsAtOnce)
{
    const int count = soakMessages();
    std::mt19937 random(20261208);
    std::uniform_int_distribution<jint> size(0, maxMessage);
    std::vector<jint> toClient(static_cast<size_t>(count)), toServer(static_cast<size_t>(count));
    for (jint& s : toClient) s = size(random);
    for (jint& s : toServer) s = size(random);
    if (count >= 2) toClient[0] = 0, toClient[1] = maxMessage, toServer[0] = maxMessage, toServer[1] = 0;

    // One server and one client: count messages to the client, then count back.
    jint server = createServer(jni, name, 1);
    ASSERT_NE(server, -1);
    Tally serverSent, serverReceived, clientSent, clientReceived;
    DWORD start = GetTickCount();
    {
        TestThread client([&] {
            TestJni own;
            jint h = openClient(own, name);
            if (h < 0) return;
            receiveAll(own, h, toClient, 1000000, clientReceived);
            sendAll(own, h, toServer, 2000000, clientSent);
            winPipe().flushFileBuffers(own, h);
            winPipe().closeHandle(own, h);
            clientReceived.clean = own.clean();
        });
        ASSERT_EQ(winPipe().connectNamedPipe(jni, server), 1);
        sendAll(jni, server, toClient, 1000000, serverSent);
        receiveAll(jni, server, toServer, 2000000, serverReceived);
        ASSERT_TRUE(client.join(60000));
    }
    DWORD pairMs = GetTickCount() - start;
    EXPECT_EQ(winPipe().closeHandle(jni, server), 1);
    for (const Tally* t : {&serverSent, &clientReceived, &clientSent, &serverReceived}) {
        EXPECT_EQ(t->transferred, count);
        EXPECT_EQ(t->wrong, 0) << "first wrong message: " << t->firstWrong;
    }
    EXPECT_TRUE(clientReceived.clean);

    // Eight clients at once against one name with eight instances, each served
    // by its own thread, which echoes every message until its client goes.
    constexpr int clients = 8;
    constexpr int perClient = 100;
    std::string shared = uniqueName();
    std::vector<jint> instances;
    for (int i = 0; i < clients; ++i) instances.push_back(createServer(jni, shared, clients));
    for (jint instance : instances) ASSERT_NE(instance, -1);
    std::vector<Tally> echoed(clients), served(clients);
    start = GetTickCount();
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int i = 0; i < clients; ++i) {
            threads.push_back(std::make_unique<TestThread>([&, i] {
                TestJni own;
                Tally& tally = served[i];
                if (winPipe().connectNamedPipe(own, instances[i]) != 1) return;
                jbyteArray data = own.bytes(static_cast<size_t>(maxMessage), 0);
                for (;;) {
                    jint n = winPipe().read(own, instances[i], data, maxMessage);
                    if (n < 0) break;
                    tally.record(tally.transferred, winPipe().write(own, instances[i], data, n) == n);
                }
                winPipe().disconnect(own, instances[i]);
                tally.clean = own.clean();
            }));
            threads.push_back(std::make_unique<TestThread>([&, i] {
                TestJni own;
                Tally& tally = echoed[i];
                jint h = -1;
                for (int attempt = 0; attempt < 50 && h < 0; ++attempt) {
                    if (winPipe().waitForPipe(own, own.string(shared), 5000)) h = openClient(own, shared);
                }
                if (h < 0) return;
                std::mt19937 own_random(static_cast<unsigned>(i));
                std::uniform_int_distribution<jint> sizes(0, maxMessage);
                jbyteArray out = own.bytes(static_cast<size_t>(maxMessage), 0);
                jbyteArray in = own.bytes(static_cast<size_t>(maxMessage), 0);
                for (int k = 0; k < perClient; ++k) {
                    jint n = sizes(own_random);
                    uint32_t seed = 3000000u + static_cast<uint32_t>(i * perClient + k);
                    fillPattern(storage(out).data(), static_cast<size_t>(n), seed);
                    bool right = winPipe().write(own, h, out, n) == n && winPipe().read(own, h, in, maxMessage) == n &&
                                 memcmp(storage(in).data(), storage(out).data(), static_cast<size_t>(n)) == 0;
                    tally.record(k, right);
                }
                winPipe().closeHandle(own, h);
                tally.clean = own.clean();
            }));
        }
        for (auto& thread : threads) ASSERT_TRUE(thread->join(120000));
    }
    DWORD concurrentMs = GetTickCount() - start;
    for (jint instance : instances) EXPECT_EQ(winPipe().closeHandle(jni, instance), 1);
    for (int i = 0; i < clients; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(echoed[i].transferred, perClient);
        EXPECT_EQ(echoed[i].wrong, 0) << "first wrong message: " << echoed[i].firstWrong;
        EXPECT_EQ(served[i].transferred, perClient);
        EXPECT_TRUE(echoed[i].clean);
        EXPECT_TRUE(served[i].clean);
    }
    printf("soak: %d messages each way in %lu ms; %d clients x %d echoes in %lu ms\n", count,
           static_cast<unsigned long>(pairMs), clients, perClient, static_cast<unsigned long>(concurrentMs));
    RecordProperty("pairMs", static_cast<int>(pairMs));
    RecordProperty("concurrentMs", static_cast<int>(concurrentMs));
}

}  // namespace
