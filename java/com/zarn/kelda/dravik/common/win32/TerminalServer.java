package com.zarn.kelda.dravik.common.win32;

/** Terminal-services facts about the session this process runs in. */
public final class TerminalServer {
    private TerminalServer() {
    }

    /**
     * Tells whether Windows runs as a terminal server (a multi-user, multi-session host).
     *
     * @return true on a terminal server
     */
    public static native boolean isTerminalServer();

    /**
     * The name of the client machine from which this session is used.
     *
     * @return the name, or null when there is none or it cannot be had
     */
    public static native String getClientName();

    /**
     * The id of the terminal-services session of this process.
     *
     * @return the id, unsigned (0 to 4294967295); 0 when it cannot be had
     */
    public static native long getSessionId();
}
