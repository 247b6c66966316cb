package com.zarn.kelda.dravik.common.communication.win32;

/**
 * Message-mode named pipes, both ends, with blocking transfer. Each {@link #write} is one message;
 * each {@link #read} returns bytes of one message only. Handles returned here belong to the caller,
 * who ends them with {@link #closeHandle}.
 */
public final class WinPipe {
    /** Open mode: the server reads from the pipe. */
    public static final int PIPE_ACCESS_INBOUND = 0x00000001;
    /** Open mode: the server writes to the pipe. */
    public static final int PIPE_ACCESS_OUTBOUND = 0x00000002;
    /** Open mode: the server reads and writes. */
    public static final int PIPE_ACCESS_DUPLEX = 0x00000003;
    /** Open mode flag: fail if an instance of this name exists already. */
    public static final int FILE_FLAG_FIRST_PIPE_INSTANCE = 0x00080000;
    /** Open mode flag: writes go through to the client before returning. */
    public static final int FILE_FLAG_WRITE_THROUGH = 0x80000000;
    /** No limit on the number of instances. */
    public static final int PIPE_UNLIMITED_INSTANCES = 255;
    /** Access mask: read. */
    public static final int GENERIC_READ = 0x80000000;
    /** Access mask: write. */
    public static final int GENERIC_WRITE = 0x40000000;
    /** Wait time-out: the server's default time-out. */
    public static final int NMPWAIT_USE_DEFAULT_WAIT = 0;
    /** Wait time-out: no limit. */
    public static final int NMPWAIT_WAIT_FOREVER = -1;
    /** The failure value of {@link #createNamedPipe} and {@link #createFile}. */
    public static final int INVALID_HANDLE_VALUE = -1;

    private WinPipe() {
    }

    /**
     * Creates a server instance of a message-mode, blocking named pipe.
     *
     * @param name the full pipe name, for example {@code \\.\pipe\demo}
     * @param openMode {@link #PIPE_ACCESS_DUPLEX} and the other open modes (never overlapped)
     * @param maxInstances the most instances of this name
     * @param outBufferSize output buffer size in bytes
     * @param inBufferSize input buffer size in bytes
     * @param defaultTimeOut the time-out in milliseconds that {@link #waitForPipe} with 0 uses
     * @return the instance's handle, or -1
     */
    public static native int createNamedPipe(String name, int openMode, int maxInstances, int outBufferSize,
            int inBufferSize, int defaultTimeOut);

    /**
     * Waits until a client opens the instance.
     *
     * @param handle a server instance
     * @return 1 when a client is connected (also when it came first), else 0
     */
    public static native int connectNamedPipe(int handle);

    /**
     * Opens the client end of a pipe in message read mode.
     *
     * @param name the full pipe name
     * @param desiredAccess {@link #GENERIC_READ}, {@link #GENERIC_WRITE} or both
     * @return the handle, or -1 when there is no such pipe or every instance is busy
     */
    public static native int createFile(String name, int desiredAccess);

    /**
     * Reads the next message, or the next part of a message longer than {@code length}.
     *
     * @param handle a connected pipe end
     * @param data receives the bytes from index 0
     * @param length the most bytes to read, at most {@code data.length}
     * @return the number of bytes read (a result below {@code length} ends a message), or -1
     */
    public static native int read(int handle, byte[] data, int length);

    /**
     * Writes one message.
     *
     * @param handle a connected pipe end
     * @param data the bytes, from index 0
     * @param length the message's length, at most {@code data.length}
     * @return the number of bytes written, or 0 on failure
     */
    public static native int write(int handle, byte[] data, int length);

    /**
     * Waits until the other end has read everything written to it.
     *
     * @param handle a connected pipe end
     * @return non-zero on success
     */
    public static native int flushFileBuffers(int handle);

    /**
     * Ends the client's connection to a server instance, discarding what it has not read.
     *
     * @param handle a server instance
     * @return non-zero on success
     */
    public static native int disconnect(int handle);

    /**
     * Closes a handle returned by {@link #createNamedPipe} or {@link #createFile}.
     *
     * @param handle the handle
     * @return non-zero on success
     */
    public static native int closeHandle(int handle);

    /**
     * Waits until an instance of the named pipe is free for a connection.
     *
     * @param name the full pipe name
     * @param timeOut milliseconds; {@link #NMPWAIT_USE_DEFAULT_WAIT} or {@link #NMPWAIT_WAIT_FOREVER}
     * @return true when an instance is free; false on time-out or when there is no such pipe
     */
    public static native boolean waitForPipe(String name, int timeOut);
}
