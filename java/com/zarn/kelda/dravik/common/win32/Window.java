package com.zarn.kelda.dravik.common.win32;

/** Native pop-up windows: created hidden, with a caption and a window menu whose Close is disabled. */
public final class Window {
    /** The library's default window class, registered while the library is loaded. */
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
     * Creates a hidden top-level pop-up window, registering its class on first use. The window
     * belongs to the calling thread: destroy it from that thread.
     *
     * @param windowName the title
     * @param className the class name; {@link #DEFAULT_CLASS} uses the library's own class
     * @param reserved1 ignored
     * @param reserved2 ignored
     * @param x left edge, in screen coordinates
     * @param y top edge, in screen coordinates
     * @param width width in pixels
     * @param height height in pixels
     * @return the window handle; 0 when it could not be created; -1 when the title was null
     */
    public static native int createWindow(String windowName, String className, int reserved1, int reserved2,
            int x, int y, int width, int height);

    /**
     * Shows or hides a window.
     *
     * @param hwnd the window handle; 0 does nothing
     * @param cmdShow a show command such as {@link #SW_SHOW} or {@link #SW_HIDE}
     * @return true when the window was visible before the call
     */
    public static native boolean showWindow(int hwnd, int cmdShow);

    /**
     * Destroys a window created on the calling thread; anything else is ignored.
     *
     * @param hwnd the window handle; 0 does nothing
     */
    public static native void destroyWindow(int hwnd);
}
