package com.zarn.kelda.dravik.common.win32;

/**
 * The Windows registry: keys, values and the settings-change broadcast.
 *
 * <p>Every method names a key by a predefined root ({@link #HKEY_CURRENT_USER} and the others) and
 * a path below it, with levels separated by backslashes ({@code "Software\\MyCompany"}), without
 * the root's name and without a leading backslash; an empty path names the root itself. The empty
 * value name {@code ""} is the key's default value.
 *
 * <p>A {@code null} path or value name makes a method return its neutral result at once (given
 * with each method), with no exception and no registry access; {@link #watch}, which has no
 * neutral result, raises {@link NullPointerException}. Other failures raise
 * {@link RegistryException} with one of the fixed messages quoted on each method; a raised
 * exception never leaves a key open or skips a requested broadcast.
 *
 * <p>Text follows the library's text mode ({@link ZarnWin32#textMode()}). In {@code ansi} mode (the
 * default), paths, names and string values pass to the ANSI registry functions as the bytes of
 * their modified UTF-8 form, without conversion: exact for ASCII, garbled in the ANSI code page for
 * other characters; a string written here reads back here unchanged. Strings that other programs
 * stored are decoded from the ANSI code page, and read as their characters. In {@code unicode}
 * mode they pass to the Unicode registry functions as their UTF-16 characters, so that other
 * programs see exactly the names and strings given here and Java reads exactly what they stored;
 * string values are stored as UTF-16 with one terminating NUL. Text that holds the character
 * U+0000, at which Windows would cut it short, is then refused with
 * "Registry name or string holds U+0000" by every method but {@link #keyExists}, which answers
 * false; nothing is written under the shortened name. Text stored in one mode with characters outside ASCII reads back differently
 * in the other. A {@code byte[]} value is only read, never written. In a 32-bit JVM on 64-bit
 * Windows, keys under {@code HKEY_LOCAL_MACHINE\SOFTWARE} are redirected to {@code WOW6432Node};
 * the 64-bit library in a 64-bit JVM sees the native view.
 *
 * <p>A root with {@link #KEY_WOW64_64KEY} or {@link #KEY_WOW64_32KEY} ORed in reaches that view
 * of the registry from either JVM: every key that the method opens, creates or deletes is taken
 * in that view, for example
 * {@code keyGetValue(HKEY_LOCAL_MACHINE | KEY_WOW64_64KEY, "Software\\Vendor", "Path")}.
 * 32-bit Windows has one view and ignores both flags. Both flags together, or a flag on a root
 * that is not a predefined key, make an invalid root, which each method answers as it answers
 * any other invalid root.
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

    /**
     * ORed into a root: the 64-bit view of the registry, also from a 32-bit JVM (0x0100).
     */
    public static final int KEY_WOW64_64KEY = 0x0100;
    /**
     * ORed into a root: the 32-bit view of the registry, also from a 64-bit JVM (0x0200).
     */
    public static final int KEY_WOW64_32KEY = 0x0200;

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
    /**
     * A list of strings: read and written as {@code String[]} by {@link #keyGetStrings} and
     * {@link #keySetStrings}; {@link #keyGetValue} and {@link #keySetValue} refuse it.
     */
    public static final int REG_MULTI_SZ = 7;
    /**
     * A 64-bit number: read and written as {@code long} by {@link #keyGetLong} and
     * {@link #keySetLong}; {@link #keyGetValue} and {@link #keySetValue} refuse it.
     */
    public static final int REG_QWORD = 11;

    private Registry() {
    }

    /**
     * Tells whether a key exists and can be opened for reading. Raises nothing.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return true when the key can be opened for reading; false otherwise, whatever the reason
     *     (missing key, access denied, invalid root), and for a null path
     */
    public static native boolean keyExists(int root, String subKey);

    /**
     * Creates a key and every missing key on its path.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return 0 when the key was created; the Win32 error code (for example 5, access denied) when
     *     Windows refused, without exception; -1 for a null path
     * @throws RegistryException "Attempted to create existing key" when the key existed already;
     *     the key is left unchanged
     */
    public static native int keyCreate(int root, String subKey);

    /**
     * Deletes a key with all its sub-keys and values. An empty path, which names the root itself, is
     * refused with 87 (ERROR_INVALID_PARAMETER) and the exception: a root is never emptied.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param broadcast whether to send the settings-change broadcast ({@link #broadcastUpdate})
     *     afterwards, also when the deletion failed; never for a null path
     * @return 0 when the key is gone; -1 for a null path
     * @throws RegistryException "Could not delete registry key" when the key could not be deleted,
     *     a missing key included
     */
    public static native int keyDelete(int root, String subKey, boolean broadcast);

    /**
     * Tells whether a key has at least one sub-key; values do not count.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return true when the key has a sub-key; false when it has none, and for a null path
     * @throws RegistryException "Error opening registry key" when the key is missing or unreadable,
     *     or "Error counting registry subkeys"
     */
    public static native boolean keyHasSubKeys(int root, String subKey);

    /**
     * Tells whether a key holds at least one value; sub-keys do not count.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return true when the key holds a value; false when it holds none, and for a null path
     * @throws RegistryException "Error opening registry key" when the key is missing or unreadable,
     *     or "Error counting registry values"
     */
    public static native boolean keyHasValues(int root, String subKey);

    /**
     * Tells whether a key holds the named value; with the empty name, whether the key's default
     * value is set.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @return true when the value exists; false for a missing value (without exception), and for a
     *     null path or name
     * @throws RegistryException "Error opening registry key" when the key is missing or unreadable
     */
    public static native boolean keyHasValue(int root, String subKey, String valueName);

    /**
     * Deletes a value. The key is opened with full access, so the caller needs write rights. A null
     * path or name returns at once: nothing is deleted, raised or broadcast.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @param broadcast whether to send the settings-change broadcast afterwards, also when the
     *     deletion failed; not when the key could not be opened
     * @throws RegistryException "Error opening registry key", or "Error deleting registry key value"
     *     when the value could not be deleted, a missing value included
     */
    public static native void keyDeleteValue(int root, String subKey, String valueName, boolean broadcast);

    /**
     * Tells every top-level window that the environment settings changed: sends WM_SETTINGCHANGE
     * with the text {@code "Environment"}, which makes Explorer reload the environment variables
     * stored under {@code HKEY_CURRENT_USER\Environment} for the programs it starts later. Running
     * processes, this JVM included, keep their environment.
     *
     * <p>Blocks until every top-level window has answered: up to 5 seconds for each window that is
     * slow, while windows that Windows considers hung are skipped. Raises nothing.
     *
     * @return non-zero when the message was delivered, 0 on failure or time-out
     */
    public static native int broadcastUpdate();

    /**
     * Reports a value's registry type code ({@link #REG_SZ} and the others), also for the types
     * that {@link #keyGetValue} refuses, such as {@link #REG_MULTI_SZ} and {@link #REG_QWORD}.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @return the type code; -1 for a null path or name
     * @throws RegistryException "Error opening registry key", or "Error retreiving registry value"
     *     when the value is missing or cannot be read
     */
    public static native int keyGetValueType(int root, String subKey, String valueName);

    /**
     * Reads a value as the Java object its type calls for: a {@code byte[]} of the data for
     * {@link #REG_NONE} and {@link #REG_BINARY}; a {@link String} for {@link #REG_SZ} (up to its first
     * NUL) and {@link #REG_EXPAND_SZ} (with its %NAME% references expanded from this process's
     * environment); an {@link Integer} of the first four bytes, little-endian, for {@link #REG_DWORD}
     * and {@link #REG_DWORD_BIG_ENDIAN} (data shorter than four bytes is zero-extended). In unicode
     * mode a string is read as UTF-16 up to its first NUL character, or whole when it has none; an
     * odd last byte, half a character, is dropped.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @return the value; null for a null path or name
     * @throws RegistryException "Error opening registry key"; "Error retreiving registry value" when
     *     the value is missing or cannot be read; "Unsupported data type" for any type but 0 to 5;
     *     "Error expanding registry strings" when Windows cannot expand the value, or the value or its
     *     expansion is longer than the 32,766 characters that Windows expands
     */
    public static native Object keyGetValue(int root, String subKey, String valueName);

    /**
     * Writes a value under the given type, replacing a value of that name; the key must exist. A
     * {@code byte[]} is stored as is for {@link #REG_NONE} and {@link #REG_BINARY}; a {@link String}
     * as its bytes and a NUL (in unicode mode its UTF-16 characters and one NUL character) for
     * {@link #REG_SZ} and {@link #REG_EXPAND_SZ} (not expanded); an
     * {@link Integer} as four little-endian bytes for {@link #REG_DWORD} and, not swapped, for
     * {@link #REG_DWORD_BIG_ENDIAN}. A null path or name returns at once: nothing is written, raised
     * or broadcast.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @param type the registry type to store
     * @param value the value, of the class the type needs
     * @param broadcast whether to send the settings-change broadcast once the key is open, also when
     *     the write was refused or failed; not when the key could not be opened
     * @throws RegistryException "Error opening registry key" (missing key or no write access);
     *     "Incompatible data types" (a value of another class, or null); "Not implemented"
     *     ({@link #REG_MULTI_SZ}); "Unsupported value type" (6, above 7, or negative); when Windows
     *     refuses the write, "Error setting registry value (REG_NONE/REG_BINARY)",
     *     "Error setting registry value (REG_DWORD/REG_DWORD_BIG_ENDIAN)", or for a string the
     *     operating system's text for the error ("Win32 error N" when it has none)
     */
    public static native void keySetValue(int root, String subKey, String valueName, int type, Object value,
            boolean broadcast);

    /**
     * Lists the names of a key's direct sub-keys, each whole (up to Windows' 255 characters), in
     * the order Windows gives them.
     *
     * <p>Another thread or process may add or remove sub-keys while they are listed. Windows numbers
     * the sub-keys, and such a change moves the later ones, so the listing is repeated, up to four
     * times, until one runs from start to end with no change to the key, as Windows' change
     * notification for the key tells: the result is then the key's sub-keys at one moment. When the
     * key changes during every try, or Windows cannot watch it, the result gathers the names of all
     * four tries: each was a sub-key during the call and comes once, and a sub-key that existed all
     * along is missing only if every try missed it. Names that read as the same text are listed
     * once: in ansi text mode, names that differ only in characters the ANSI code page lacks.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return the sub-keys' names; an empty array for a key without sub-keys; null for a null path
     * @throws RegistryException "Error opening registry key" when the key is missing or unreadable,
     *     or "Error enumerating registry subkeys" when Windows fails to list them or memory runs out
     */
    public static native String[] keyGetSubKeys(int root, String subKey);

    /**
     * Lists the names of a key's values, each whole (up to Windows' 32,767 characters), in the
     * order Windows gives them; the key's default value, when it is set, is {@code ""}.
     *
     * <p>Values that another thread or process sets or deletes during the listing are handled as
     * {@link #keyGetSubKeys} handles sub-keys: the result is the key's value names at one moment of
     * a try without change, or else those of all four tries, each once, every one the name of a
     * value during the call, where one that existed all along is missing only if every try missed
     * it.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @return the value names; an empty array for a key without values; null for a null path
     * @throws RegistryException "Error opening registry key" when the key is missing or unreadable,
     *     or "Error enumerating registry values" when Windows fails to list them or memory runs out
     */
    public static native String[] keyGetValueNames(int root, String subKey);

    /**
     * Reads a {@link #REG_QWORD} value: its first eight bytes, little-endian (data shorter than eight
     * bytes is zero-extended).
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @return the value; 0 for a null path or name
     * @throws RegistryException "Error opening registry key"; "Error retreiving registry value" when
     *     the value is missing or cannot be read; "Incompatible data types" when it is of another
     *     type
     */
    public static native long keyGetLong(int root, String subKey, String valueName);

    /**
     * Writes a {@link #REG_QWORD} value of eight little-endian bytes, replacing a value of that name
     * whatever its type; the key must exist and be writable. A null path or name returns at once:
     * nothing is written, raised or broadcast.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @param value the number
     * @param broadcast whether to send the settings-change broadcast once the key is open, also when
     *     the write failed; not when the key could not be opened
     * @throws RegistryException "Error opening registry key" (missing key or no write access), or
     *     "Error setting registry value (REG_QWORD)" when Windows refuses the write
     */
    public static native void keySetLong(int root, String subKey, String valueName, long value, boolean broadcast);

    /**
     * Reads a {@link #REG_MULTI_SZ} value as its strings, in order. Each string ends at a NUL; the
     * list ends at the first empty string or at the end of the data, so that data another program
     * stored without its final NULs, or with an odd number of bytes, reads whole. A value with no
     * string gives an empty array. Strings are read as {@link #keyGetValue} reads {@link #REG_SZ}.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @return the strings; null for a null path or name
     * @throws RegistryException "Error opening registry key"; "Error retreiving registry value" when
     *     the value is missing or cannot be read, or memory runs out; "Incompatible data types"
     *     when it is of another type
     */
    public static native String[] keyGetStrings(int root, String subKey, String valueName);

    /**
     * Writes a {@link #REG_MULTI_SZ} value: each string's bytes (as {@link #keySetValue} stores a
     * {@link #REG_SZ} string) with a NUL, and one NUL after the last; an empty array stores a lone
     * NUL. It replaces a value of that name whatever its type; the key must exist and be writable.
     * An empty or null string would end the list early: it is refused and nothing is written. A
     * null path or name returns at once: nothing is written, raised or broadcast.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param valueName the value's name
     * @param values the strings, none of them empty or null
     * @param broadcast whether to send the settings-change broadcast once the key is open, also when
     *     the write was refused or failed; not when the key could not be opened
     * @throws RegistryException "Error opening registry key" (missing key or no write access);
     *     "Incompatible data types" for a null array; "Empty or null string in REG_MULTI_SZ value";
     *     "Error setting registry value (REG_MULTI_SZ)" when Windows refuses the write or memory
     *     runs out
     */
    public static native void keySetStrings(int root, String subKey, String valueName, String[] values,
            boolean broadcast);

    /**
     * Opens a key and watches it for changes: sub-keys added or removed, values set or deleted, in
     * the key alone or, with {@code subtree}, anywhere below it too. The root may carry
     * {@link #KEY_WOW64_64KEY} or {@link #KEY_WOW64_32KEY}. The watch holds the key open until it
     * is closed; close it with {@link Watch#close()}, best through try-with-resources.
     *
     * @param root a predefined root key
     * @param subKey the path below the root
     * @param subtree whether changes below the key count too
     * @return the watch, armed: {@link Watch#await} reports every change from now on
     * @throws NullPointerException for a null path
     * @throws RegistryException "Error opening registry key" when the key is missing or cannot be
     *     opened for notification; "Error watching registry key" when Windows refuses the watch
     */
    public static Watch watch(int root, String subKey, boolean subtree) {
        if (subKey == null) {
            throw new NullPointerException("subKey");
        }
        int event = watchEvent();
        boolean made = false;
        try {
            Watch watch = new Watch(watchOpen(root, subKey, subtree, event), event, subtree);
            made = true;
            return watch;
        } finally {
            if (!made) {
                watchClose(0, event);
            }
        }
    }

    /**
     * A watch on one registry key, made by {@link Registry#watch}. Any thread may call its
     * methods, several at once.
     */
    public static final class Watch implements AutoCloseable {
        // What watchAwait reports: the time ran out; a change came and the watch is armed again;
        // a change came and the key is deleted; a change came and Windows refused to arm again.
        private static final int TIMED_OUT = 0;
        private static final int CHANGED = 1;
        private static final int DELETED = 2;
        private static final int UNWATCHED = 3;

        // The open key and the auto-reset event that Windows signals on a change, as jint handles.
        private final int key;
        private final int event;
        private final boolean subtree;

        // Closing a handle that another thread waits on, or uses, is undefined in Windows, and
        // the value may name another object at once. So the handles are closed only by the
        // last thread to leave them: close() marks the watch closed and signals the event,
        // which wakes one waiter; each waiter that leaves a closed watch signals again for the
        // next, and the one that leaves last, or close() when none waits, closes both handles,
        // once. No thread enters the natives with the handles after close(). The natives keep no
        // memory of their own: the handles are all the state there is.
        private final Object lock = new Object();
        private int inside;      // threads in watchAwait; guarded by lock
        private boolean closed;  // guarded by lock
        private String ended;    // the message of every await after the key was deleted or unwatched; guarded by lock

        Watch(int key, int event, boolean subtree) {
            this.key = key;
            this.event = event;
            this.subtree = subtree;
        }

        /**
         * Waits until something changed since the watch was made, or since the last call that
         * returned true. A change that came meanwhile returns true at once; no change is lost
         * between two calls, and several changes may give one true. Deleting the watched key
         * counts as a change, once.
         *
         * @param timeoutMillis the longest wait in milliseconds; 0 only looks
         * @return true for a change; false when the time ran out, or when the watch is or gets
         *     closed
         * @throws IllegalArgumentException for a negative time-out
         * @throws RegistryException "Registry key deleted" once the call that reported the
         *     key's deletion has returned; "Error watching registry key" after a change when
         *     Windows refused to watch again, or when the wait failed
         */
        public boolean await(long timeoutMillis) {
            if (timeoutMillis < 0) {
                throw new IllegalArgumentException("negative time-out: " + timeoutMillis);
            }
            synchronized (lock) {
                if (closed) {
                    return false;
                }
                if (ended != null) {
                    throw new RegistryException(ended);
                }
                inside++;
            }
            int result = TIMED_OUT;
            try {
                long start = System.nanoTime();
                long left = timeoutMillis;
                do {
                    result = watchAwait(key, event, subtree, (int) Math.min(left, Integer.MAX_VALUE));
                    left = timeoutMillis - (System.nanoTime() - start) / 1000000;
                } while (result == TIMED_OUT && left > 0);
            } finally {
                synchronized (lock) {
                    inside--;
                    if (closed) {
                        leaveClosed();
                    } else if (result == DELETED) {
                        ended = "Registry key deleted";
                    } else if (result == UNWATCHED) {
                        ended = "Error watching registry key";
                    }
                }
            }
            synchronized (lock) {
                return !closed && result != TIMED_OUT;
            }
        }

        /**
         * Ends the watch and gives back its key and event. A thread blocked in {@link #await}
         * returns false at once; so does every later call. Closing again does nothing.
         */
        @Override
        public void close() {
            synchronized (lock) {
                if (closed) {
                    return;
                }
                closed = true;
                leaveClosed();
            }
        }

        // Called with lock held, once the watch is closed, by close() and by each thread that leaves watchAwait.
        private void leaveClosed() {
            if (inside > 0) {
                watchWake(event);
            } else {
                watchClose(key, event);
            }
        }
    }

    // The natives behind Watch; handles cross as int.
    private static native int watchEvent();

    private static native int watchOpen(int root, String subKey, boolean subtree, int event);

    private static native int watchAwait(int key, int event, boolean subtree, int timeoutMillis);

    private static native void watchWake(int event);

    private static native void watchClose(int key, int event);
}
