package com.zarn.kelda.dravik.common.win32;

/**
 * Native pop-up windows: created hidden, with a caption and a window menu whose Close is disabled,
 * without sizing border or minimise and maximise buttons.
 *
 * <p>A window belongs to the thread that created it: only that thread can destroy it, and it is
 * destroyed when that thread ends. The library runs no message loop, so a window gets Windows'
 * default handling only while its thread retrieves messages, which a Java thread does not do: it
 * shows its frame and title but does not repaint, and Windows may mark it "Not Responding" after
 * a few seconds. No method raises an exception.
 */
public final class Window {
    /**
     * The library's default window class, registered while the library is loaded. Destroy its
     * windows before the library is unloaded.
     */
    public static final String DEFAULT_CLASS = "VORURAZUR32";

    /** ShowWindow command: hide the window. */
    public static final int SW_HIDE = 0;
    /** ShowWindow command: show and activate in its normal size. */
    public static final int SW_SHOWNORMAL = 1;
    /** ShowWindow command: show minimised. */
    public static final int SW_SHOWMINIMIZED = 2;
    /** ShowWindow command: show maximised. */
    public static final int SW_SHOWMAXIMIZED = 3;
    /** ShowWindow command: show without activating. */
    public static final int SW_SHOWNOACTIVATE = 4;
    /** ShowWindow command: show and activate in its current size. */
    public static final int SW_SHOW = 5;
    /** ShowWindow command: minimise. */
    public static final int SW_MINIMIZE = 6;
    /** ShowWindow command: show minimised without activating. */
    public static final int SW_SHOWMINNOACTIVE = 7;
    /** ShowWindow command: show in its current state without activating. */
    public static final int SW_SHOWNA = 8;
    /** ShowWindow command: restore. */
    public static final int SW_RESTORE = 9;

    private Window() {
    }

    /**
     * Creates a hidden top-level pop-up window, registering its class on first use; a class of that
     * name that exists already in the process is used as it is, and classes stay registered until
     * the process ends. The window belongs to the calling thread: destroy it from that thread. The
     * title passes to Windows as the bytes of its modified UTF-8 form: exact for ASCII. In unicode
     * text mode ({@link ZarnWin32#textMode()}) the title and the class name pass as their UTF-16
     * characters, exactly, the classes' window procedure is DefWindowProcW, and a title or class
     * name that holds U+0000 gives 0.
     *
     * @param windowName the title
     * @param className the class name; {@link #DEFAULT_CLASS} uses the library's own class
     * @param reserved1 ignored; pass 0
     * @param reserved2 ignored; pass 0
     * @param x left edge, in screen coordinates
     * @param y top edge, in screen coordinates
     * @param width width in pixels, frame included
     * @param height height in pixels, frame included
     * @return the window handle; 0 when it could not be created or the class name was null; -1 when
     *     the title was null
     */
    public static native int createWindow(String windowName, String className, int reserved1, int reserved2,
            int x, int y, int width, int height);

    /**
     * Shows, hides, minimises or restores a window. Call it on the thread that created the window:
     * on another thread it waits until the window's thread handles the request, which may be never.
     *
     * @param hwnd the window handle; 0 does nothing
     * @param cmdShow a show command such as {@link #SW_SHOW} or {@link #SW_HIDE}
     * @return true when the window was visible before the call; false when it was hidden, and for
     *     the handle 0
     */
    public static native boolean showWindow(int hwnd, int cmdShow);

    /**
     * Destroys a window created on the calling thread. On any other thread, and for a handle that
     * is no longer valid, the call does nothing, silently.
     *
     * @param hwnd the window handle; 0 does nothing
     */
    public static native void destroyWindow(int hwnd);
}
