package com.zarn.kelda.dravik.common.win32;

/**
 * The live environment of the process the JVM runs in, read at the moment of the call (unlike
 * {@link System#getenv(String)}, a copy made when the JVM started).
 */
public final class Environment {
    private Environment() {
    }

    /**
     * Reads one environment variable of this process, as inherited and as changed since within
     * the process; not the persistent settings in the registry. Names are compared without regard
     * to case; %NAME% references in the value are not expanded; values of any length are returned
     * whole. The name passes as bytes (exact for ASCII); the value is decoded from the ANSI code
     * page. In unicode text mode ({@link ZarnWin32#textMode()}) the name and the value pass as
     * their UTF-16 characters, exactly, and a name that holds U+0000 gives null. Raises nothing.
     *
     * @param variableName the variable's name
     * @return its value, or null when it is not set, is empty, or the name is null
     */
    public static native String getEnvironmentVariable(String variableName);
}
