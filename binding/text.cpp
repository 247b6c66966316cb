// Text between Java strings and Windows. NewStringUTF and ThrowNew take text
// as modified UTF-8 only: a checking JVM stops the process on anything else, and a plain one
// decodes an ANSI byte such as E9 ("é" in code page 1252) as the lead byte of a
// longer sequence and reads past the text's end.
#include "binding.h"

namespace {

bool continuation(unsigned char c) noexcept
{
    return (c & 0xC0) == 0x80;
}

// Modified UTF-8 as the JVM checks it: sequences of one to three bytes, none
// overlong (but C0 80, the form of U+0000), no lead byte F0 and above.
bool isModifiedUtf8(const char* text) noexcept
{
    auto b = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; b[i];) {
        unsigned char c = b[i];
        if (c < 0x80) {
            i += 1;
        } else if ((c & 0xE0) == 0xC0) {
            if (!continuation(b[i + 1]) || (c < 0xC2 && !(c == 0xC0 && b[i + 1] == 0x80))) return false;
            i += 2;
        } else if ((c & 0xF0) == 0xE0) {
            if (!continuation(b[i + 1]) || !continuation(b[i + 2]) || (c == 0xE0 && b[i + 1] < 0xA0)) return false;
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

// Writes the modified UTF-8 of count UTF-16 units and a NUL to out, which
// holds 3 * count + 1 bytes; surrogates are encoded one by one, as Java does.
void encodeModifiedUtf8(const WCHAR* units, int count, char* out) noexcept
{
    for (int i = 0; i < count; ++i) {
        unsigned unit = units[i];
        if (unit != 0 && unit < 0x80) {
            *out++ = static_cast<char>(unit);
        } else if (unit < 0x800) {
            *out++ = static_cast<char>(0xC0 | (unit >> 6));
            *out++ = static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            *out++ = static_cast<char>(0xE0 | (unit >> 12));
            *out++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    *out = '\0';
}

}  // namespace

WindowsText::WindowsText(JNIEnv* env, jstring string) noexcept : env_(env), string_(string)
{
    if (string == nullptr) return;
    if (!unicodeText) {
        ansi_ = env->GetStringUTFChars(string, nullptr);
        return;
    }
    // A Java string is immutable: GetStringRegion of its whole length cannot fail.
    jsize count = env->GetStringLength(string);
    WCHAR* units = small_;
    if (count > stackUnits) {
        if (!large_.allocate((static_cast<size_t>(count) + 1) * sizeof(WCHAR))) {
            throwOutOfMemory(env);
            return;
        }
        units = reinterpret_cast<WCHAR*>(large_.get());
    }
    env->GetStringRegion(string, 0, count, reinterpret_cast<jchar*>(units));
    units[count] = L'\0';
    if (wcslen(units) != static_cast<size_t>(count)) {
        holdsNul_ = true;
        return;
    }
    units_ = units;
    length_ = static_cast<size_t>(count);
}

void WindowsText::release() noexcept
{
    if (ansi_) env_->ReleaseStringUTFChars(string_, ansi_);
    ansi_ = nullptr;
    units_ = nullptr;
}

JavaText::JavaText(const WCHAR* windowsText) noexcept
{
    size_t count = wcslen(windowsText);
    char* out = small_;
    if (count > smallUnits - 1) {
        if (!large_.allocate(count * 3 + 1)) return;
        out = large_.get();
    }
    encodeModifiedUtf8(windowsText, static_cast<int>(count), out);
    text_ = out;
}

JavaText::JavaText(const char* windowsText) noexcept
{
    if (isModifiedUtf8(windowsText)) {
        text_ = windowsText;
        return;
    }
    // With a length of -1 the count includes the NUL. Without MB_ERR_INVALID_CHARS
    // every byte decodes: one the code page lacks becomes its default character.
    int units = MultiByteToWideChar(CP_ACP, 0, windowsText, -1, nullptr, 0);
    if (units <= 0) return;
    WCHAR smallWide[smallUnits];
    MallocBuffer largeWide;
    WCHAR* wide = smallWide;
    char* out = small_;
    if (units > smallUnits) {
        if (!largeWide.allocate(static_cast<size_t>(units) * sizeof(WCHAR))) return;
        if (!large_.allocate(static_cast<size_t>(units) * 3)) return;
        wide = reinterpret_cast<WCHAR*>(largeWide.get());
        out = large_.get();
    }
    if (MultiByteToWideChar(CP_ACP, 0, windowsText, -1, wide, units) != units) return;
    encodeModifiedUtf8(wide, units - 1, out);
    text_ = out;
}

jstring newStringFromWindows(JNIEnv* env, const char* windowsText) noexcept
{
    JavaText text(windowsText);
    return text.get() ? env->NewStringUTF(text.get()) : nullptr;
}

jstring newStringFromWindows(JNIEnv* env, const WCHAR* units, size_t count) noexcept
{
    return env->NewString(reinterpret_cast<const jchar*>(units), static_cast<jsize>(count));
}
