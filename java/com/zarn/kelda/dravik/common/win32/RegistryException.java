package com.zarn.kelda.dravik.common.win32;

/**
 * Raised by the {@link Registry} natives when a registry operation fails.
 *
 * <p>It is unchecked (a {@link RuntimeException}) because every registry call can raise it for
 * reasons the caller rarely can act on locally (a missing key, a refused access), and because the
 * native code raises it by name with a message: callers that want to handle it catch it where it
 * makes sense instead of declaring it on every method that touches the registry.
 *
 * <p>The message is one of the fixed texts documented on each {@link Registry} method, or, for a
 * failed write of a string value, the operating system's text for the error (which usually ends
 * with a line break), or "Win32 error N" when the system has no text for the code N. Compare the
 * fixed texts exactly, spelling included.
 */
public class RegistryException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /**
     * Creates the exception with its message.
     *
     * @param message what failed
     */
    public RegistryException(String message) {
        super(message);
    }
}
