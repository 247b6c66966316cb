package com.zarn.kelda.dravik.common.win32;

/**
 * Shell shortcut (.lnk) files. Paths and texts pass to Windows as the bytes of their modified UTF-8
 * form: exact for ASCII. In unicode text mode ({@link ZarnWin32#textMode()}) they pass as their
 * UTF-16 characters, exactly. No method raises an exception.
 */
public final class Win32File {
    /** Win32 error code: a path or text is longer than a shortcut can hold. */
    public static final int ERROR_FILENAME_EXCED_RANGE = 206;
    /** Win32 error code: a required argument was null. */
    public static final int ERROR_INVALID_PARAMETER = 87;

    private Win32File() {
    }

    /**
     * Writes a shortcut file, replacing a file of that name. The target is not checked. Each call
     * initialises COM on the calling thread for its own use and undoes that before it returns.
     *
     * <p>Lengths count the bytes of the text's modified UTF-8 form, the bytes that Windows' ANSI
     * functions receive: an ASCII character is one byte, any other character two or three. A value
     * over its limit is refused, not saved cut short. In unicode text mode lengths count UTF-16
     * characters instead (a character outside the Basic Multilingual Plane counts two), and a text
     * that holds U+0000 is refused with {@link #ERROR_INVALID_PARAMETER}.
     *
     * @param targetPath what the shortcut opens, a full path of at most 259 bytes; required
     * @param arguments command-line arguments of at most 1,023 bytes (32,766 characters in unicode
     *     mode); empty or null for none
     * @param shortcutPath the .lnk file to write: an absolute path of at most 259 bytes whose folder
     *     exists; required
     * @param description description text of at most 1,023 bytes (characters in unicode mode);
     *     empty or null for none
     * @param workingDirectory working directory of at most 259 bytes; empty or null for none
     * @param showCommand {@link Window#SW_SHOWNORMAL}, {@link Window#SW_SHOWMAXIMIZED} or
     *     {@link Window#SW_SHOWMINNOACTIVE}; 0 or below keeps the default
     * @return 0 exactly when the file was written with every value whole; otherwise a non-zero
     *     Win32 error code and no file: {@link #ERROR_INVALID_PARAMETER} for a null target or
     *     shortcut path, {@link #ERROR_FILENAME_EXCED_RANGE} for a value over its limit, 3 for a
     *     folder that does not exist, 5 when access is denied; when Windows gives no code, the code
     *     carried by the failed COM call
     */
    public static native int winCreateShortcut(String targetPath, String arguments, String shortcutPath,
            String description, String workingDirectory, int showCommand);
}
