package com.zarn.kelda.dravik.common.win32;

/**
 * Terminal-services facts about the session this process runs in. No method raises an exception:
 * every failure gives a neutral answer (false, 0, null). The session queries use the system's
 * wtsapi32.dll; without it they answer 0 and null.
 */
public final class TerminalServer {
    private TerminalServer() {
    }

    /**
     * Tells whether Windows runs with terminal services. Current Windows versions report the
     * terminal-services suite on every installation, desktop editions included, so read true as
     * "terminal services are present", not as "this is a multi-user server".
     *
     * @return true when terminal services are present; false when they are not or Windows cannot
     *     tell
     */
    public static native boolean isTerminalServer();

    /**
     * The name of the client machine from which this session is used over Remote Desktop. It is
     * read in the ANSI code page, or in unicode text mode ({@link ZarnWin32#textMode()}) exactly
     * as its UTF-16 characters.
     *
     * @return the name; null when there is none (the console session has none) or it cannot be had
     */
    public static native String getClientName();

    /**
     * The id of the terminal-services session of this process, useful to make names (of pipes, for
     * example) unique per session.
     *
     * @return the id, unsigned (0 to 4294967295); 0 when it cannot be had, which session 0 (the
     *     services' session) also gives
     */
    public static native long getSessionId();
}
