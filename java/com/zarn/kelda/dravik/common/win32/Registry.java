package com.zarn.kelda.dravik.common.win32;

/**
 * The Windows registry: keys, values and the settings-change broadcast.
 *
 * <p>Every method names a key by a predefined root ({@link #HKEY_CURRENT_USER} and the others) and
 * a path below it, with levels separated by backslashes; an empty path names the root itself.
 * Names and string values pass to the ANSI registry functions as their bytes: exact for ASCII.
 * Failures are reported by {@link RegistryException} with a fixed message, except where a method
 * says otherwise. A {@code null} path makes every method return its neutral result at once.
 */
public final class Registry {
    /** HKEY_CLASSES_ROOT (0x80000000). */
    public static final int HKEY_CLASSES_ROOT = 0x80000000;
    /** HKEY_CURRENT_USER (0x80000001). */
    public static final int HKEY_CURRENT_USER = 0x80000001;
    /** HKEY_LOCAL_MACHINE (0x80000002). */
    public static final int HKEY_LOCAL_MACHINE = 0x80000002;
    /** HKEY_USERS (0x80000003). */
    public static final int HKEY_USERS = 0x80000003;
    /** HKEY_PERFORMANCE_DATA (0x80000004). */
    public static final int HKEY_PERFORMANCE_DATA = 0x80000004;
    /** HKEY_CURRENT_CONFIG (0x80000005). */
    public static final int HKEY_CURRENT_CONFIG = 0x80000005;

    /** No type: read and written as {@code byte[]}. */
    public static final int REG_NONE = 0;
    /** A string: read and written as {@link String}. */
    public static final int REG_SZ = 1;
    /** A string with %NAME% references, expanded when read; written unexpanded. */
    public static final int REG_EXPAND_SZ = 2;
    /** Binary data: read and written as {@code byte[]}. */
    public static final int REG_BINARY = 3;
    /** A 32-bit number: read and written as {@link Integer}, stored little-endian. */
    public static final int REG_DWORD = 4;
    /** Handled exactly as {@link #REG_DWORD}: the bytes are little-endian, not swapped. */
    public static final int REG_DWORD_BIG_ENDIAN = 5;
    /** A symbolic link: neither read nor written by this class. */
    public static final int REG_LINK = 6;
    /** A list of strings: its type is reported, but it is neither read nor written. */
    public static final int REG_MULTI_SZ = 7;
    /** A 64-bit number: its type is reported, but it is neither read nor written. */
    public static final int REG_QWORD = 11;

    private Registry() {
    }

    /**
     * Tells whether a key exists and can be opened for reading.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return true when the key can be opened for reading; false otherwise, never an exception
     */
    public static native boolean keyExists(int root, String subKey);

    /**
     * Creates a key and every missing key on its path.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return 0, or the Win32 error code when the key could not be created; -1 for a null path
     * @throws RegistryException "Attempted to create existing key" when the key already existed
     */
    public static native int keyCreate(int root, String subKey);

    /**
     * Deletes a key with all its sub-keys and values.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param broadcast whether to announce the change to all top-level windows afterwards
     * @return 0, or the Win32 error code; -1 for a null path
     * @throws RegistryException "Could not delete registry key" when the deletion failed
     */
    public static native int keyDelete(int root, String subKey, boolean broadcast);

    /**
     * Tells whether a key has at least one sub-key.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return true when the key has a sub-key
     * @throws RegistryException "Error opening registry key" or "Error counting registry subkeys"
     */
    public static native boolean keyHasSubKeys(int root, String subKey);

    /**
     * Tells whether a key holds at least one value.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return true when the key holds a value
     * @throws RegistryException "Error opening registry key" or "Error counting registry values"
     */
    public static native boolean keyHasValues(int root, String subKey);

    /**
     * Tells whether a key holds the named value; the empty name is the key's default value.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @return true when the value exists; false for a missing value or a null name
     * @throws RegistryException "Error opening registry key"
     */
    public static native boolean keyHasValue(int root, String subKey, String valueName);

    /**
     * Deletes a value. A null name does nothing at all.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @param broadcast whether to announce the change afterwards (also when the deletion failed)
     * @throws RegistryException "Error opening registry key" or "Error deleting registry key value"
     */
    public static native void keyDeleteValue(int root, String subKey, String valueName, boolean broadcast);

    /**
     * Announces to all top-level windows that the environment settings have changed
     * (WM_SETTINGCHANGE with "Environment"); waits up to 5 seconds for each window that is slow to
     * answer.
     *
     * @return non-zero when the message was delivered, 0 on failure or time-out
     */
    public static native int broadcastUpdate();

    /**
     * Reports a value's registry type code ({@link #REG_SZ} and the others), unsupported ones
     * included.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @return the type code; -1 for a null path or name
     * @throws RegistryException "Error opening registry key" or "Error retreiving registry value"
     */
    public static native int keyGetValueType(int root, String subKey, String valueName);

    /**
     * Reads a value: a {@code byte[]} for REG_NONE and REG_BINARY, a {@link String} for REG_SZ and
     * (expanded) REG_EXPAND_SZ, an {@link Integer} for REG_DWORD and REG_DWORD_BIG_ENDIAN.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @return the value, or null for a null path or name
     * @throws RegistryException "Error opening registry key", "Error retreiving registry value",
     *     "Unsupported data type" or "Error expanding registry strings"
     */
    public static native Object keyGetValue(int root, String subKey, String valueName);

    /**
     * Writes a value under the given type: {@code byte[]} for REG_NONE and REG_BINARY,
     * {@link String} for REG_SZ and REG_EXPAND_SZ, {@link Integer} for REG_DWORD and
     * REG_DWORD_BIG_ENDIAN.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name; null does nothing
     * @param type the registry type to store
     * @param value the value
     * @param broadcast whether to announce the change afterwards (also when the write failed)
     * @throws RegistryException "Error opening registry key", "Incompatible data types",
     *     "Not implemented" (REG_MULTI_SZ), "Unsupported value type", or a write failure
     */
    public static native void keySetValue(int root, String subKey, String valueName, int type, Object value,
            boolean broadcast);
}
