package com.zarn.kelda.dravik.common.communication.win32;

/**
 * Message-mode named pipes, both ends, with blocking transfer. Each {@link #write} is one message;
 * each {@link #read} returns bytes of one message only, and a message longer than the read's
 * length comes in parts, in order, over several reads.
 *
 * <p>Every call blocks its thread until its work is done: {@link #connectNamedPipe(int)},
 * {@link #read(int, byte[], int)}, {@link #write} and {@link #flushFileBuffers} without limit,
 * {@link #waitForPipe} up to its time-out. {@link #read(int, byte[], int, int)} and
 * {@link #connectNamedPipe(int, int)} wait up to a time-out, and {@link #cancel} ends every call
 * that waits on a handle. Windows runs the calls on one handle one after the other: while a thread
 * waits in {@link #read}, a {@link #write} on the same handle waits too. Handles returned here belong to the caller, who ends each of them once with
 * {@link #closeHandle}. No method raises an exception: failures show in the result. Pipe names are
 * full names such as {@code \\.\pipe\myapp} and pass to Windows as the bytes of their modified
 * UTF-8 form (exact for ASCII); a null name gives the method's failure value. In the unicode text
 * mode of {@link com.zarn.kelda.dravik.common.win32.ZarnWin32#textMode()} names pass as their
 * UTF-16 characters, exactly, and a name that holds U+0000 gives the failure value too.
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
    /**
     * Access mask: change the handle's attributes. A client that only reads asks for
     * {@link #GENERIC_READ} | {@code FILE_WRITE_ATTRIBUTES}, so that Windows lets its handle switch to
     * message read mode.
     */
    public static final int FILE_WRITE_ATTRIBUTES = 0x00000100;
    /** Wait time-out: the server's default time-out. */
    public static final int NMPWAIT_USE_DEFAULT_WAIT = 0;
    /** Wait time-out: no limit. */
    public static final int NMPWAIT_WAIT_FOREVER = -1;
    /** The failure value of {@link #createNamedPipe} and {@link #createFile}. */
    public static final int INVALID_HANDLE_VALUE = -1;
    /**
     * The result of {@link #read(int, byte[], int, int)} and {@link #connectNamedPipe(int, int)} when
     * the time-out passed first.
     */
    public static final int TIMED_OUT = -2;
    /** Access of {@link #createNamedPipe(String, int, int, int, int, int, int)}: Windows' default security. */
    public static final int ACCESS_DEFAULT = 0;
    /**
     * Access of {@link #createNamedPipe(String, int, int, int, int, int, int)}: the account that the
     * server runs as alone, on this machine only.
     */
    public static final int ACCESS_OWNER_ONLY = 1;

    private WinPipe() {
    }

    /**
     * Creates a server instance of a message-type pipe in message read mode, blocking. The pipe gets
     * Windows' default security: full access for the creating account, administrators and
     * LocalSystem, read access for everyone else.
     *
     * @param name the full pipe name, for example {@code \\.\pipe\demo}
     * @param openMode {@link #PIPE_ACCESS_DUPLEX}, {@link #PIPE_ACCESS_INBOUND} or
     *     {@link #PIPE_ACCESS_OUTBOUND}, optionally with {@link #FILE_FLAG_FIRST_PIPE_INSTANCE} and
     *     {@link #FILE_FLAG_WRITE_THROUGH}; FILE_FLAG_OVERLAPPED is removed, since the methods make
     *     blocking calls only, and every other bit passes unchanged
     * @param maxInstances the most instances of this name, 1 to 254 or
     *     {@link #PIPE_UNLIMITED_INSTANCES}; the same for every instance of the name
     * @param outBufferSize output buffer size in bytes, a guide for Windows
     * @param inBufferSize input buffer size in bytes, a guide for Windows
     * @param defaultTimeOut the time-out in milliseconds that {@link #waitForPipe} with 0 uses
     * @return the instance's handle; -1 when it cannot be created (invalid or null name, all
     *     instances exist, or the name is taken and {@link #FILE_FLAG_FIRST_PIPE_INSTANCE} was given)
     */
    public static native int createNamedPipe(String name, int openMode, int maxInstances, int outBufferSize,
            int inBufferSize, int defaultTimeOut);

    /**
     * Waits, without limit, until a client opens the instance.
     *
     * @param handle a server instance
     * @return 1 when a client is connected, at once when it came before this call; 0 on failure, for
     *     example when a client connected and has closed already (then {@link #disconnect} and
     *     call again)
     */
    public static native int connectNamedPipe(int handle);

    /**
     * Opens the client end of a pipe and switches it to message read mode. Does not wait: use
     * {@link #waitForPipe} first.
     *
     * @param name the full pipe name, for example {@code \\.\pipe\demo}
     * @param desiredAccess as the server's open mode allows: {@link #GENERIC_READ} |
     *     {@link #GENERIC_WRITE} for {@link #PIPE_ACCESS_DUPLEX}, {@link #GENERIC_READ} |
     *     {@link #FILE_WRITE_ATTRIBUTES} for {@link #PIPE_ACCESS_OUTBOUND}, {@link #GENERIC_WRITE} for
     *     {@link #PIPE_ACCESS_INBOUND}; a handle opened with {@link #GENERIC_READ} alone cannot switch
     *     to message read mode and reads the messages as one stream of bytes
     * @return the handle; -1 when there is no such pipe, every instance is busy, access is denied,
     *     or the name is null
     */
    public static native int createFile(String name, int desiredAccess);

    /**
     * Reads the next message, or the next part of a message longer than {@code length}, and waits
     * without limit until there is one. A result below {@code length} ends a message; a result equal
     * to {@code length} may be a whole message or a part of a longer one, so frame long messages
     * (for example with a length header) instead of reading until a short read.
     *
     * @param handle a connected pipe end
     * @param data receives the bytes from index 0; only the first n bytes change, and what other
     *     threads write to the rest while the read waits stays
     * @param length the most bytes to read, 0 to {@code data.length}
     * @return the number of bytes read, n (0 for an empty message); -1 when the other end has closed
     *     or disconnected, the handle is invalid, or {@code data} is null or {@code length} is out of
     *     range (then nothing is read)
     */
    public static native int read(int handle, byte[] data, int length);

    /**
     * Writes one message and waits until it is all in the pipe: when the pipe's buffer is full,
     * until the other end reads.
     *
     * @param handle a connected pipe end
     * @param data the bytes, from index 0; only read, never written
     * @param length the message's length, 0 to {@code data.length}
     * @return the number of bytes written ({@code length}); 0 on failure, when {@code data} is null
     *     or {@code length} is out of range (nothing written), and also for an empty message
     */
    public static native int write(int handle, byte[] data, int length);

    /**
     * Waits, without limit, until the other end has read everything written to this handle. A server
     * calls it before {@link #disconnect} when the client must receive the last messages.
     *
     * @param handle a connected pipe end
     * @return non-zero on success; 0 on failure, for example when the other end has closed
     */
    public static native int flushFileBuffers(int handle);

    /**
     * Ends the client's connection to a server instance, discarding what the client has not read;
     * the client's next {@link #read} returns -1. The instance can then wait for the next client
     * with {@link #connectNamedPipe}.
     *
     * @param handle a server instance
     * @return non-zero on success, 0 on failure
     */
    public static native int disconnect(int handle);

    /**
     * Closes a handle returned by {@link #createNamedPipe} or {@link #createFile}. Close each handle
     * once and then forget its value: Windows reuses handle values.
     *
     * @param handle the handle
     * @return non-zero on success, 0 on failure (an invalid or closed handle)
     */
    public static native int closeHandle(int handle);

    /**
     * Waits until an instance of the named pipe is free for a connection. A free instance is not
     * reserved: another client may take it before {@link #createFile}.
     *
     * @param name the full pipe name
     * @param timeOut milliseconds; {@link #NMPWAIT_USE_DEFAULT_WAIT} waits for the server's default
     *     time-out, {@link #NMPWAIT_WAIT_FOREVER} without limit
     * @return true when an instance is free; false when the time-out passed, at once when no pipe
     *     of that name exists, and for a null name
     */
    public static native boolean waitForPipe(String name, int timeOut);

    /**
     * Creates a server instance as {@link #createNamedPipe(String, int, int, int, int, int)} does,
     * with the security that {@code access} names.
     *
     * <p>With {@link #ACCESS_OWNER_ONLY} the pipe is owned by the user of the server's token, its
     * DACL is protected and grants that user alone all access (no administrators, no LocalSystem, no
     * one else), and remote clients are refused. An elevated server and the same user's programs
     * that are not elevated still reach it. The first instance of the name is made as the first
     * ({@link #FILE_FLAG_FIRST_PIPE_INSTANCE}): if a pipe of that name exists already, a further
     * instance is made only when that pipe is one of the user's own owner-only pipes, so a name that
     * another program took first fails with -1. Windows before Vista cannot refuse remote clients:
     * there the owner-only call fails with -1.
     *
     * @param name the full pipe name
     * @param openMode as for {@link #createNamedPipe(String, int, int, int, int, int)}
     * @param maxInstances the most instances of this name
     * @param outBufferSize output buffer size in bytes, a guide for Windows
     * @param inBufferSize input buffer size in bytes, a guide for Windows
     * @param defaultTimeOut the time-out in milliseconds that {@link #waitForPipe} with 0 uses
     * @param access {@link #ACCESS_DEFAULT} or {@link #ACCESS_OWNER_ONLY}
     * @return the instance's handle; -1 as for {@link #createNamedPipe(String, int, int, int, int, int)},
     *     for another {@code access}, and for an owner-only name that another program holds
     */
    public static int createNamedPipe(String name, int openMode, int maxInstances, int outBufferSize,
            int inBufferSize, int defaultTimeOut, int access) {
        return createNamedPipeWithAccess(name, openMode, maxInstances, outBufferSize, inBufferSize, defaultTimeOut,
                access);
    }

    private static native int createNamedPipeWithAccess(String name, int openMode, int maxInstances,
            int outBufferSize, int inBufferSize, int defaultTimeOut, int access);

    /**
     * Waits, up to a time-out, until a client opens the instance. After {@link #TIMED_OUT} the
     * instance still waits for a client: one that comes before the next call makes that call return
     * 1 at once.
     *
     * @param handle a server instance
     * @param timeoutMillis milliseconds; 0 only looks whether a client has come; a negative value
     *     waits without limit, as {@link #connectNamedPipe(int)}
     * @return 1 when a client is connected; {@link #TIMED_OUT} when none came in time; 0 on failure,
     *     also when {@link #cancel} ended the wait, and on Windows before Vista
     */
    public static int connectNamedPipe(int handle, int timeoutMillis) {
        return connectNamedPipeTimed(handle, timeoutMillis);
    }

    private static native int connectNamedPipeTimed(int handle, int timeoutMillis);

    /**
     * Reads as {@link #read(int, byte[], int)} does, but gives up when no message came within the
     * time-out. Nothing is lost: a message that arrives as the time-out passes is either returned or
     * left whole in the pipe for the next read. Once the first bytes of a message are taken, the
     * rest of it is read without a time-out (it is in the pipe already).
     *
     * @param handle a connected pipe end
     * @param data receives the bytes from index 0, as for {@link #read(int, byte[], int)}
     * @param length the most bytes to read, 0 to {@code data.length}
     * @param timeoutMillis milliseconds; 0 takes only a message that is there already; a negative
     *     value waits without limit, as {@link #read(int, byte[], int)}
     * @return the number of bytes read; {@link #TIMED_OUT} when no message came in time (then nothing
     *     was read); -1 as for {@link #read(int, byte[], int)}, also when {@link #cancel} ended the
     *     wait, and on Windows before Vista
     */
    public static int read(int handle, byte[] data, int length, int timeoutMillis) {
        return readTimed(handle, data, length, timeoutMillis);
    }

    private static native int readTimed(int handle, byte[] data, int length, int timeoutMillis);

    /**
     * The bytes that a {@link #read} would return now without waiting: in message read mode what is
     * left of the next message, in byte read mode all that waits. An empty message waiting gives 0,
     * as does no message at all; so 0 does not promise that a read would wait.
     *
     * @param handle a connected pipe end
     * @return the bytes waiting, 0 to {@link Integer#MAX_VALUE}; -1 when the other end has closed and
     *     nothing is left to read, the instance is not connected, or the handle is invalid
     */
    public static native int available(int handle);

    /**
     * Ends at once every call that waits on the handle, in any thread: {@link #read},
     * {@link #write}, {@link #connectNamedPipe} and {@link #flushFileBuffers}, with or without a
     * time-out. Each returns its failure value (-1, 0, 0 and 0). The handle stays open and usable,
     * and messages not yet read stay in the pipe. A call that begins after {@code cancel} returns
     * waits as usual. A long {@link #read} that had taken the first bytes of a message when the
     * cancel came returns those, and the rest stays in the pipe.
     *
     * @param handle a pipe end
     * @return true when the handle is valid, whether or not a call was waiting; false for an invalid
     *     handle and on Windows before Vista
     */
    public static native boolean cancel(int handle);

    /**
     * The process id of the client connected to a server instance, so that a server can check its
     * peer.
     *
     * @param serverHandle a server instance
     * @return the client's process id; -1 when no client is connected, the handle is invalid, or on
     *     Windows before Vista
     */
    public static native int clientProcessId(int serverHandle);

    /**
     * The process id of the server at the other end of a client's pipe, so that a client can check
     * its peer.
     *
     * @param clientHandle a client end from {@link #createFile}
     * @return the server's process id; -1 when the handle is invalid, or on Windows before Vista
     */
    public static native int serverProcessId(int clientHandle);
}
