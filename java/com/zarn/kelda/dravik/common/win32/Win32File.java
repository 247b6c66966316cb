package com.zarn.kelda.dravik.common.win32;

/** Shell shortcut (.lnk) files. */
public final class Win32File {
    /** Win32 error code: the shortcut path is longer than the system accepts. */
    public static final int ERROR_FILENAME_EXCED_RANGE = 206;
    /** Win32 error code: a required argument was null. */
    public static final int ERROR_INVALID_PARAMETER = 87;

    private Win32File() {
    }

    /**
     * Writes a shortcut file.
     *
     * @param targetPath what the shortcut points to
     * @param arguments command-line arguments; empty or null for none
     * @param shortcutPath the .lnk file to write (at most 259 characters)
     * @param description description text; empty or null for none
     * @param workingDirectory working directory; empty or null for none
     * @param showCommand a {@link Window} show command; 0 or below keeps the default
     * @return 0 when the file was written, otherwise a non-zero Win32 error code
     */
    public static native int winCreateShortcut(String targetPath, String arguments, String shortcutPath,
            String description, String workingDirectory, int showCommand);
}
