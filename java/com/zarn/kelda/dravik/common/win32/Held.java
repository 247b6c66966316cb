package com.zarn.kelda.dravik.common.win32;

import java.io.Closeable;
import java.io.FileInputStream;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.OverlappingFileLockException;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.security.MessageDigest;
import java.util.function.Predicate;

/**
 * A file opened so that no other process can write, rename, replace or delete it until it is
 * closed, and read through that very handle. With the options of com.sun.nio.file (module
 * jdk.unsupported: on the class path of HotSpot JVMs, in a modular application or a jlink runtime
 * only when named), it is opened without write and delete sharing and without following a link,
 * and Windows refuses every other open for writing or deleting it. Without them, java.io opens it
 * without delete sharing (no rename, replacement or deletion), and a shared lock over the whole
 * file makes Windows refuse every write to it; byte-range locks do not cover writes through a
 * mapped view of a file that another process had opened for writing. Windows' loader opens a DLL
 * for reading and maps it, which both kinds of handle allow: they share reading, and locks do not
 * apply to mapped views.
 */
final class Held implements Closeable {
    private static final OpenOption[] NO_SHARING = noSharing(System.getProperty("os.name", ""));
    private final FileChannel channel;
    /** Held by java.io and a lock: a writer that opened the file before may still have it open. */
    final boolean locked;

    private Held(FileChannel channel, boolean locked) {
        this.channel = channel;
        this.locked = locked;
    }

    /** Opens and holds the file; waits out a moment's refusal, and a lock, for a bounded time (see retried). */
    static Held open(Path file) throws IOException {
        if (NO_SHARING != null) {
            return new Held(retried(() -> FileChannel.open(file, NO_SHARING)), false);
        }
        FileInputStream in = retried(() -> {
            try {
                return new FileInputStream(file.toFile());
            } catch (FileNotFoundException e) {
                // java.io reports every failure so; the JDK's own classes tell a missing file.
                throw Files.exists(file, LinkOption.NOFOLLOW_LINKS) ? new FileSystemException(file.toString(), null, e.getMessage())
                        : new NoSuchFileException(file.toString());
            }
        });
        try {
            // On Windows a read handle is enough to lock a file against every other handle, so
            // another account's lock, and this JVM's other class loaders' holds, are waited out
            // only as long as a scanner's: then the file is a candidate that failed.
            retried(() -> {
                try {
                    if (in.getChannel().tryLock(0, Long.MAX_VALUE, true) != null) {
                        return null;
                    }
                } catch (OverlappingFileLockException e) {
                    // Another class loader of this JVM holds it while it loads.
                }
                throw new FileSystemException(file.toString(), null, "locked by another process or class loader");
            });
            return new Held(in.getChannel(), true);
        } catch (IOException | RuntimeException e) {
            in.close();
            throw e;
        }
    }

    /** The options that open a file without write and delete sharing, on Windows, when this JVM has them (the JDK elsewhere refuses them); else null. */
    static OpenOption[] noSharing(String osName) {
        if (!osName.startsWith("Windows")) {
            return null;
        }
        try {
            Class<?> extended = Class.forName("com.sun.nio.file.ExtendedOpenOption");
            return new OpenOption[] {StandardOpenOption.READ, (OpenOption) extended.getField("NOSHARE_WRITE").get(null),
                (OpenOption) extended.getField("NOSHARE_DELETE").get(null), LinkOption.NOFOLLOW_LINKS};
        } catch (ReflectiveOperationException | ClassCastException e) {
            return null;
        }
    }

    /** Whether the file's content is exactly the library: sizes first, then the hash. */
    boolean contains(LibraryCache.Content library) throws IOException {
        if (channel.size() != library.bytes.length) {
            return false;
        }
        MessageDigest digest = LibraryCache.sha256();
        ByteBuffer buffer = ByteBuffer.allocate(65536);
        for (long position = 0; channel.read(buffer, position) > 0; position += buffer.position(), buffer.clear()) {
            buffer.flip();
            digest.update(buffer);
        }
        return MessageDigest.isEqual(digest.digest(), library.hash);
    }

    @Override
    public void close() throws IOException {
        channel.close();
    }

    /** An action on a file that Windows may refuse for a moment. */
    interface FileAction<T> {
        T run() throws IOException;
    }

    static <T> T retried(FileAction<T> action) throws IOException {
        return retried(action, Held::momentary);
    }

    /** Runs the action, again after a short wait while it fails in a way that passes: up to 1.27 s in all, then the last failure stands. */
    static <T> T retried(FileAction<T> action, Predicate<Throwable> passes) throws IOException {
        for (long wait = 10; ; wait *= 2) {
            try {
                return action.run();
            } catch (IOException | UnsatisfiedLinkError e) {
                if (!passes.test(e) || wait > 640) {
                    throw e;
                }
            }
            try {
                Thread.sleep(wait);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new IOException("interrupted while waiting for a file", e);
            }
        }
    }

    /** What the action gives, or the value given when it fails. */
    static <T> T orElse(FileAction<T> action, T failed) {
        try {
            return action.run();
        } catch (IOException e) {
            return failed;
        }
    }

    /**
     * Whether a failure may pass in a moment, as when a virus scanner or an indexer opens a new file
     * as soon as it is written. On Windows Java reports access denied as AccessDeniedException, and a
     * sharing or lock violation as a plain FileSystemException, the class of every error it has no
     * class of its own for; so too a link met by an open that does not follow links
     * (WindowsChannelFactory: "File is symbolic link"), which is no moment's.
     */
    static boolean momentary(Throwable e) {
        return e instanceof AccessDeniedException
                || e.getClass() == FileSystemException.class && !isLink(String.valueOf(((FileSystemException) e).getFile()));
    }

    private static boolean isLink(String path) {
        try {
            BasicFileAttributes attributes = Files.readAttributes(Paths.get(path), BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
            return attributes.isSymbolicLink() || attributes.isOther();
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }
}
