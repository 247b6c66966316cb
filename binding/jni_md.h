// Machine-dependent JNI definitions for 32-bit and 64-bit Windows, used in
// place of the JDK's own jni_md.h (this build compiles on Linux for Windows).
//
// JNICALL is __stdcall, as the Windows JVM calls natives. JNIEXPORT is empty:
// the library's exports are listed in its .def file, so that each native is
// exported exactly once, under its decorated name, and nothing else is.
#ifndef ZARN_JNI_MD_H
#define ZARN_JNI_MD_H

#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
